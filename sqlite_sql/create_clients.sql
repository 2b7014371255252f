-- Text columns are COLLATE BINARY: login names and passwords compare byte for
-- byte on every engine (a password differing only in letter case is refused).
CREATE TABLE qv2_clients (
  i_client_id INTEGER PRIMARY KEY AUTOINCREMENT,
  i_server_id INTEGER NOT NULL,
  s_client_name VARCHAR(255) COLLATE BINARY NOT NULL DEFAULT '',
  s_client_password VARCHAR(255) COLLATE BINARY NOT NULL DEFAULT '',
  dt_client_created VARCHAR(17) COLLATE BINARY NOT NULL DEFAULT '',
  b_client_privilege_serveradmin SMALLINT NOT NULL DEFAULT 0
);
CREATE INDEX qv2_clients_server_name ON qv2_clients (i_server_id, s_client_name);
