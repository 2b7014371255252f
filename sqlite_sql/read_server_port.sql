SELECT i_server_id
FROM qv2_servers
WHERE i_server_udpport = :iPort;
