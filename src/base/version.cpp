#include "base/version.h"

#include <fmt/format.h>

namespace qv {

namespace {
// The platform text is not kept as plain text in the binary; see
// UnscramblePlatformText for the routine.
constexpr const char* kScrambledPlatform = "3613140F02";
constexpr uint16_t kPlatformKey = 0x7A31;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}
}  // namespace

const uint16_t kVersionMajor = QV_VERSION_MAJOR;
const uint16_t kVersionMinor = QV_VERSION_MINOR;
const uint16_t kVersionRelease = QV_VERSION_PATCH;
const uint16_t kVersionBuild = QV_VERSION_TWEAK;

std::string VersionNumbers() {
  return fmt::format("{}.{}.{}.{}", kVersionMajor, kVersionMinor, kVersionRelease, kVersionBuild);
}

// Each digit pair is a byte value (0 when not hexadecimal); XOR with the key's
// high byte gives the next character, and the byte value is added to the key.
std::string UnscramblePlatformText(std::string_view hexDigits) {
  std::string out;
  uint16_t key = kPlatformKey;
  for (size_t i = 0; i + 1 < hexDigits.size(); i += 2) {
    int hi = HexValue(hexDigits[i]), lo = HexValue(hexDigits[i + 1]);
    uint8_t value = (hi < 0 || lo < 0) ? 0 : static_cast<uint8_t>(hi * 16 + lo);
    out += static_cast<char>(value ^ (key >> 8));
    key = static_cast<uint16_t>(key + value);
  }
  return out;
}

const std::string& PlatformText() {
  static const std::string text = UnscramblePlatformText(kScrambledPlatform);
  return text;
}

std::string VersionMessage() { return "Version Quillvane2 v" + VersionNumbers() + " " + PlatformText(); }

std::string HelpMessage() {
  const char* nl = "\n\r";
  std::string s = VersionMessage() + nl + "Command parameters:" + nl;
  for (const char* line : {" -db=<path>", " -ini=<path>", " -sql=<path>", " -log=<path>", " -pid=<path>",
                           " -httpdocs=<path>"}) {
    s += line;
    s += nl;
  }
  return s;
}

}  // namespace qv
