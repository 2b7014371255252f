// quillvane-server: the process entry point.
#include <cstdio>
#include <string>

#include "app/text_utils.h"
#include "app/version.h"

namespace {

// Value switches are recognised before the help prefixes so that
// "-HTTPDOCS=<dir>" is never taken for "-H".
bool IsValueSwitch(const std::string& upper) {
  for (const char* p : {"-INI=", "-DB=", "-LOG=", "-PID=", "-SQL=", "-BADNAMES=", "-HTTPDOCS="})
    if (upper.find(p) != std::string::npos) return true;
  return false;
}

bool IsVersionSwitch(const std::string& upper) {
  return upper.rfind("-VER", 0) == 0 || upper.rfind("--VER", 0) == 0;
}

bool IsHelpSwitch(const std::string& upper) {
  for (const char* p : {"-?", "--?", "-H", "--H", "-HELP", "--HELP", "/HELP", "/?", "/H"})
    if (upper.rfind(p, 0) == 0) return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string upper = qv::UpperCase(argv[i]);
    if (IsValueSwitch(upper)) continue;
    if (IsVersionSwitch(upper)) {
      std::printf("%s\n", qv::VersionMessage().c_str());
      return 0;
    }
    if (IsHelpSwitch(upper)) {
      std::printf("%s", qv::HelpMessage().c_str());
      return 0;
    }
  }
  std::fprintf(stderr, "%s\nThe server start-up is not available in this build yet; see -HELP.\n",
               qv::VersionMessage().c_str());
  return 1;
}
