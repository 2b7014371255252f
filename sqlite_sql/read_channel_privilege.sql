SELECT b_cp_flag_admin, b_cp_flag_autoop, b_cp_flag_autovoice
FROM qv2_channel_privileges
WHERE i_server_id = :iServerID AND i_client_id = :iClientID AND i_channel_id = :iChannelID;
