#include "murmur_wire.h"

#include <google/protobuf/message_lite.h>

#include <cstring>

namespace qv::bench {

std::vector<uint8_t> MurmurFrame(uint16_t type, const google::protobuf::MessageLite& body) {
  const size_t size = body.ByteSizeLong();
  std::vector<uint8_t> frame(kMurmurFrameHeader + size);
  frame[0] = static_cast<uint8_t>(type >> 8);
  frame[1] = static_cast<uint8_t>(type);
  for (int i = 0; i < 4; ++i) frame[2 + i] = static_cast<uint8_t>(size >> (8 * (3 - i)));
  body.SerializeWithCachedSizesToArray(frame.data() + kMurmurFrameHeader);
  return frame;
}

void TFrameReader::Append(const uint8_t* data, size_t size) {
  // What was consumed goes before the buffer grows, so that it never holds
  // more than one partial frame and the new bytes.
  if (start_ > 0 && start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  } else if (start_ > 65536) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
  buffer_.insert(buffer_.end(), data, data + size);
}

std::optional<TMurmurFrame> TFrameReader::Next() {
  if (broken_ || buffer_.size() - start_ < kMurmurFrameHeader) return std::nullopt;
  const uint8_t* h = buffer_.data() + start_;
  const size_t length = static_cast<size_t>(h[2]) << 24 | static_cast<size_t>(h[3]) << 16 |
                        static_cast<size_t>(h[4]) << 8 | h[5];
  if (length > kMurmurMaxBody) {
    broken_ = true;
    return std::nullopt;
  }
  if (buffer_.size() - start_ - kMurmurFrameHeader < length) return std::nullopt;
  TMurmurFrame frame;
  frame.Type = static_cast<uint16_t>(h[0] << 8 | h[1]);
  frame.Body.assign(reinterpret_cast<const char*>(h + kMurmurFrameHeader), length);
  start_ += kMurmurFrameHeader + length;
  return frame;
}

namespace {

void PutBigEndian(std::vector<uint8_t>& out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

void PutMurmurVarint(std::vector<uint8_t>& out, int64_t value) {
  uint64_t i = static_cast<uint64_t>(value);
  if (value < 0 && ~i < 0x100000000ULL) {
    i = ~i;
    if (i <= 0x3) {
      out.push_back(static_cast<uint8_t>(0xFC | i));
      return;
    }
    out.push_back(0xF8);
  }
  if (i < 0x80) {
    out.push_back(static_cast<uint8_t>(i));
  } else if (i < 0x4000) {
    out.push_back(static_cast<uint8_t>(0x80 | i >> 8));
    PutBigEndian(out, i, 1);
  } else if (i < 0x200000) {
    out.push_back(static_cast<uint8_t>(0xC0 | i >> 16));
    PutBigEndian(out, i, 2);
  } else if (i < 0x10000000) {
    out.push_back(static_cast<uint8_t>(0xE0 | i >> 24));
    PutBigEndian(out, i, 3);
  } else if (i < 0x100000000ULL) {
    out.push_back(0xF0);
    PutBigEndian(out, i, 4);
  } else {
    out.push_back(0xF4);
    PutBigEndian(out, i, 8);
  }
}

bool GetMurmurVarint(const uint8_t* data, size_t size, size_t& pos, int64_t& value) {
  auto take = [&](int bytes, uint64_t& v) {
    if (size - pos < static_cast<size_t>(bytes)) return false;
    for (int k = 0; k < bytes; ++k) v = v << 8 | data[pos++];
    return true;
  };
  if (pos >= size) return false;
  const uint8_t first = data[pos++];
  uint64_t v = 0;
  bool ok = true;
  if ((first & 0x80) == 0x00) {
    v = first & 0x7F;
  } else if ((first & 0xC0) == 0x80) {
    v = first & 0x3F;
    ok = take(1, v);
  } else if ((first & 0xE0) == 0xC0) {
    v = first & 0x1F;
    ok = take(2, v);
  } else if ((first & 0xF0) == 0xE0) {
    v = first & 0x0F;
    ok = take(3, v);
  } else {
    switch (first & 0xFC) {
      case 0xF0: ok = take(4, v); break;
      case 0xF4: ok = take(8, v); break;
      case 0xF8: {
        int64_t inner = 0;
        ok = GetMurmurVarint(data, size, pos, inner);
        v = ~static_cast<uint64_t>(inner);
        break;
      }
      default: v = ~static_cast<uint64_t>(first & 0x03); break;  // 0xFC
    }
  }
  value = static_cast<int64_t>(v);
  return ok;
}

std::vector<uint8_t> MurmurClientVoice(uint8_t target, uint64_t sequence, const uint8_t* opus, size_t size,
                                       bool terminator) {
  if (size > kMurmurOpusMaxSize) size = kMurmurOpusMaxSize;
  std::vector<uint8_t> out;
  out.reserve(size + 16);
  out.push_back(static_cast<uint8_t>(mutOpus << 5 | (target & 0x1F)));
  PutMurmurVarint(out, static_cast<int64_t>(sequence));
  PutMurmurVarint(out, static_cast<int64_t>(size | (terminator ? kMurmurOpusTerminator : 0)));
  out.insert(out.end(), opus, opus + size);
  return out;
}

std::vector<uint8_t> MurmurPing(uint64_t timestamp) {
  std::vector<uint8_t> out{static_cast<uint8_t>(mutPing << 5)};
  PutMurmurVarint(out, static_cast<int64_t>(timestamp));
  return out;
}

std::optional<TRelayedVoice> ReadRelayedVoice(const uint8_t* data, size_t size) {
  if (size < 1 || data[0] >> 5 != mutOpus) return std::nullopt;
  TRelayedVoice v;
  v.Type = data[0] >> 5;
  v.Target = data[0] & 0x1F;
  size_t pos = 1;
  int64_t session = 0, sequence = 0, header = 0;
  if (!GetMurmurVarint(data, size, pos, session) || !GetMurmurVarint(data, size, pos, sequence) ||
      !GetMurmurVarint(data, size, pos, header) || session < 0 || sequence < 0 || header < 0) {
    return std::nullopt;
  }
  v.Session = static_cast<uint64_t>(session);
  v.Sequence = static_cast<uint64_t>(sequence);
  v.Terminator = (header & kMurmurOpusTerminator) != 0;
  v.OpusSize = static_cast<size_t>(header & kMurmurOpusMaxSize);
  if (size - pos < v.OpusSize) return std::nullopt;
  v.Opus = data + pos;
  return v;
}

}  // namespace qv::bench
