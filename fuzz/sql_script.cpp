// The SQL script loader and binder. The input is a script file, a zero byte,
// then parameter bindings "name=value" separated by zero bytes. The loaded
// statement joins its lines with CR LF; a bound value never changes where
// the statement is cut into commands (it is compared with the same binding
// of a harmless value).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "fuzz_input.h"
#include "storage/server_storage.h"

using namespace qv;

namespace {

// The shared part of the storage only: nothing runs.
class TScriptOnly : public TCustomStorage {
 public:
  TScriptOnly() : TCustomStorage("") {}
  bool ExecSQL() override { return false; }
  std::unique_ptr<TStorageContainer> OpenSQL() override { return nullptr; }
  int64_t GetLastInsertID() override { return 0; }
  bool TableExists(const std::string&) override { return false; }
  bool ColumnExists(const std::string&, const std::string&) override { return false; }
  using TCustomStorage::StatementCommands;
};

const std::string& ScriptFile() {
  static const std::string path = [] {
    std::string p = (std::filesystem::temp_directory_path() / ("qv-fuzz-sql-" + std::to_string(getpid()))).string();
    std::atexit([] { std::remove(ScriptFile().c_str()); });
    return p;
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t scriptEnd = std::min(input.find('\0'), input.size());
  {
    std::ofstream out(ScriptFile(), std::ios::binary | std::ios::trunc);
    out << input.substr(0, scriptEnd);
  }
  TScriptOnly fuzzed, harmless;
  if (!fuzzed.LoadSQL(ScriptFile()) || !harmless.LoadSQL(ScriptFile())) fuzz::Broken("script not loaded");
  const std::string loaded = fuzzed.Statement();
  for (size_t i = 0; i < loaded.size(); ++i) {
    if (loaded[i] == '\n' && (i == 0 || loaded[i - 1] != '\r')) fuzz::Broken("line not ended by CR LF", i);
  }
  if (!loaded.empty() && loaded.compare(loaded.size() - 2, 2, "\r\n") != 0) fuzz::Broken("last line not ended");
  size_t pos = scriptEnd + 1;
  for (int n = 0; n < 8 && pos < input.size(); ++n) {
    size_t end = std::min(input.find('\0', pos), input.size());
    const std::string binding = input.substr(pos, end - pos);
    pos = end + 1;
    const size_t eq = binding.find('=');
    const std::string name = binding.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : binding.substr(eq + 1);
    if (n % 2 == 0) {
      fuzzed.SetParamString(name, value);
    } else {
      fuzzed.SetParamInteger(name, static_cast<int64_t>(value.size()) - 4);
    }
    harmless.SetParamString(name, "x");
  }
  if (fuzzed.StatementCommands().size() != harmless.StatementCommands().size()) {
    fuzz::Broken("a bound value changed the commands");
  }
  return 0;
}
