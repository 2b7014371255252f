// The INI reader: the input is a configuration file. Whatever it holds, a
// value written afterwards reads back as written, and a key that reads as
// existing gives its value in any letter case.
#include <string>

#include "base/ini_file.h"
#include "fuzz_input.h"

using namespace qv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TIniFile ini;
  ini.LoadText(std::string_view(reinterpret_cast<const char*>(data), size));
  ini.WriteString("Fuzz", "Key", "value");
  ini.WriteInteger("fuzz", "Number", -42);
  if (ini.ReadString("FUZZ", "key", "") != "value") fuzz::Broken("written string reads back otherwise");
  if (ini.ReadInteger("Fuzz", "NUMBER", 0) != -42) fuzz::Broken("written integer reads back otherwise");
  for (const char* key : {"port", "Port", "bindtoip"}) {
    if (ini.ValueExists("Main", key) && ini.ReadString("main", key, "\x01") == "\x01")
      fuzz::Broken("existing key reads as missing");
  }
  return 0;
}
