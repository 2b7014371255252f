DELETE FROM qv2_channel_privileges WHERE i_server_id = :iServerID AND i_client_id = :iClientID;
DELETE FROM qv2_clients WHERE i_server_id = :iServerID AND i_client_id = :iClientID;
