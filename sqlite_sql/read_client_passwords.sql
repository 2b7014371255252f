SELECT i_client_id, s_client_password
FROM qv2_clients
ORDER BY i_client_id;
