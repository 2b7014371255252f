#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "protocol/udp_socket.h"

namespace qv {
namespace {

// SendAllMessages against a scripted kernel: each step is what one sendmmsg
// call returns (a count, or -1 with an errno).
struct TStep {
  int result;
  int error = 0;
};

struct TBatchCase {
  const char* name;
  unsigned count;
  std::vector<TStep> script;
  std::vector<unsigned> expectedStarts;    // first message index of each call
  std::vector<unsigned> expectedFailures;  // dropped message indexes
  size_t expectedSent;
};

TEST(BatchSend, PartialResultsAndFailuresInTheMiddle) {
  const std::vector<TBatchCase> cases = {
      {"all at once", 5, {{5}}, {0}, {}, 5},
      {"partial results continue", 6, {{2}, {3}, {1}}, {0, 2, 5}, {}, 6},
      {"a failure drops only its datagram", 5, {{2}, {-1, ECONNREFUSED}, {2}}, {0, 2, 3}, {2}, 4},
      {"interrupted call retried, then first refused", 3, {{-1, EINTR}, {-1, EPERM}, {2}},
       {0, 0, 1}, {0}, 2},
      {"last refused", 2, {{1}, {-1, EINVAL}}, {0, 1}, {1}, 1},
      {"nothing to send", 0, {}, {}, {}, 0},
  };
  for (const TBatchCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<mmsghdr> messages(c.count);
    size_t step = 0;
    std::vector<unsigned> starts;
    std::vector<unsigned> failures;
    auto send = [&](mmsghdr* m, unsigned n) -> int {
      starts.push_back(static_cast<unsigned>(m - messages.data()));
      if (step >= c.script.size()) return static_cast<int>(n);  // the script ran out: all
      const TStep& s = c.script[step++];
      if (s.result < 0) errno = s.error;
      return s.result;
    };
    auto onFailure = [&](unsigned index, int error) {
      failures.push_back(index);
      EXPECT_NE(error, EINTR);
    };
    EXPECT_EQ(SendAllMessages(messages.data(), c.count, send, onFailure), c.expectedSent);
    EXPECT_EQ(starts, c.expectedStarts);
    EXPECT_EQ(failures, c.expectedFailures);
  }
}

}  // namespace
}  // namespace qv
