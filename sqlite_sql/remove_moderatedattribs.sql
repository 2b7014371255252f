UPDATE qv2_channel_privileges SET b_cp_flag_autoop = 0, b_cp_flag_autovoice = 0
WHERE i_server_id = :iServerID AND i_channel_id = :iChannelID;
