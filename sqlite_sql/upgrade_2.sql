ALTER TABLE qv2_servers ADD COLUMN b_server_allow_codec_speex3950 SMALLINT NOT NULL DEFAULT -1;
ALTER TABLE qv2_servers ADD COLUMN b_server_allow_codec_speex5950 SMALLINT NOT NULL DEFAULT -1;
ALTER TABLE qv2_servers ADD COLUMN b_server_allow_codec_speex8000 SMALLINT NOT NULL DEFAULT -1;
ALTER TABLE qv2_servers ADD COLUMN b_server_allow_codec_speex11000 SMALLINT NOT NULL DEFAULT -1;
ALTER TABLE qv2_servers ADD COLUMN b_server_allow_codec_speex15000 SMALLINT NOT NULL DEFAULT -1;
ALTER TABLE qv2_servers ADD COLUMN b_server_allow_codec_speex18200 SMALLINT NOT NULL DEFAULT -1;
ALTER TABLE qv2_servers ADD COLUMN b_server_allow_codec_speex24600 SMALLINT NOT NULL DEFAULT -1;
