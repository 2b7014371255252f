SELECT s_ban_ip, i_ban_minutes, s_ban_by, dt_ban_created
FROM qv2_bans
WHERE i_server_id = :iServerID
ORDER BY i_ban_id;
