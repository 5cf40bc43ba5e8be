// The FST file, all integers little-endian:
//
//   u64 version (3) | u64 type (0) | nodes ... | u64 key count |
//   u64 root address | u32 masked CRC-32C of every preceding byte (crc32c.h)
//
// Nodes are written children first, each as soon as no later key can change
// it; a node's address is the offset of its last byte. Address 0 is the final
// node without transitions or output, which is never written. Identical nodes
// are shared while a bounded cache of recently written nodes still holds them.
//
// Node encodings. Every node ends with a state byte whose top two bits give its
// kind; a reader decodes a node backwards from its address (the state byte).
// Fields are listed in the order they are written. "Packed" integers take the
// fewest bytes (1..8) that hold them, least significant first; a transition's
// delta is the node's start offset minus the target address (0 for target 0).
// Inputs among the 63 most common key bytes are folded into the state byte as
// a common index 1..63; any other input is written in a byte of its own.
//
//   one transition to the node just written, output 0, not final:
//     [input if uncommon] | 11 common(6)
//   one transition, not final:
//     [output: osize bytes] | delta: tsize bytes | tsize(4) osize(4) |
//     [input if uncommon] | 10 common(6)             osize 0 when output is 0
//   any other node (N transitions, listed by decreasing input):
//     [final output (if final), then N outputs: osize bytes each, only when
//     some output is nonzero] | N deltas: tsize bytes each | N inputs |
//     [256-byte position index if N > 32] | tsize(4) osize(4) |
//     [N if N == 0 or N > 63; 256 as 1] | 0 final(1) N-or-0(6)
//   The position index maps each byte value to the 0-based position of its
//   transition in increasing input order, 255 when there is none.
//
// See FORMATS.md (FST) for decoding, lookup, lower bound and a worked example.

#include "fst/fst.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/coding.h"
#include "base/utf8.h"
#include "fst/crc32c.h"

namespace halcyra {
namespace {

constexpr uint64_t kFormatVersion = 3;
constexpr uint64_t kFstType = 0;

// Address 0 is the final node without transitions or output; it is implied,
// never written. kNoneAddress names no node and never reaches the output.
constexpr uint64_t kEmptyFinalAddress = 0;
constexpr uint64_t kNoneAddress = 1;

constexpr size_t kRegistryBuckets = 10000;

// Fan-out above which a node carries the input -> position index.
constexpr size_t kIndexedFanout = 32;
// Largest fan-out that fits the state byte's low six bits.
constexpr size_t kStateFanout = 63;

constexpr std::array<uint8_t, 256> MakeCommonIndex() {
  constexpr std::string_view kCommon =
      "te/oasri" "pcnw.hlm" "-du012g=" ":bf3y5&_" "4v9678k%" "?xCDASFI" "BEjPTzRN" "M+LOqHG";
  static_assert(kCommon.size() == 63);
  std::array<uint8_t, 256> t{};
  for (size_t i = 0; i < kCommon.size(); ++i) t[static_cast<uint8_t>(kCommon[i])] = static_cast<uint8_t>(i + 1);
  return t;
}
constexpr std::array<uint8_t, 256> kCommonIndex = MakeCommonIndex();

struct Transition {
  uint8_t input;
  uint64_t out;
  uint64_t addr;
  bool operator==(const Transition&) const = default;
};

struct Node {
  bool is_final = false;
  uint64_t final_output = 0;
  std::vector<Transition> trans;  // increasing input order, at most 256
  bool operator==(const Node&) const = default;
};

// A transition on the current key's path whose target is not compiled yet.
struct LastTransition {
  uint8_t input;
  uint64_t out;
};

struct UnfinishedEntry {
  Node node;
  std::optional<LastTransition> last;
};

// FNV-1a over 64-bit words.
uint64_t HashNode(const Node& node) {
  uint64_t h = 0xcbf29ce484222325ULL;
  const auto mix = [&h](uint64_t word) { h = (h ^ word) * 0x100000001b3ULL; };
  mix(node.is_final);
  mix(node.final_output);
  for (const Transition& t : node.trans) {
    mix(t.input);
    mix(t.out);
    mix(t.addr);
  }
  return h;
}

// Recently written nodes by hash: buckets of two cells, the more recently
// used in front. A node that falls out of its bucket is written again if it
// recurs, so the output depends on exactly this policy.
class Registry {
 public:
  Registry() : cells_(2 * kRegistryBuckets) {}

  // On a hit returns the cached node's address, moving it to the front. On a
  // miss returns kNoneAddress, puts a copy of node in front (dropping the back
  // cell) and sets *addr_slot to the cell's address, which the caller fills in
  // once the node is written.
  uint64_t FindOrInsert(const Node& node, uint64_t** addr_slot) {
    Cell* bucket = &cells_[2 * (HashNode(node) % kRegistryBuckets)];
    if (bucket[0].Holds(node)) return bucket[0].addr;
    if (bucket[1].Holds(node)) {
      std::swap(bucket[0], bucket[1]);
      return bucket[0].addr;
    }
    bucket[1].node = node;  // reuses the evicted cell's allocation
    std::swap(bucket[0], bucket[1]);
    bucket[0].addr = kNoneAddress;
    *addr_slot = &bucket[0].addr;
    return kNoneAddress;
  }

 private:
  struct Cell {
    Node node;
    uint64_t addr = kNoneAddress;  // kNoneAddress marks an empty cell
    bool Holds(const Node& n) const { return addr != kNoneAddress && node == n; }
  };

  std::vector<Cell> cells_;
};

size_t PackSize(uint64_t v) {
  size_t n = 1;
  while (n < 8 && (v >> (8 * n)) != 0) ++n;
  return n;
}

void PutPacked(std::string* dst, uint64_t v, size_t n) {
  for (size_t i = 0; i < n; ++i) dst->push_back(static_cast<char>(v >> (8 * i)));
}

uint64_t Delta(uint64_t start, uint64_t target) {
  return target == kEmptyFinalAddress ? 0 : start - target;
}

// Appends node to *dst; last_addr is the address of the node written last.
void WriteNode(const Node& node, uint64_t last_addr, std::string* dst) {
  const uint64_t start = dst->size();
  const size_t n = node.trans.size();

  if (!node.is_final && n == 1) {
    const Transition& t = node.trans[0];
    const uint8_t common = kCommonIndex[t.input];
    if (t.out == 0 && t.addr == last_addr) {
      if (common == 0) PutFixed8(dst, t.input);
      PutFixed8(dst, 0xC0 | common);
      return;
    }
    const size_t osize = t.out == 0 ? 0 : PackSize(t.out);
    const uint64_t delta = Delta(start, t.addr);
    const size_t tsize = PackSize(delta);
    PutPacked(dst, t.out, osize);
    PutPacked(dst, delta, tsize);
    PutFixed8(dst, static_cast<uint8_t>(tsize << 4 | osize));
    if (common == 0) PutFixed8(dst, t.input);
    PutFixed8(dst, 0x80 | common);
    return;
  }

  size_t tsize = 0;
  size_t osize = PackSize(node.final_output);
  bool any_outs = node.final_output != 0;
  for (const Transition& t : node.trans) {
    tsize = std::max(tsize, PackSize(Delta(start, t.addr)));
    osize = std::max(osize, PackSize(t.out));
    any_outs = any_outs || t.out != 0;
  }
  if (any_outs) {
    if (node.is_final) PutPacked(dst, node.final_output, osize);
    for (auto t = node.trans.rbegin(); t != node.trans.rend(); ++t) PutPacked(dst, t->out, osize);
  }
  for (auto t = node.trans.rbegin(); t != node.trans.rend(); ++t) PutPacked(dst, Delta(start, t->addr), tsize);
  for (auto t = node.trans.rbegin(); t != node.trans.rend(); ++t) PutFixed8(dst, t->input);
  if (n > kIndexedFanout) {
    std::array<char, 256> index;
    index.fill(static_cast<char>(0xFF));
    for (size_t i = 0; i < n; ++i) index[node.trans[i].input] = static_cast<char>(i);
    dst->append(index.data(), index.size());
  }
  PutFixed8(dst, static_cast<uint8_t>(tsize << 4 | (any_outs ? osize : 0)));
  const bool fits_state = n >= 1 && n <= kStateFanout;
  if (!fits_state) PutFixed8(dst, static_cast<uint8_t>(n == 256 ? 1 : n));
  PutFixed8(dst, static_cast<uint8_t>((node.is_final ? 0x40 : 0) | (fits_state ? n : 0)));
}

// The key as text when it is valid UTF-8, else as "[b0, b1, ...]".
std::string DisplayKey(std::string_view key) {
  if (IsValidUtf8(key)) return std::string(key);
  std::string s = "[";
  for (size_t i = 0; i < key.size(); ++i) {
    if (i > 0) s += ", ";
    s += std::to_string(static_cast<uint8_t>(key[i]));
  }
  s += "]";
  return s;
}

}  // namespace

Error FstError::DuplicateKey(std::string_view key) {
  return Error::Fst("Error inserting duplicate key: '" + DisplayKey(key) + "'.");
}

Error FstError::OutOfOrderKey(std::string_view previous, std::string_view key) {
  return Error::Fst("Error inserting out-of-order key: '" + DisplayKey(key) + "'. (Previous key was '" +
                    DisplayKey(previous) + "'.) Keys must be inserted in lexicographic order.");
}

struct FstBuilder::Rep {
  std::string buf;  // header and the nodes written so far
  Registry registry;
  // stack[0, depth) is the unfinished path of the last key, one entry per
  // byte plus the root; entries past depth only keep their allocations.
  std::vector<UnfinishedEntry> stack;
  size_t depth = 0;
  std::optional<std::string> last_key;
  uint64_t last_addr = kNoneAddress;  // the node written most recently
  uint64_t len = 0;

  explicit Rep(size_t reserve) {
    buf.reserve(reserve);
    PutFixed64(&buf, kFormatVersion);
    PutFixed64(&buf, kFstType);
    stack.reserve(64);
    Push(false, std::nullopt);
  }

  UnfinishedEntry& Top() { return stack[depth - 1]; }

  void Push(bool is_final, std::optional<LastTransition> last) {
    if (depth == stack.size()) stack.emplace_back();
    UnfinishedEntry& e = stack[depth++];
    e.node.is_final = is_final;
    e.node.final_output = 0;
    e.node.trans.clear();
    e.last = last;
  }

  // Adds add in front of every output leaving entry.
  static void PrependOutput(UnfinishedEntry* entry, uint64_t add) {
    if (entry->node.is_final) entry->node.final_output += add;
    for (Transition& t : entry->node.trans) t.out += add;
    if (entry->last) entry->last->out += add;
  }

  static void AppendLast(UnfinishedEntry* entry, uint64_t addr) {
    assert(entry->last && addr != kNoneAddress);
    assert(entry->node.trans.size() < 256);
    entry->node.trans.push_back({entry->last->input, entry->last->out, addr});
    entry->last.reset();
  }

  Status Insert(std::string_view key, uint64_t value) {
    if (last_key) {
      const int order = key.compare(*last_key);  // bytewise, as unsigned chars
      if (order == 0) return FstError::DuplicateKey(key);
      if (order < 0) return FstError::OutOfOrderKey(*last_key, key);
      last_key->assign(key);
    } else {
      last_key.emplace(key);
    }

    if (key.empty()) {  // only ever the first key
      len = 1;
      stack[0].node.is_final = true;
      stack[0].node.final_output = value;
      return Status::Ok();
    }

    // Walk the prefix shared with the previous key. Each transition on it
    // keeps the part of its output both keys share; the rest moves one step
    // down, in front of everything leaving the next node.
    size_t p = 0;
    while (p < key.size() && stack[p].last && stack[p].last->input == static_cast<uint8_t>(key[p])) {
      LastTransition& last = *stack[p].last;
      const uint64_t common = std::min(last.out, value);
      const uint64_t add = last.out - common;
      value -= common;
      last.out = common;
      ++p;
      assert(p < depth);
      if (add != 0) PrependOutput(&stack[p], add);
    }
    ++len;

    CompileFrom(p);
    Top().last = LastTransition{static_cast<uint8_t>(key[p]), value};
    for (size_t i = p + 1; i < key.size(); ++i) Push(false, LastTransition{static_cast<uint8_t>(key[i]), 0});
    Push(true, std::nullopt);
    return Status::Ok();
  }

  // Compiles the path below entry p, which no later key can change, and
  // links entry p to it.
  void CompileFrom(size_t p) {
    uint64_t addr = kNoneAddress;
    while (depth > p + 1) {
      UnfinishedEntry& e = stack[--depth];
      if (addr == kNoneAddress) {
        assert(!e.last);
      } else {
        AppendLast(&e, addr);
      }
      addr = Compile(e.node);
    }
    if (Top().last) AppendLast(&Top(), addr);
  }

  // Returns node's address, writing it unless the registry holds an equal node.
  uint64_t Compile(const Node& node) {
    if (node.is_final && node.trans.empty() && node.final_output == 0) return kEmptyFinalAddress;
    uint64_t* addr_slot = nullptr;
    const uint64_t cached = registry.FindOrInsert(node, &addr_slot);
    if (cached != kNoneAddress) return cached;
    WriteNode(node, last_addr, &buf);
    last_addr = buf.size() - 1;
    *addr_slot = last_addr;
    return last_addr;
  }

  std::string Finish() {
    CompileFrom(0);
    assert(depth == 1 && !stack[0].last);
    const uint64_t root = Compile(stack[0].node);
    PutFixed64(&buf, len);
    PutFixed64(&buf, root);
    PutFixed32(&buf, crc32c::Mask(crc32c::Value(buf.data(), buf.size())));
    return std::move(buf);
  }
};

FstBuilder::FstBuilder(size_t reserve) : rep_(std::make_unique<Rep>(reserve)) {}
FstBuilder::~FstBuilder() = default;
FstBuilder::FstBuilder(FstBuilder&&) noexcept = default;
FstBuilder& FstBuilder::operator=(FstBuilder&&) noexcept = default;

Status FstBuilder::Insert(std::string_view key, uint64_t value) {
  assert(rep_ != nullptr);
  return rep_->Insert(key, value);
}

uint64_t FstBuilder::size() const {
  assert(rep_ != nullptr);
  return rep_->len;
}

std::string FstBuilder::Finish() && {
  assert(rep_ != nullptr);
  std::string out = rep_->Finish();
  rep_.reset();
  return out;
}

}  // namespace halcyra
