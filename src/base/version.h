// The program's version numbers and platform text, and the version and help
// messages of the command line. Every virtual server reports the same numbers.
#pragma once

#include <string>
#include <string_view>

namespace qv {

// The numbers are the project's version (project() in CMakeLists.txt), which
// the build hands to version.cpp.
extern const int kVersionMajor;
extern const int kVersionMinor;
extern const int kVersionRelease;
extern const int kVersionBuild;

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
