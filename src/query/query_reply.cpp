#include "query/query_reply.h"

#include "protocol/protocol_errors.h"

namespace qv {

TQueryReply Ok(std::string lines) {
  lines += "OK";
  lines += kCrLf;
  return TQueryReply{std::move(lines)};
}

TQueryReply Error(std::string_view message) {
  std::string line = "ERROR, ";
  line += message.substr(0, kErrorMessageMax);
  line += kCrLf;
  return TQueryReply{std::move(line)};
}

TQueryReply CloseWith(std::string_view line) {
  std::string text(line);
  text += kCrLf;
  return TQueryReply{std::move(text), true};
}

TQueryReply ResultReply(int32_t code) { return code == 0 ? Ok() : Error(ProtocolErrorText(code)); }

std::string QueryText(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 32 || byte == 127) c = '?';
    if (c == '"') c = '\'';
  }
  return out;
}

std::string Quoted(std::string_view text) {
  std::string quoted = "\"";
  quoted += QueryText(text);
  quoted += '"';
  return quoted;
}

std::string Row(std::initializer_list<std::string_view> cells) {
  std::string line;
  bool first = true;
  for (std::string_view cell : cells) {
    if (!first) line += '\t';
    first = false;
    line += cell;
  }
  line += kCrLf;
  return line;
}

std::string TabbedRow(std::initializer_list<std::string_view> cells) {
  std::string line;
  for (std::string_view cell : cells) {
    line += cell;
    line += '\t';
  }
  line += kCrLf;
  return line;
}

std::string KeyValue(std::string_view key, std::string_view value) {
  std::string line(key);
  line += '=';
  line += QueryText(value);
  line += kCrLf;
  return line;
}

}  // namespace qv
