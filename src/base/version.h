// The program's version numbers and platform text, and the version and help
// messages of the command line. Every virtual server reports the same numbers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qv {

// The numbers are the project's version (project() in CMakeLists.txt), which
// the build hands to version.cpp.
extern const uint16_t kVersionMajor;
extern const uint16_t kVersionMinor;
extern const uint16_t kVersionRelease;
extern const uint16_t kVersionBuild;

// "2.0.19.40"
std::string VersionNumbers();
// The five-character platform name reported to clients and in version texts.
const std::string& PlatformText();
// Unscrambles a platform text kept as hexadecimal digit pairs (see version.cpp).
std::string UnscramblePlatformText(std::string_view hexDigits);
// "Version Quillvane2 v2.0.19.40 Linux"
std::string VersionMessage();
// The version message followed by the switch list, lines ended by "\n\r".
std::string HelpMessage();

}  // namespace qv
