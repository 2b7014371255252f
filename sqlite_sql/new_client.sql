INSERT INTO qv2_clients (
  dt_client_created, s_client_name, s_client_password, b_client_privilege_serveradmin, i_server_id
) VALUES (
  :dtCreated, :sName, :sPassword, :bServerAdmin, :iServerID
);
