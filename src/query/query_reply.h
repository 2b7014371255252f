// The reply conventions of the TCP query interface, in one place.
//
// Lines end with CR LF. Success ends with the line "OK" after any data lines;
// a refusal is the single line "ERROR, " followed by at most 29 characters of
// the message. Columns are separated by one TAB; texts that may contain
// blanks are written between double quotes.
//
// A text a peer set (a nick name, a channel name, topic or description, a
// server name) must never break a reply: it could end a line early, forge an
// "OK" or add a column. So every such text goes through QueryText (through
// Quoted, or directly where it stands unquoted): control characters (CR, LF,
// TAB and the others below 32, and 127) become '?', and a double quote
// becomes a single one.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace qv {

inline constexpr std::string_view kCrLf = "\r\n";
inline constexpr size_t kErrorMessageMax = 29;

// What a command writes: the whole reply in one write, then maybe the end of
// the connection.
struct TQueryReply {
  std::string Text;
  bool Close = false;
};

// `lines` (each already ended by CR LF) followed by "OK".
TQueryReply Ok(std::string lines = {});
// "ERROR, " and the message cut to 29 characters.
TQueryReply Error(std::string_view message);
// One line, then the connection closes.
TQueryReply CloseWith(std::string_view line);
// A reply by the result code of an external command: "OK" for 0, otherwise
// the protocol error text of the code as an error.
TQueryReply ResultReply(int32_t code);

// The text made safe for a reply (see above).
std::string QueryText(std::string_view text);
// '"', QueryText(text), '"'.
std::string Quoted(std::string_view text);
// The cells separated by TAB, then CR LF.
std::string Row(std::initializer_list<std::string_view> cells);
// Each cell followed by a TAB, then CR LF.
std::string TabbedRow(std::initializer_list<std::string_view> cells);
// "key=value" (the value through QueryText) and CR LF.
std::string KeyValue(std::string_view key, std::string_view value);
inline std::string Flag(bool on) { return on ? "1" : "0"; }

}  // namespace qv
