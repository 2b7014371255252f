// What every target shares: the reading of a fuzz input in pieces and the
// stop on a broken invariant.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace qv::fuzz {

// Stops the run with a message libFuzzer keeps beside the crashing input.
[[noreturn]] inline void Broken(const char* what, long detail = 0) {
  std::fprintf(stderr, "invariant broken: %s (%ld)\n", what, detail);
  std::abort();
}

// Reads the input front to back; past its end every read gives zeros.
class TInput {
 public:
  TInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return pos_ >= size_; }
  uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t U16() { return static_cast<uint16_t>(U8() | (U8() << 8)); }
  // The next `n` bytes (fewer at the end).
  std::string_view Bytes(size_t n) {
    n = std::min(n, size_ - std::min(pos_, size_));
    std::string_view v(reinterpret_cast<const char*>(data_) + pos_, n);
    pos_ += n;
    return v;
  }
  std::string_view Rest() { return Bytes(size_); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace qv::fuzz
