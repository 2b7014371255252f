ALTER TABLE qv2_servers ADD COLUMN b_server_allow_codec_speex2150 SMALLINT NOT NULL DEFAULT -1;
