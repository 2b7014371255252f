UPDATE qv2_clients SET s_client_password = :sPassword
WHERE i_client_id = :iClientId;
