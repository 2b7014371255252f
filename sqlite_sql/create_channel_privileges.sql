CREATE TABLE qv2_channel_privileges (
  i_server_id INTEGER NOT NULL,
  i_client_id INTEGER NOT NULL,
  i_channel_id INTEGER NOT NULL,
  b_cp_flag_admin SMALLINT NOT NULL DEFAULT 0,
  b_cp_flag_autoop SMALLINT NOT NULL DEFAULT 0,
  b_cp_flag_autovoice SMALLINT NOT NULL DEFAULT 0,
  PRIMARY KEY (i_server_id, i_client_id, i_channel_id)
);
