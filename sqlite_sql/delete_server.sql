DELETE FROM qv2_channel_privileges WHERE i_server_id = :iServerID;
DELETE FROM qv2_server_privileges WHERE i_server_id = :iServerID;
DELETE FROM qv2_bans WHERE i_server_id = :iServerID;
DELETE FROM qv2_clients WHERE i_server_id = :iServerID;
DELETE FROM qv2_channels WHERE i_server_id = :iServerID;
DELETE FROM qv2_servers WHERE i_server_id = :iServerID;
