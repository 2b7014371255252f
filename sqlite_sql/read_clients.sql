SELECT i_client_id, s_client_name, dt_client_created, b_client_privilege_serveradmin
FROM qv2_clients
WHERE i_server_id = :iServerID
ORDER BY i_client_id;
