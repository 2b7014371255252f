SELECT i_channel_id, i_channel_parent_id, dt_channel_created, s_channel_name,
  s_channel_topic, s_channel_description, s_channel_password, i_channel_maxusers,
  i_channel_order, i_channel_codec, b_channel_flag_moderated, b_channel_flag_hierarchical,
  b_channel_flag_default
FROM qv2_channels
WHERE i_server_id = :iServerID
ORDER BY i_channel_id;
