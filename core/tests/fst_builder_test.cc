#include "fst/fst.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/coding.h"
#include "fst_reader.h"

namespace halcyra {
namespace {

using fst_test::BitwiseCrc32c;
using fst_test::FstReader;
using fst_test::kCommonBytes;
using fst_test::MaskedCrc;
using Entries = FstReader::Entries;

Entries EntriesOf(const std::map<std::string, uint64_t>& m) { return Entries(m.begin(), m.end()); }

// ---------------------------------------------------------------------------
// Helpers for expected bytes.

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

// Header, the given node bytes, and the footer with its checksum.
std::string File(const std::string& nodes, uint64_t len, uint64_t root) {
  std::string f;
  PutFixed64(&f, 3);
  PutFixed64(&f, 0);
  f += nodes;
  PutFixed64(&f, len);
  PutFixed64(&f, root);
  PutFixed32(&f, MaskedCrc(f));
  return f;
}

std::string Hex(const std::string& s) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string h;
  for (unsigned char c : s) {
    if (!h.empty()) h += ' ';
    h += kDigits[c >> 4];
    h += kDigits[c & 0xF];
  }
  return h;
}

using Pairs = std::vector<std::pair<std::string, uint64_t>>;

std::string Build(const Pairs& pairs) {
  FstBuilder b;
  for (const auto& [key, value] : pairs) {
    const Status s = b.Insert(key, value);
    EXPECT_TRUE(s.ok()) << s.error().message();
  }
  return std::move(b).Finish();
}

#define EXPECT_BYTES(expected, actual) EXPECT_EQ(Hex(expected), Hex(actual))

// ---------------------------------------------------------------------------

TEST(Crc32c, ReferenceMatchesKnownValues) {
  EXPECT_EQ(BitwiseCrc32c("123456789"), 0xE3069283u);
  EXPECT_EQ(BitwiseCrc32c(std::string(32, '\0')), 0x8A9136AAu);
}

TEST(FstBuilder, SmallFilesByteForByte) {
  EXPECT_EQ(Build({}).size(), 39u);
  EXPECT_EQ(Build({{"a", 1}}).size(), 40u);
  EXPECT_EQ(Build({{"ab", 0}, {"ac", 5}}).size(), 45u);
  // No keys: one non-final node without transitions is the root.
  EXPECT_BYTES(Bytes({0x03, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //
                      0x00, 0x00, 0x00,                                  //
                      0, 0, 0, 0, 0, 0, 0, 0, 0x12, 0, 0, 0, 0, 0, 0, 0,  //
                      0x54, 0x6B, 0x2D, 0x0F}),
               Build({}));
  // a -> 1: output 1, delta 0, sizes 0x11, state 0x80 | 5.
  EXPECT_BYTES(Bytes({0x03, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //
                      0x01, 0x00, 0x11, 0x85,                            //
                      1, 0, 0, 0, 0, 0, 0, 0, 0x13, 0, 0, 0, 0, 0, 0, 0,  //
                      0xAC, 0x0D, 0x00, 0x69}),
               Build({{"a", 1}}));
  // ab -> 0, ac -> 5: the two-way node, then the root chained to it.
  EXPECT_BYTES(Bytes({0x03, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //
                      0x05, 0x00, 0x00, 0x00, 0x63, 0x62, 0x11, 0x02, 0xC5,  //
                      2, 0, 0, 0, 0, 0, 0, 0, 0x18, 0, 0, 0, 0, 0, 0, 0,  //
                      0xB8, 0x6A, 0xE5, 0x2D}),
               Build({{"ab", 0}, {"ac", 5}}));
}

TEST(FstBuilder, EmptyKey) {
  // Value 0: the root is the implied empty final node; nothing is written.
  EXPECT_BYTES(File("", 1, 0), Build({{"", 0}}));
  // Value 7: final, no transitions; output 07, sizes 0x01, count 0, state 0x40.
  EXPECT_BYTES(File(Bytes({0x07, 0x01, 0x00, 0x40}), 1, 19), Build({{"", 7}}));
  // Then a -> 5: a final root with one transition; final output first.
  EXPECT_BYTES(File(Bytes({0x02, 0x05, 0x00, 0x61, 0x11, 0x41}), 2, 21), Build({{"", 2}, {"a", 5}}));
}

TEST(FstBuilder, PrefixKeyKeepsFinalNodeAndSplitsValue) {
  // a -> 5, ab -> 3: the transition on a carries 3; the node after it is
  // final with output 2 and its transition on b carries 0.
  const std::string f = Build({{"a", 5}, {"ab", 3}});
  EXPECT_BYTES(File(Bytes({0x02, 0x00, 0x00, 0x62, 0x11, 0x41,  // node at 21
                           0x03, 0x01, 0x11, 0x85}),            // root at 25, delta 22 - 21
                    2, 25),
               f);
  const FstReader r(f);
  EXPECT_EQ(r.List(), (Entries{{"a", 5}, {"ab", 3}}));
}

TEST(FstBuilder, UncommonInputsAreWrittenOut) {
  // One transition to the empty final node: no output, delta 0, sizes 0x10.
  EXPECT_BYTES(File(Bytes({0x00, 0x10, 0xFF, 0x80}), 1, 19), Build({{"\xff", 0}}));
  // The root's transition targets the node just written: input, state 0xC0.
  EXPECT_BYTES(File(Bytes({0x00, 0x10, 0x02, 0x80, 0x01, 0xC0}), 1, 21), Build({{"\x01\x02", 0}}));
}

TEST(FstBuilder, EveryInputByteAndItsCommonIndex) {
  std::array<int, 256> index{};
  for (int i = 0; i < 63; ++i) index[kCommonBytes[i]] = i + 1;
  for (int b = 0; b < 256; ++b) {
    const std::string nodes =
        index[b] ? Bytes({0x00, 0x10, 0x80 | index[b]}) : Bytes({0x00, 0x10, b, 0x80});
    EXPECT_BYTES(File(nodes, 1, 15 + nodes.size()), Build({{std::string(1, static_cast<char>(b)), 0}}))
        << "input byte " << b;
  }
}

TEST(FstBuilder, OutputWidths) {
  EXPECT_BYTES(File(Bytes({0x34, 0x12, 0x00, 0x12, 0x85}), 1, 20), Build({{"a", 0x1234}}));
  EXPECT_BYTES(File(Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x18, 0x85}), 1, 26),
               Build({{"a", UINT64_MAX}}));
  // Outputs share the widest size: b's 1 and a's 0x10000 both take 3 bytes.
  EXPECT_BYTES(File(Bytes({0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x62, 0x61, 0x13, 0x02}), 2, 27),
               Build({{"a", 0x10000}, {"b", 1}}));
}

TEST(FstBuilder, SharedSuffixIsWrittenOnce) {
  // xab and yab: "b" node at 18, "ab" node chained at 19, then a root whose
  // two transitions both point at 19 (deltas 1).
  const std::string f = Build({{"xab", 0}, {"yab", 0}});
  EXPECT_BYTES(File(Bytes({0x00, 0x10, 0x9A, 0xC5, 0x01, 0x01, 0x79, 0x78, 0x10, 0x02}), 2, 25), f);

  // Many keys ending in the same four letters all lead to one node.
  Pairs pairs;
  for (char c = 'a'; c <= 'z'; ++c) pairs.push_back({std::string(1, c) + "ting", 0});
  const FstReader r(Build(pairs));
  const FstReader::State root = r.Decode(r.root());
  ASSERT_EQ(root.arcs.size(), 26u);
  for (const auto& arc : root.arcs) EXPECT_EQ(arc.target, root.arcs[0].target);
}

TEST(FstBuilder, SingleTransitionToCachedNodeUsesDelta) {
  // ab, ba, cxb: "b" node at 18, "a" node at 21; cx's node reuses 18, which is
  // not the node just written, so it takes the delta form: 22 - 18 = 4.
  EXPECT_BYTES(File(Bytes({0x00, 0x10, 0x9A,                    // {b} at 18
                           0x00, 0x10, 0x85,                    // {a} at 21
                           0x04, 0x10, 0xAA,                    // {x -> 18} at 24
                           0x01, 0x04, 0x07, 0x63, 0x62, 0x61, 0x10, 0x03}),  // root at 32
                    3, 32),
               Build({{"ab", 0}, {"ba", 0}, {"cxb", 0}}));
}

TEST(FstBuilder, TwoByteDeltas) {
  // ax, then b followed by every byte: {x} at 18, the 256-way node at
  // 19..789, the root at 790..797 with deltas 790 - 789 = 1 and 790 - 18 = 772.
  Pairs pairs = {{"ax", 0}};
  std::string wide;
  for (int i = 0; i < 256; ++i) {
    pairs.push_back({std::string("b") + static_cast<char>(i), 0});
    wide.push_back(0);
  }
  for (int i = 255; i >= 0; --i) wide.push_back(static_cast<char>(i));
  for (int i = 0; i < 256; ++i) wide.push_back(static_cast<char>(i));
  wide += Bytes({0x10, 0x01, 0x00});
  const std::string nodes = Bytes({0x00, 0x10, 0xAA}) + wide + Bytes({0x01, 0x00, 0x04, 0x03, 0x62, 0x61, 0x20, 0x02});
  EXPECT_BYTES(File(nodes, 257, 797), Build(pairs));
}

// Keys 0x00 .. n-1, all with value 0 (plus the empty key when final): the
// root has n transitions to the empty final node.
std::string FanoutFile(int n, bool final) {
  Pairs pairs;
  if (final) pairs.push_back({"", 0});
  for (int i = 0; i < n; ++i) pairs.push_back({std::string(1, static_cast<char>(i)), 0});
  return Build(pairs);
}

TEST(FstBuilder, FanoutEncodings) {
  const auto deltas_and_inputs = [](int n) {
    std::string s(n, '\0');
    for (int i = n - 1; i >= 0; --i) s.push_back(static_cast<char>(i));
    return s;
  };
  const auto index = [](int n) {
    std::string s(256, static_cast<char>(0xFF));
    for (int i = 0; i < n; ++i) s[i] = static_cast<char>(i);
    return s;
  };
  // Up to 32 transitions: no index; the count sits in the state byte.
  EXPECT_BYTES(File(deltas_and_inputs(32) + Bytes({0x10, 0x20}), 32, 16 + 66 - 1), FanoutFile(32, false));
  // 33: the position index appears.
  EXPECT_BYTES(File(deltas_and_inputs(33) + index(33) + Bytes({0x10, 0x21}), 33, 16 + 324 - 1),
               FanoutFile(33, false));
  // 63: still in the state byte.
  EXPECT_BYTES(File(deltas_and_inputs(63) + index(63) + Bytes({0x10, 0x3F}), 63, 16 + 384 - 1),
               FanoutFile(63, false));
  // 64: a count byte, state 0.
  EXPECT_BYTES(File(deltas_and_inputs(64) + index(64) + Bytes({0x10, 0x40, 0x00}), 64, 16 + 387 - 1),
               FanoutFile(64, false));
  // Final with 64 transitions: state 0x40; no outputs since all are zero.
  EXPECT_BYTES(File(deltas_and_inputs(64) + index(64) + Bytes({0x10, 0x40, 0x40}), 65, 16 + 387 - 1),
               FanoutFile(64, true));
  // 255 and 256: 256 is counted as 1.
  EXPECT_BYTES(File(deltas_and_inputs(255) + index(255) + Bytes({0x10, 0xFF, 0x00}), 255, 16 + 769 - 1),
               FanoutFile(255, false));
  EXPECT_BYTES(File(deltas_and_inputs(256) + index(256) + Bytes({0x10, 0x01, 0x00}), 256, 16 + 771 - 1),
               FanoutFile(256, false));
  for (int n : {32, 33, 63, 64, 255, 256}) {
    const FstReader r(FanoutFile(n, true));
    EXPECT_EQ(r.List().size(), static_cast<size_t>(n + 1));
  }
}

// ---------------------------------------------------------------------------
// The registry: two cells per bucket, the more recently used in front.

uint64_t RegistryBucket(std::initializer_list<uint64_t> words) {
  uint64_t h = 0xCBF29CE484222325ULL;
  for (uint64_t w : words) h = (h ^ w) * 0x100000001B3ULL;
  return h % 10000;
}

// Three values v whose nodes {'0' -> 0 out 0, '1' -> 0 out v} (non-final)
// hash to the same bucket.
std::vector<uint64_t> CollidingOutputs() {
  std::map<uint64_t, std::vector<uint64_t>> by_bucket;
  for (uint64_t v = 1;; ++v) {
    auto& same = by_bucket[RegistryBucket({0, 0, '0', 0, 0, '1', v, 0})];
    same.push_back(v);
    if (same.size() == 3) return same;
  }
}

// For each v in seq, in turn, inserts <first byte>0 -> 0 and <first byte>1 ->
// v, with first bytes a, b, c, ...; returns where each first byte leads.
std::vector<uint64_t> TargetsAfterFirstByte(const std::vector<uint64_t>& seq) {
  std::map<std::string, uint64_t> pairs;
  for (size_t i = 0; i < seq.size(); ++i) {
    const std::string first(1, static_cast<char>('a' + i));
    pairs[first + "0"] = 0;
    pairs[first + "1"] = seq[i];
  }
  const FstReader r(Build(Pairs(pairs.begin(), pairs.end())));
  EXPECT_EQ(r.List(), EntriesOf(pairs));
  std::vector<uint64_t> targets;
  for (const auto& arc : r.Decode(r.root()).arcs) targets.push_back(arc.target);
  return targets;
}

TEST(FstBuilder, RegistryKeepsTwoNodesPerBucket) {
  const std::vector<uint64_t> v = CollidingOutputs();
  const uint64_t x = v[0], y = v[1], z = v[2];

  // X, Y, X: X is found in the back cell and moves to the front. Then Z
  // evicts Y, now in back, so X is found again and Y is written again.
  std::vector<uint64_t> t = TargetsAfterFirstByte({x, y, x, z, x, y});
  ASSERT_EQ(t.size(), 6u);
  EXPECT_EQ(t[2], t[0]);
  EXPECT_EQ(t[4], t[0]);
  EXPECT_NE(t[5], t[1]);
  EXPECT_EQ(std::set<uint64_t>(t.begin(), t.end()).size(), 4u);

  // X, Y, Z: the third node pushes X out; its next use writes it again.
  t = TargetsAfterFirstByte({x, y, z, x});
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(std::set<uint64_t>(t.begin(), t.end()).size(), 4u);

  // Equal nodes in different buckets never displace each other.
  t = TargetsAfterFirstByte({x, 1000003, 1000033, x});
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t[3], t[0]);
}

// ---------------------------------------------------------------------------
// Errors.

TEST(FstBuilder, KeyOrderErrors) {
  const auto error_of = [](const Pairs& before, std::string_view key) -> std::string {
    FstBuilder b;
    for (const auto& [k, v] : before) EXPECT_TRUE(b.Insert(k, v).ok());
    const Status s = b.Insert(key, 9);
    if (s.ok()) return "accepted";
    EXPECT_EQ(s.error().code(), ErrorCode::kFst);
    return s.error().message();
  };
  EXPECT_EQ(error_of({{"b", 1}}, "b"), "Error inserting duplicate key: 'b'.");
  EXPECT_EQ(error_of({{"b", 1}}, "a"),
            "Error inserting out-of-order key: 'a'. (Previous key was 'b'.) Keys must be inserted in "
            "lexicographic order.");
  EXPECT_EQ(error_of({{"ab", 1}}, "a"),
            "Error inserting out-of-order key: 'a'. (Previous key was 'ab'.) Keys must be inserted in "
            "lexicographic order.");
  EXPECT_EQ(error_of({{"", 1}}, ""), "Error inserting duplicate key: ''.");
  EXPECT_EQ(error_of({{"a", 1}}, ""),
            "Error inserting out-of-order key: ''. (Previous key was 'a'.) Keys must be inserted in "
            "lexicographic order.");
  // Bytes compare unsigned: 0x80 sorts after 0x7F.
  EXPECT_EQ(error_of({{"\x7f", 1}}, "\x80"), "accepted");
  EXPECT_EQ(error_of({{"\x80", 1}}, "\x7f"),
            "Error inserting out-of-order key: '\x7f'. (Previous key was '[128]'.) Keys must be inserted "
            "in lexicographic order.");
  // Keys are shown as text when valid UTF-8, else as their byte values.
  EXPECT_EQ(error_of({{"caf\xc3\xa9", 1}}, "caf\xc3\xa9"), "Error inserting duplicate key: 'caf\xc3\xa9'.");
  EXPECT_EQ(error_of({{std::string("\xff\x00", 2), 1}}, std::string("\xff\x00", 2)),
            "Error inserting duplicate key: '[255, 0]'.");
  EXPECT_EQ(error_of({{"\xc0\x80", 1}}, "\xc0\x80"), "Error inserting duplicate key: '[192, 128]'.");  // overlong
  EXPECT_EQ(error_of({{"\xed\xa0\x80", 1}}, "\xed\xa0\x80"),  // surrogate
            "Error inserting duplicate key: '[237, 160, 128]'.");
  EXPECT_EQ(error_of({{"\xf4\x90\x80\x80", 1}}, "\xf4\x90\x80\x80"),  // above U+10FFFF
            "Error inserting duplicate key: '[244, 144, 128, 128]'.");
  EXPECT_EQ(error_of({{"\xe2\x82", 1}}, "\xe2\x82"), "Error inserting duplicate key: '[226, 130]'.");  // truncated
  EXPECT_EQ(error_of({{"\xf0\x9f\x99\x82", 1}}, "\xf0\x9f\x99\x82"),
            "Error inserting duplicate key: '\xf0\x9f\x99\x82'.");

  EXPECT_EQ(FstError::DuplicateKey("k").code(), ErrorCode::kFst);
  EXPECT_EQ(FstError::OutOfOrderKey("b", "a").message(),
            "Error inserting out-of-order key: 'a'. (Previous key was 'b'.) Keys must be inserted in "
            "lexicographic order.");
}

TEST(FstBuilder, RejectedKeysLeaveTheBuilderUnchanged) {
  const Pairs good = {{"", 4}, {"apple", 10}, {"apply", 7}, {"banana", 3}, {"band", 3}, {"bandana", 12}};
  FstBuilder b;
  for (const auto& [key, value] : good) {
    ASSERT_TRUE(b.Insert(key, value).ok());
    EXPECT_FALSE(b.Insert(key, value + 1).ok());  // duplicate
    if (!key.empty()) {
      EXPECT_FALSE(b.Insert(key.substr(0, key.size() - 1), 1).ok());  // a proper prefix sorts first
      EXPECT_FALSE(b.Insert("", 1).ok());
    }
  }
  EXPECT_EQ(b.size(), good.size());
  EXPECT_EQ(std::move(b).Finish(), Build(good));
}

// ---------------------------------------------------------------------------
// Footer and round trips.

TEST(FstBuilder, FooterCountsKeysAndChecksumsEverything) {
  const std::string f = Build({{"alpha", 1}, {"beta", 2}, {"gamma", 3}});
  ASSERT_GE(f.size(), 36u);
  EXPECT_EQ(DecodeFixed64(&f[0]), 3u);
  EXPECT_EQ(DecodeFixed64(&f[8]), 0u);
  EXPECT_EQ(DecodeFixed64(&f[f.size() - 20]), 3u);
  EXPECT_EQ(DecodeFixed64(&f[f.size() - 12]), f.size() - 21);  // the root is written last
  EXPECT_EQ(DecodeFixed32(&f[f.size() - 4]), MaskedCrc(f.substr(0, f.size() - 4)));
}

struct RoundTripCase {
  const char* name;
  uint32_t seed;
  std::string alphabet;  // empty: any byte
  size_t max_len;
};

TEST(FstBuilder, RandomRoundTrips) {
  const RoundTripCase cases[] = {
      {"words", 1, "abcdeing", 10},
      {"bytes", 2, "", 6},
      {"long", 3, "xy", 40},
      {"mixed", 4, "te/o.-=0AZ\x80\xff", 12},
  };
  for (const RoundTripCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::mt19937_64 rng(c.seed);
    const auto random_key = [&] {
      std::string k(rng() % (c.max_len + 1), '\0');
      for (char& ch : k) {
        ch = c.alphabet.empty() ? static_cast<char>(rng()) : c.alphabet[rng() % c.alphabet.size()];
      }
      return k;
    };
    const auto random_value = [&]() -> uint64_t {
      switch (rng() % 4) {
        case 0: return 0;
        case 1: return rng() % 300;
        case 2: return rng() >> (rng() % 64);
        default: return rng();
      }
    };
    std::map<std::string, uint64_t> want;
    while (want.size() < 4000) want[random_key()] = random_value();

    FstBuilder b;
    for (const auto& [key, value] : want) ASSERT_TRUE(b.Insert(key, value).ok());
    const std::string f = std::move(b).Finish();
    EXPECT_EQ(DecodeFixed32(&f[f.size() - 4]), MaskedCrc(f.substr(0, f.size() - 4)));

    const FstReader r(f);
    EXPECT_EQ(r.size(), want.size());
    EXPECT_EQ(r.List(), EntriesOf(want));
    for (const auto& [key, value] : want) {
      ASSERT_EQ(r.Get(key), value) << Hex(key);
      for (size_t n = 0; n < key.size(); ++n) {
        const std::string prefix = key.substr(0, n);
        if (!want.count(prefix)) {
          ASSERT_EQ(r.Get(prefix), std::nullopt) << Hex(prefix);
        }
      }
    }
    for (int i = 0; i < 4000; ++i) {
      const std::string k = random_key() + random_key();
      if (!want.count(k)) {
        ASSERT_EQ(r.Get(k), std::nullopt) << Hex(k);
      }
    }
  }
}

TEST(FstBuilder, ManySequentialKeysRoundTrip) {
  constexpr uint32_t kKeys = 200000;
  FstBuilder b;
  char key[16];
  for (uint32_t i = 0; i < kKeys; ++i) {
    snprintf(key, sizeof key, "k%09u", i * 7u);
    ASSERT_TRUE(b.Insert(key, i).ok());
  }
  const std::string f = std::move(b).Finish();
  const FstReader r(f);
  EXPECT_EQ(r.size(), kKeys);
  for (uint32_t i = 0; i < kKeys; i += 997) {
    snprintf(key, sizeof key, "k%09u", i * 7u);
    EXPECT_EQ(r.Get(key), i);
    snprintf(key, sizeof key, "k%09u", i * 7u + 1);
    EXPECT_EQ(r.Get(key), std::nullopt);
  }
}

}  // namespace
}  // namespace halcyra
