// Query lines through the command dispatcher, on a session logged in as
// superadmin with the one running server selected. The input is up to eight
// lines; every reply must be a whole reply (ends with CR LF) and a quit must
// come with no reply.
#include "fuzz_storage.h"
#include "query/query_commands.h"

using namespace qv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::TFuzzStorage storage;
  // "serverstop" waits a second before its reply; the fuzzer cannot.
  TQueryContext context{storage.registry, storage.scripts, Now(), {}, std::chrono::milliseconds(0)};
  TQuerySession session(context, "127.0.0.1");
  session.TakeSnapshot();
  bool quit = false;
  for (const char* setUp : {"slogin fuzz fuzz", "sel 8767"}) {
    if (DispatchQueryLine(session, setUp, quit).Text.rfind("OK", 0) != 0) fuzz::Broken("set-up line refused");
  }
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t start = 0;
  for (int n = 0; n < 8 && start < input.size(); ++n) {
    size_t end = input.find('\n', start);
    if (end == std::string_view::npos) end = input.size();
    std::string_view line = input.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    start = end + 1;
    quit = false;
    const TQueryReply reply = DispatchQueryLine(session, line, quit);
    if (quit) {
      if (!reply.Text.empty()) fuzz::Broken("reply to a quit");
      break;
    }
    if (reply.Text.size() < 2 || reply.Text.compare(reply.Text.size() - 2, 2, "\r\n") != 0) {
      fuzz::Broken("reply without line end", static_cast<long>(reply.Text.size()));
    }
    if (reply.Close) break;
  }
  return 0;
}
