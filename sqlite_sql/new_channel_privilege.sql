INSERT INTO qv2_channel_privileges (
  i_server_id, i_client_id, i_channel_id, b_cp_flag_admin, b_cp_flag_autoop, b_cp_flag_autovoice
) VALUES (
  :iServerID, :iClientID, :iChannelID, :bAdmin, :bAutoOP, :bAutoVoice
);
