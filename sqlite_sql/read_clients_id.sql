SELECT i_client_id, s_client_name, s_client_password, dt_client_created, b_client_privilege_serveradmin
FROM qv2_clients
WHERE i_client_id = :iClientID AND i_server_id = :iServerID;
