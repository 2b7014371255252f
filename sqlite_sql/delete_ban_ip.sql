DELETE FROM qv2_bans WHERE i_server_id = :iServerID AND s_ban_ip = :sIP;
