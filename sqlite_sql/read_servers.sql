SELECT i_server_id, b_server_active, s_server_name, i_server_udpport, s_server_node
FROM qv2_servers
ORDER BY i_server_id;
