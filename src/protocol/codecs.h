// The voice codecs: their numbers and every name a caller needs, in one table.
//
// Channel records, the login reply's codec mask (bit n is codec n) and the
// server's allowed-codec list all use the numbering of TCodec; the table is
// indexed by it.
//
// Thread rules: constant data.
#pragma once

#include <array>
#include <cstdint>

namespace qv {

enum TCodec : uint16_t {
  codecCelp51 = 0,
  codecCelp63 = 1,
  codecGSM148 = 2,
  codecGSM164 = 3,
  codecCelp52 = 4,  // Windows CELP 5.2
  codecSpeex2150 = 5,
  codecSpeex3950 = 6,
  codecSpeex5950 = 7,
  codecSpeex8000 = 8,
  codecSpeex11000 = 9,
  codecSpeex15000 = 10,
  codecSpeex18200 = 11,
  codecSpeex24600 = 12,
};
constexpr int kCodecCount = 13;

struct TCodecInfo {
  const char* Name;         // shown to people
  const char* Column;       // the allowed flag's column in "qv2_servers"
  const char* Param;        // its parameter in the SQL scripts
  const char* QueryKey;     // its key in the query's server settings
  const char* WebField;     // its field in the web interface's server form
  const char* Placeholder;  // its part of the page placeholder SERVERCFG_CODEC_<..>_SELECTED
};

inline constexpr std::array<TCodecInfo, kCodecCount> kCodecTable{{
    {"CELP 5.1", "b_server_allow_codec_celp51", ":bCelp51", "server_allow_codec_celp51", "CODECCelp51", "Celp51"},
    {"CELP 6.3", "b_server_allow_codec_celp63", ":bCelp63", "server_allow_codec_celp63", "CODECCelp63", "Celp63"},
    {"GSM 14.8", "b_server_allow_codec_gsm148", ":bGSM148", "server_allow_codec_gsm148", "CODECGSM148", "GSM148"},
    {"GSM 16.4", "b_server_allow_codec_gsm164", ":bGSM164", "server_allow_codec_gsm164", "CODECGSM164", "GSM164"},
    {"Windows CELP 5.2", "b_server_allow_codec_celp52", ":bCelp52", "server_allow_codec_windowscelp52",
     "CODECWindowsCELP52", "WindowsCELP52"},
    {"Speex 2150", "b_server_allow_codec_speex2150", ":bSpeex2150", "server_allow_codec_speex2150", "CODECSPEEX2150",
     "SPEEX2150"},
    {"Speex 3950", "b_server_allow_codec_speex3950", ":bSpeex3950", "server_allow_codec_speex3950", "CODECSPEEX3950",
     "SPEEX3950"},
    {"Speex 5950", "b_server_allow_codec_speex5950", ":bSpeex5950", "server_allow_codec_speex5950", "CODECSPEEX5950",
     "SPEEX5950"},
    {"Speex 8000", "b_server_allow_codec_speex8000", ":bSpeex8000", "server_allow_codec_speex8000", "CODECSPEEX8000",
     "SPEEX8000"},
    {"Speex 11000", "b_server_allow_codec_speex11000", ":bSpeex11000", "server_allow_codec_speex11000",
     "CODECSPEEX11000", "SPEEX11000"},
    {"Speex 15000", "b_server_allow_codec_speex15000", ":bSpeex15000", "server_allow_codec_speex15000",
     "CODECSPEEX15000", "SPEEX15000"},
    {"Speex 18200", "b_server_allow_codec_speex18200", ":bSpeex18200", "server_allow_codec_speex18200",
     "CODECSPEEX18200", "SPEEX18200"},
    {"Speex 24600", "b_server_allow_codec_speex24600", ":bSpeex24600", "server_allow_codec_speex24600",
     "CODECSPEEX24600", "SPEEX24600"},
}};

}  // namespace qv
