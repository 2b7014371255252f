CREATE TABLE qv2_bans (
  i_ban_id INTEGER PRIMARY KEY AUTOINCREMENT,
  i_server_id INTEGER NOT NULL,
  s_ban_ip VARCHAR(64) NOT NULL DEFAULT '',
  i_ban_minutes INTEGER NOT NULL DEFAULT 0,
  s_ban_by VARCHAR(255) NOT NULL DEFAULT '',
  dt_ban_created VARCHAR(17) NOT NULL DEFAULT ''
);
CREATE INDEX qv2_bans_server ON qv2_bans (i_server_id);
