#include "splitset/manifest.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "base/coding.h"
#include "test_util.h"

namespace halcyra {
namespace {

using testing::Bytes;

std::string Write(const ManifestHeader& h, const std::vector<SplitEntry>& splits) {
  Result<std::string> r = WriteManifest(h, splits);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
  return r.ok() ? *r : std::string();
}

std::string WriteError(const ManifestHeader& h, const std::vector<SplitEntry>& splits) {
  Result<std::string> r = WriteManifest(h, splits);
  if (r.ok()) return "ok";
  EXPECT_EQ(r.error().code(), ErrorCode::kLimit);
  return r.error().message();
}

// Parses a copy of bytes in a heap block of exactly their size, so that the
// sanitizer catches any read past the end.
Result<Manifest> ParseExact(std::string_view bytes) {
  std::unique_ptr<char[]> copy(new char[bytes.size() + 1]);
  std::copy(bytes.begin(), bytes.end(), copy.get());
  return ParseManifest(std::string_view(copy.get(), bytes.size()));
}

std::string ParseError(std::string_view bytes) {
  Result<Manifest> r = ParseExact(bytes);
  if (r.ok()) return "ok";
  EXPECT_EQ(r.error().code(), ErrorCode::kCore);
  return r.error().message();
}

Manifest MustParse(std::string_view bytes) {
  Result<Manifest> r = ParseExact(bytes);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
  return r.ok() ? std::move(*r) : Manifest();
}

void Patch(std::string* s, size_t offset, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) (*s)[offset + i] = static_cast<char>(value >> (8 * i));
}

SplitEntry Entry(std::string name, std::string summary, uint32_t first, uint32_t count) {
  SplitEntry e;
  e.name = std::move(name);
  e.summary = std::move(summary);
  e.byte_size = 1000 + first;
  e.epoch = first / 2;
  e.doc_count = count;
  e.first_id = first;
  e.last_id = count == 0 ? first : first + count - 1;
  e.tier = static_cast<uint16_t>(first % 7);
  e.flags = static_cast<uint16_t>(first % 3);
  return e;
}

ManifestHeader Header() {
  ManifestHeader h;
  h.flags = kManifestBloom | kManifestFacets;
  h.policy = 1;
  h.body_kind = kNgramSplits;
  h.tier_count = 0;
  h.base_count = 2;
  h.byte_cap = 33554432;
  h.sortcol = Sortcol{"rank", 9, true};
  h.gram_size = 3;
  return h;
}

// A two-entry manifest: the first split with a summary, the second without.
std::vector<SplitEntry> TwoEntries() {
  return {Entry("a-s00000.hys", Bytes({1, 1, 0, 0, 0, 'Z'}), 0, 5), Entry("b", "", 5, 3)};
}

TEST(ManifestWriter, EmptySetIsTheBareHeader) {
  ManifestHeader h;
  h.flags = kManifestBloom;
  h.byte_cap = 33554432;
  h.gram_size = 3;
  const std::string m = Write(h, {});
  std::string expected = Bytes({'H', 'Y', 'S', 'S', 1, 0, 1, 0, 0, 0, 0, 0});
  expected += std::string(20, '\0');                    // N, base count, S, U
  expected += Bytes({0, 0, 0, 2, 0, 0, 0, 0});          // byte cap 2^25
  expected += std::string(9, '\0');                     // no sortcol
  expected += Bytes({3, 0});                            // gram size at 49
  expected += std::string(13, '\0');
  EXPECT_EQ(m, expected);
  EXPECT_EQ(m.size(), 64u);

  const Manifest parsed = MustParse(m);
  EXPECT_EQ(parsed.header, h);
  EXPECT_TRUE(parsed.splits.empty());
  EXPECT_TRUE(parsed.fold_case());
}

TEST(ManifestWriter, LayoutOfTwoEntriesAndASortcol) {
  const std::string m = Write(Header(), TwoEntries());
  // 64 + 2 x 56 + S (12 + 1 + 4) + U (6).
  ASSERT_EQ(m.size(), 199u);
  std::string header = Bytes({'H', 'Y', 'S', 'S', 1, 0, 3, 0, 1, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 17, 0, 0, 0});
  header += Bytes({6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0});  // U, byte cap
  header += Bytes({13, 0, 0, 0, 4, 0, 9, 0, 1, 3, 0});               // sortcol "rank" at 13, 9, 1; gram 3
  header += std::string(13, '\0');
  EXPECT_EQ(m.substr(0, 64), header);
  std::string first = Bytes({0, 0, 0, 0, 12, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0});
  first += Bytes({0xE8, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});  // byte size 1000, epoch 0
  first += Bytes({0, 0, 0, 0, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0});    // summary at 0, 6 bytes
  EXPECT_EQ(m.substr(64, 56), first);
  std::string second = Bytes({12, 0, 0, 0, 1, 0, 5, 0, 3, 0, 0, 0, 5, 0, 0, 0, 7, 0, 0, 0, 2, 0, 0, 0});
  second += Bytes({0xED, 3, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0});  // byte size 1005, epoch 2
  second += std::string(16, '\0');                                      // empty summary: 0, 0
  EXPECT_EQ(m.substr(120, 56), second);
  EXPECT_EQ(m.substr(176), "a-s00000.hysbrank" + Bytes({1, 1, 0, 0, 0, 'Z'}));
}

TEST(ManifestWriter, RoundTrips) {
  const Manifest parsed = MustParse(Write(Header(), TwoEntries()));
  EXPECT_EQ(parsed.header, Header());
  EXPECT_EQ(parsed.splits, TwoEntries());

  // Summaries go back to back in entry order, skipping empty ones.
  std::vector<SplitEntry> entries = {Entry("x", "11", 0, 1), Entry("", "", 1, 0), Entry("ζ", "333", 1, 2)};
  ManifestHeader h;
  h.flags = 0xFFFF;  // unknown bits pass through
  h.policy = 0;
  h.body_kind = kTermSplits;
  h.tier_count = 65535;
  h.base_count = 1;
  h.byte_cap = UINT64_MAX;
  const std::string m = Write(h, entries);
  EXPECT_EQ(DecodeFixed64(m.data() + 64 + 2 * 56 + 40), 2u);  // third summary starts after "11"
  const Manifest back = MustParse(m);
  EXPECT_EQ(back.header, h);
  EXPECT_EQ(back.splits, entries);
  EXPECT_FALSE(back.fold_case());
}

TEST(ManifestWriter, BaseCountAboveSplitCount) {
  ManifestHeader h = Header();
  h.base_count = 4;
  std::vector<SplitEntry> three = TwoEntries();
  three.push_back(Entry("c", "", 8, 1));
  EXPECT_EQ(WriteError(h, three), "HYSS base_count 4 exceeds split count 3");
  h.base_count = 5;
  EXPECT_EQ(WriteError(h, three), "HYSS base_count 5 exceeds split count 3");
  h.base_count = 3;
  EXPECT_EQ(WriteError(h, three), "ok");
  h.base_count = 1;
  EXPECT_EQ(WriteError(h, {}), "HYSS base_count 1 exceeds split count 0");
}

TEST(ManifestWriter, NameLengthLimit) {
  std::vector<SplitEntry> entries = {Entry(std::string(65535, 'n'), "", 0, 1)};
  ManifestHeader h = Header();
  h.base_count = 1;
  const Manifest parsed = MustParse(Write(h, entries));
  ASSERT_EQ(parsed.splits.size(), 1u);
  EXPECT_EQ(parsed.splits[0].name.size(), 65535u);

  entries.push_back(Entry(std::string(65536, 'n'), "", 1, 1));
  EXPECT_EQ(WriteError(h, entries), "HYSS name exceeds the 16-bit length limit");
  entries.pop_back();
  h.sortcol->name = std::string(65536, 's');
  EXPECT_EQ(WriteError(h, entries), "HYSS name exceeds the 16-bit length limit");
  // The base count is checked before any name.
  h.base_count = 9;
  EXPECT_EQ(WriteError(h, entries), "HYSS base_count 9 exceeds split count 1");
}

TEST(ManifestWriter, EmptySortcolNameReadsBackAsAbsent) {
  ManifestHeader h = Header();
  h.sortcol = Sortcol{"", 7, true};
  const std::string m = Write(h, TwoEntries());
  EXPECT_EQ(DecodeFixed16(m.data() + 44), 0);  // name length
  EXPECT_EQ(DecodeFixed16(m.data() + 46), 7);
  EXPECT_EQ(m[48], 1);
  EXPECT_EQ(m.size(), 64u + 112 + 13 + 6);
  const Manifest parsed = MustParse(m);
  EXPECT_FALSE(parsed.header.sortcol.has_value());

  h.sortcol.reset();
  const std::string none = Write(h, TwoEntries());
  EXPECT_EQ(none.substr(40, 9), std::string(9, '\0'));
  EXPECT_FALSE(MustParse(none).header.sortcol.has_value());
}

TEST(ManifestParser, HeaderChecksInOrder) {
  const std::string m = Write(Header(), TwoEntries());
  EXPECT_EQ(ParseError(""), "malformed index: short HYSS header");
  EXPECT_EQ(ParseError(m.substr(0, 63)), "malformed index: short HYSS header");

  std::string bad = m;
  bad[0] = 'X';
  EXPECT_EQ(ParseError(bad), "bad magic [88, 89, 83, 83], expected HYSI");
  bad = m;
  Patch(&bad, 4, 2, 2);
  EXPECT_EQ(ParseError(bad), "unsupported version 2");
  Patch(&bad, 0, 0, 4);  // the magic is checked first
  EXPECT_EQ(ParseError(bad), "bad magic [0, 0, 0, 0], expected HYSI");

  bad = m;
  Patch(&bad, 16, 3, 4);  // base count 3 > N = 2
  EXPECT_EQ(ParseError(bad), "malformed index: HYSS base count exceeds split count");
  bad[8] = 5;  // a bad policy as well: the base count comes first
  EXPECT_EQ(ParseError(bad), "malformed index: HYSS base count exceeds split count");

  bad = m;
  Patch(&bad, 24, UINT64_MAX - 100, 8);  // 56 x 2 + 17 + U wraps
  EXPECT_EQ(ParseError(bad), "malformed index: HYSS body size overflow");
  Patch(&bad, 24, UINT64_MAX - 129, 8);  // 56 x 2 + 17 + U = 2^64 - 1: only 64 + that wraps
  EXPECT_EQ(ParseError(bad), "malformed index: short HYSS body");
  Patch(&bad, 24, UINT64_MAX - 193, 8);  // 64 + body = 2^64 - 1
  EXPECT_EQ(ParseError(bad), "malformed index: short HYSS body");

  EXPECT_EQ(ParseError(m.substr(0, m.size() - 1)), "malformed index: short HYSS body");
  EXPECT_EQ(ParseError(m.substr(0, 64)), "malformed index: short HYSS body");
  bad = m;
  Patch(&bad, 12, UINT32_MAX, 4);
  EXPECT_EQ(ParseError(bad), "malformed index: short HYSS body");

  bad = m;
  bad[8] = 2;
  EXPECT_EQ(ParseError(bad), "malformed index: HYSS unknown policy code");
  bad[9] = 2;  // the policy comes before the body kind
  EXPECT_EQ(ParseError(bad), "malformed index: HYSS unknown policy code");
  bad[8] = 1;
  EXPECT_EQ(ParseError(bad), "malformed index: HYSS unknown body-kind code");
  bad[9] = static_cast<char>(0xFF);
  EXPECT_EQ(ParseError(bad), "malformed index: HYSS unknown body-kind code");
}

TEST(ManifestParser, NameChecks) {
  const std::string m = Write(Header(), TwoEntries());  // strings at 176: "a-s00000.hysbrank"
  std::string bad = m;
  Patch(&bad, 40, 14, 4);  // sortcol name 14..18 passes S = 17
  EXPECT_EQ(ParseError(bad), "malformed index: HYSS name out of string blob");
  Patch(&bad, 40, UINT32_MAX, 4);
  Patch(&bad, 44, UINT16_MAX, 2);
  EXPECT_EQ(ParseError(bad), "malformed index: HYSS name out of string blob");
  bad = m;
  Patch(&bad, 40, 13, 4);
  Patch(&bad, 44, 5, 2);
  EXPECT_EQ(ParseError(bad), "malformed index: HYSS name out of string blob");
  Patch(&bad, 44, 4, 2);
  EXPECT_EQ(ParseError(bad), "ok");
  bad[176 + 13] = static_cast<char>(0xC0);  // overlong form
  EXPECT_EQ(ParseError(bad), "malformed index: HYSS non-UTF-8 name");

  bad = m;
  Patch(&bad, 120, 17, 4);  // second entry's name at 17, length 1: past S
  EXPECT_EQ(ParseError(bad), "malformed index: HYSS name out of string blob");
  Patch(&bad, 120, 16, 4);
  EXPECT_EQ(MustParse(bad).splits[1].name, "k");
  bad = m;
  Patch(&bad, 64 + 4, 18, 2);  // first entry's name 18 bytes long
  EXPECT_EQ(ParseError(bad), "malformed index: HYSS name out of string blob");
  // Entries may not share name bytes: the first entry's name now covers
  // every string. The sortcol's name may be part of an entry's.
  Patch(&bad, 64 + 4, 17, 2);
  EXPECT_EQ(ParseError(bad), "malformed index: HYSS names overlap");
  bad = m;
  Patch(&bad, 40, 0, 4);
  Patch(&bad, 44, 8, 2);
  EXPECT_EQ(MustParse(bad).header.sortcol->name, "a-s00000");

  for (const std::string& invalid : {Bytes({0xFF}), Bytes({0xED, 0xA0, 0x80}), Bytes({0xF4, 0x90, 0x80, 0x80}),
                                     Bytes({0xE2, 0x82}), Bytes({0x80})}) {
    std::vector<SplitEntry> entries = TwoEntries();
    entries[1].name = "ok" + invalid;
    EXPECT_EQ(ParseError(Write(Header(), entries)), "malformed index: HYSS non-UTF-8 name");
  }
  std::vector<SplitEntry> entries = TwoEntries();
  entries[1].name = "\xE2\x82\xAC \xF0\x9F\x98\x80 \xC3\xA9";
  EXPECT_EQ(MustParse(Write(Header(), entries)).splits[1].name, entries[1].name);
  // The sortcol is checked before the entries.
  entries[0].name = "\xFF";
  ManifestHeader h = Header();
  h.sortcol->name = "\xFE";
  const std::string both = Write(h, entries);
  EXPECT_EQ(ParseError(both), "malformed index: HYSS non-UTF-8 name");
  std::string sortcol_out = both;
  Patch(&sortcol_out, 44, 200, 2);
  EXPECT_EQ(ParseError(sortcol_out), "malformed index: HYSS name out of string blob");
}

TEST(ManifestParser, SummaryChecks) {
  const std::string m = Write(Header(), TwoEntries());
  const size_t first = 64, second = 64 + 56;
  std::string bad = m;
  Patch(&bad, first + 40, 1, 8);  // 1 + 6 > U = 6
  EXPECT_EQ(ParseError(bad), "malformed index: HYSS summary out of summary blob");
  Patch(&bad, first + 40, UINT64_MAX - 6, 8);  // ends at 2^64 - 1
  EXPECT_EQ(ParseError(bad), "malformed index: HYSS summary out of summary blob");
  Patch(&bad, first + 40, UINT64_MAX - 5, 8);  // ends at 2^64
  EXPECT_EQ(ParseError(bad), "malformed index: HYSS summary range overflow");
  // A name error of the same entry comes first.
  Patch(&bad, first + 4, 100, 2);
  EXPECT_EQ(ParseError(bad), "malformed index: HYSS name out of string blob");

  // Length 0 ignores the offset.
  bad = m;
  Patch(&bad, second + 40, UINT64_MAX, 8);
  EXPECT_EQ(MustParse(bad).splits, TwoEntries());
  // Entries may not share summary bytes, checked after every other check.
  Patch(&bad, second + 40, 2, 8);
  Patch(&bad, second + 48, 4, 4);
  EXPECT_EQ(ParseError(bad), "malformed index: HYSS summary regions overlap");
  Patch(&bad, second + 48, 5, 4);
  EXPECT_EQ(ParseError(bad), "malformed index: HYSS summary out of summary blob");
}

TEST(ManifestParser, IgnoresReservedFieldsAndTrailingBytes) {
  const std::string m = Write(Header(), TwoEntries());
  const Manifest expected = MustParse(m);
  std::string noisy = m;
  for (size_t i = 51; i < 64; ++i) noisy[i] = static_cast<char>(0xA5);
  for (size_t e = 64; e < 176; e += 56) {
    Patch(&noisy, e + 22, 0xBEEF, 2);
    Patch(&noisy, e + 52, 0xDEADBEEF, 4);
  }
  noisy[48] = static_cast<char>(0xFF);  // only bit 0 of the sortcol flag counts
  noisy += "trailing bytes";
  const Manifest parsed = MustParse(noisy);
  EXPECT_EQ(parsed.header, expected.header);
  EXPECT_EQ(parsed.splits, expected.splits);
  noisy[48] = static_cast<char>(0xFE);
  EXPECT_FALSE(MustParse(noisy).header.sortcol->flag);
}

// A random valid manifest: names with multi-byte UTF-8, empty and non-empty
// summaries, with or without a sortcol.
std::pair<ManifestHeader, std::vector<SplitEntry>> RandomManifest(std::mt19937_64& rng) {
  static const char* const kPieces[] = {"a", "split", "-s00001", ".hys", "é", "€", "😀", "ζ"};
  auto name = [&] {
    std::string s;
    for (size_t n = rng() % 4; n > 0; --n) s += kPieces[rng() % 8];
    return s;
  };
  ManifestHeader h;
  h.flags = static_cast<uint16_t>(rng());
  h.policy = static_cast<uint8_t>(rng() % 2);
  h.body_kind = static_cast<uint8_t>(rng() % 2);
  h.tier_count = static_cast<uint16_t>(rng());
  h.byte_cap = rng();
  h.gram_size = static_cast<uint16_t>(rng());
  if (rng() % 2) h.sortcol = Sortcol{name() + "x", static_cast<uint16_t>(rng()), rng() % 2 == 1};
  std::vector<SplitEntry> entries(rng() % 6);
  for (SplitEntry& e : entries) {
    e.name = name();
    for (size_t n = rng() % 3 == 0 ? 0 : rng() % 30; n > 0; --n) e.summary += static_cast<char>(rng());
    e.byte_size = rng();
    e.epoch = rng();
    e.doc_count = static_cast<uint32_t>(rng());
    e.first_id = static_cast<uint32_t>(rng());
    e.last_id = static_cast<uint32_t>(rng());
    e.tier = static_cast<uint16_t>(rng());
    e.flags = static_cast<uint16_t>(rng());
  }
  h.base_count = static_cast<uint32_t>(rng() % (entries.size() + 1));
  return {h, entries};
}

TEST(ManifestParser, RandomManifestsRoundTrip) {
  std::mt19937_64 rng(3);
  for (int i = 0; i < 300; ++i) {
    auto [h, entries] = RandomManifest(rng);
    const std::string m = Write(h, entries);
    size_t expected_size = 64 + 56 * entries.size() + (h.sortcol ? h.sortcol->name.size() : 0);
    for (const SplitEntry& e : entries) expected_size += e.name.size() + e.summary.size();
    ASSERT_EQ(m.size(), expected_size);
    const Manifest parsed = MustParse(m);
    EXPECT_EQ(parsed.header, h);
    EXPECT_EQ(parsed.splits, entries);
    Result<std::string> again = WriteManifest(parsed.header, parsed.splits);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(*again, m);
  }
}

TEST(ManifestParser, SurvivesTruncationAndCorruption) {
  std::mt19937_64 rng(17);
  for (int i = 0; i < 200; ++i) {
    auto [h, entries] = RandomManifest(rng);
    const std::string m = Write(h, entries);
    // Every truncation fails, and only on the lengths.
    for (size_t n = 0; n < m.size(); ++n) {
      EXPECT_EQ(ParseError(std::string_view(m).substr(0, n)),
                n < 64 ? "malformed index: short HYSS header" : "malformed index: short HYSS body");
    }
    // Single-byte corruptions either parse into something self-consistent or fail.
    for (int j = 0; j < 200; ++j) {
      std::string bad = m;
      const size_t pos = rng() % bad.size();
      bad[pos] = static_cast<char>(bad[pos] ^ static_cast<char>(1 + rng() % 255));
      Result<Manifest> r = ParseExact(bad);
      if (!r.ok()) continue;
      EXPECT_LE(r->header.base_count, r->splits.size());
      EXPECT_LE(r->header.policy, 1);
      EXPECT_LE(r->header.body_kind, 1);
      // Each name and summary was copied out of a range of the input.
      EXPECT_LE(r->splits.size(), bad.size() / 56);
      for (const SplitEntry& e : r->splits) {
        EXPECT_LE(e.name.size(), bad.size());
        EXPECT_LE(e.summary.size(), bad.size());
      }
    }
  }
}

}  // namespace
}  // namespace halcyra
