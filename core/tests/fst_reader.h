// A small FST reader for the tests, written from the byte format alone and
// independently of the builder: a bitwise CRC-32C, the common-input table by
// byte value, and node decoding backwards from the state byte. It looks keys
// up by walking their bytes from the root and summing the outputs passed, and
// lists every key with its value in byte order. Malformed input throws
// std::runtime_error, which GoogleTest reports as a failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/coding.h"

namespace halcyra::fst_test {

inline uint32_t BitwiseCrc32c(std::string_view data) {
  uint32_t c = 0xFFFFFFFF;
  for (unsigned char b : data) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0x82F63B78 & (0 - (c & 1)));
  }
  return ~c;
}

inline uint32_t MaskedCrc(std::string_view data) {
  const uint32_t c = BitwiseCrc32c(data);
  return ((c >> 15) | (c << 17)) + 0xA282EAD8;
}

// Bytes with common indices 1..63, in index order.
inline constexpr uint8_t kCommonBytes[63] = {
    0x74, 0x65, 0x2F, 0x6F, 0x61, 0x73, 0x72, 0x69, 0x70, 0x63, 0x6E, 0x77, 0x2E, 0x68, 0x6C, 0x6D,
    0x2D, 0x64, 0x75, 0x30, 0x31, 0x32, 0x67, 0x3D, 0x3A, 0x62, 0x66, 0x33, 0x79, 0x35, 0x26, 0x5F,
    0x34, 0x76, 0x39, 0x36, 0x37, 0x38, 0x6B, 0x25, 0x3F, 0x78, 0x43, 0x44, 0x41, 0x53, 0x46, 0x49,
    0x42, 0x45, 0x6A, 0x50, 0x54, 0x7A, 0x52, 0x4E, 0x4D, 0x2B, 0x4C, 0x4F, 0x71, 0x48, 0x47};

class FstReader {
 public:
  struct Arc {
    uint8_t input;
    uint64_t out;
    uint64_t target;
  };
  struct State {
    bool is_final = false;
    uint64_t final_output = 0;
    std::vector<Arc> arcs;  // increasing input order
  };
  using Entries = std::vector<std::pair<std::string, uint64_t>>;

  // Checks the header (version 3, type 0) and the footer's checksum.
  explicit FstReader(std::string bytes) : b_(std::move(bytes)) {
    if (b_.size() < 36) throw std::runtime_error("file too short");
    if (DecodeFixed64(&b_[0]) != 3 || DecodeFixed64(&b_[8]) != 0) throw std::runtime_error("bad header");
    nodes_end_ = b_.size() - 20;
    len_ = DecodeFixed64(&b_[nodes_end_]);
    root_ = DecodeFixed64(&b_[nodes_end_ + 8]);
    if (DecodeFixed32(&b_[b_.size() - 4]) != MaskedCrc(std::string_view(b_).substr(0, b_.size() - 4))) {
      throw std::runtime_error("checksum mismatch");
    }
  }

  uint64_t size() const { return len_; }
  uint64_t root() const { return root_; }

  // The node at addr, decoded once and then kept.
  const State& Decode(uint64_t addr) const {
    auto [it, inserted] = decoded_.try_emplace(addr);
    if (inserted) {
      try {
        it->second = DecodeNode(addr);
      } catch (...) {
        decoded_.erase(it);
        throw;
      }
    }
    return it->second;
  }

  // The value of key, or nullopt when the walk leaves the transducer or ends
  // on a node that is not final.
  std::optional<uint64_t> Get(std::string_view key) const {
    uint64_t addr = root_, sum = 0;
    for (char c : key) {
      const State& s = Decode(addr);
      const Arc* arc = nullptr;
      for (const Arc& a : s.arcs) {
        if (a.input == static_cast<uint8_t>(c)) arc = &a;
      }
      if (arc == nullptr) return std::nullopt;
      sum += arc->out;
      addr = arc->target;
    }
    const State& s = Decode(addr);
    if (!s.is_final) return std::nullopt;
    return sum + s.final_output;
  }

  // Every key with its value, in the order a depth-first walk meets them: a
  // node's own key before its transitions, transitions by increasing input,
  // which is bytewise key order.
  Entries List() const {
    Entries out;
    std::string prefix;
    Collect(root_, &prefix, 0, &out);
    return out;
  }

 private:
  State DecodeNode(uint64_t addr) const {
    State s;
    if (addr == 0) {
      s.is_final = true;
      return s;
    }
    const uint8_t state = Byte(addr);
    const uint8_t low = state & 0x3F;
    uint64_t pos = addr - 1;  // next unread byte, moving backwards
    switch (state >> 6) {
      case 3: {  // one transition to the node just before, output 0
        const uint8_t input = low ? kCommonBytes[low - 1] : Byte(pos--);
        s.arcs.push_back({input, 0, pos});
        return s;
      }
      case 2: {  // one transition
        const uint8_t input = low ? kCommonBytes[low - 1] : Byte(pos--);
        const uint8_t sizes = Byte(pos--);
        const size_t tsize = sizes >> 4, osize = sizes & 0xF;
        const uint64_t delta = Packed(pos + 1 - tsize, tsize);
        pos -= tsize;
        const uint64_t out = Packed(pos + 1 - osize, osize);
        pos -= osize;
        const uint64_t start = pos + 1;
        s.arcs.push_back({input, out, delta == 0 ? 0 : start - delta});
        return s;
      }
      default: {  // any number of transitions
        s.is_final = (state & 0x40) != 0;
        size_t n = low;
        if (n == 0) {
          const uint8_t count = Byte(pos--);
          n = count == 1 ? 256 : count;
          if (n != 0 && n <= 63) throw std::runtime_error("count byte for a fan-out the state byte holds");
        }
        const uint8_t sizes = Byte(pos--);
        const size_t tsize = sizes >> 4, osize = sizes & 0xF;
        std::string index;
        if (n > 32) {
          index = Slice(pos + 1 - 256, 256);
          pos -= 256;
        }
        const std::string inputs = Slice(pos + 1 - n, n);
        pos -= n;
        const uint64_t deltas_at = pos + 1 - n * tsize;
        pos -= n * tsize;
        const uint64_t outs_at = pos + 1 - n * osize;
        pos -= n * osize;
        if (s.is_final && osize > 0) {
          s.final_output = Packed(pos + 1 - osize, osize);
          pos -= osize;
        }
        const uint64_t start = pos + 1;
        for (size_t k = n; k-- > 0;) {  // stored by decreasing input
          const uint64_t delta = Packed(deltas_at + k * tsize, tsize);
          const uint64_t out = osize ? Packed(outs_at + k * osize, osize) : 0;
          s.arcs.push_back({static_cast<uint8_t>(inputs[k]), out, delta == 0 ? 0 : start - delta});
        }
        for (size_t i = 1; i < s.arcs.size(); ++i) {
          if (s.arcs[i - 1].input >= s.arcs[i].input) throw std::runtime_error("inputs not decreasing");
        }
        if (!index.empty()) {
          std::string expected(256, static_cast<char>(0xFF));
          for (size_t i = 0; i < n; ++i) expected[s.arcs[i].input] = static_cast<char>(i);
          if (index != expected) throw std::runtime_error("bad position index");
        }
        return s;
      }
    }
  }

  void Collect(uint64_t addr, std::string* prefix, uint64_t sum, Entries* out) const {
    const State& s = Decode(addr);
    if (s.is_final) out->emplace_back(*prefix, sum + s.final_output);
    for (const Arc& a : s.arcs) {
      // Children are written before their parents, so the walk terminates.
      if (a.target != 0 && a.target >= addr) throw std::runtime_error("transition to a later node");
      prefix->push_back(static_cast<char>(a.input));
      Collect(a.target, prefix, sum + a.out, out);
      prefix->pop_back();
    }
  }

  uint8_t Byte(uint64_t pos) const {
    if (pos < 16 || pos >= nodes_end_) throw std::runtime_error("node byte outside the node region");
    return static_cast<uint8_t>(b_[pos]);
  }
  std::string Slice(uint64_t first, size_t n) const {
    std::string s;
    for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(Byte(first + i)));
    return s;
  }
  uint64_t Packed(uint64_t first, size_t n) const {
    uint64_t v = 0;
    for (size_t i = n; i-- > 0;) v = v << 8 | Byte(first + i);
    return v;
  }

  std::string b_;
  uint64_t nodes_end_, len_, root_;
  mutable std::unordered_map<uint64_t, State> decoded_;  // references stay valid
};

}  // namespace halcyra::fst_test
