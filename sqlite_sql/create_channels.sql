CREATE TABLE qv2_channels (
  i_channel_id INTEGER PRIMARY KEY AUTOINCREMENT,
  i_server_id INTEGER NOT NULL,
  i_channel_parent_id INTEGER NOT NULL DEFAULT -1,
  dt_channel_created VARCHAR(17) COLLATE BINARY NOT NULL DEFAULT '',
  s_channel_name VARCHAR(255) COLLATE BINARY NOT NULL DEFAULT '',
  s_channel_topic VARCHAR(255) COLLATE BINARY NOT NULL DEFAULT '',
  s_channel_description VARCHAR(1024) COLLATE BINARY NOT NULL DEFAULT '',
  s_channel_password VARCHAR(255) COLLATE BINARY NOT NULL DEFAULT '',
  i_channel_maxusers INTEGER NOT NULL DEFAULT 32000,
  i_channel_order INTEGER NOT NULL DEFAULT 0,
  i_channel_codec INTEGER NOT NULL DEFAULT 0,
  b_channel_flag_moderated SMALLINT NOT NULL DEFAULT 0,
  b_channel_flag_hierarchical SMALLINT NOT NULL DEFAULT 0,
  b_channel_flag_default SMALLINT NOT NULL DEFAULT 0
);
CREATE INDEX qv2_channels_server ON qv2_channels (i_server_id);
