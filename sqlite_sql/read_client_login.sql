SELECT i_client_id, dt_client_created, b_client_privilege_serveradmin
FROM qv2_clients
WHERE s_client_password = :sPassword AND s_client_name = :sName AND i_server_id = :iServerID
ORDER BY i_client_id;
