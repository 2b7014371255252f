INSERT INTO qv2_servers (i_server_udpport, dt_server_created, s_server_node)
VALUES (:iServerPort, :dtServerCreated, :sNode);
