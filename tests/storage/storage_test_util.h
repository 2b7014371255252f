// Helpers of the storage tests: the script directory of the source tree (the
// shared fixtures, temporary directories and the log capture, are in support/).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/log.h"
#include "support/log_capture.h"
#include "support/test_dir.h"

namespace qv::test {

namespace fs = std::filesystem;

// The shipped scripts: $QV_SOURCE_DIR/sqlite_sql/, or beside this source tree
// when the tests run outside ctest.
inline std::string SourceScriptDir() {
  const char* source = std::getenv("QV_SOURCE_DIR");
  fs::path root = source ? fs::path(source) : fs::path(__FILE__).parent_path().parent_path().parent_path();
  return (root / "sqlite_sql").string() + "/";
}

}  // namespace qv::test
