DELETE FROM qv2_channel_privileges WHERE i_server_id = :iServerID AND i_channel_id = :iChannelID;
DELETE FROM qv2_channels WHERE i_server_id = :iServerID AND i_channel_id = :iChannelID;
