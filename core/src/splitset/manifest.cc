// The split-set manifest. With N splits, string blob length S and summary
// blob length U it is exactly 64 + 56N + S + U bytes:
//
//   header   64 B  "HYSS"  version u16 = 1  flags u16  policy u8  body kind u8
//                  tier count u16  split count N u32  base count u32  S u32
//                  U u64  byte cap u64  sortcol name offset u32  sortcol name
//                  length u16  sortcol number u16  sortcol flag u8
//                  gram size u16 (unaligned, at 49)  13 reserved zero bytes
//   entries  N x 56 B:  name offset u32  name length u16  tier u16
//                  document count u32  first id u32  last id u32  flags u16
//                  reserved u16  byte size u64  epoch u64  summary offset u64
//                  (0 when empty)  summary length u32  reserved u32
//   strings  S B: the split names in entry order, then the sortcol name
//   summary  U B: the non-empty summaries in entry order, back to back
//                  (summary records, summary.cc)
//
// All integers little-endian; name and summary offsets are relative to the
// start of their blob. The flag, policy and body-kind values are the
// constants of manifest.h and split_policy.h.
//
// See FORMATS.md (Split-set manifest) for the reader's side, split ids and
// worked examples.
#include "splitset/manifest.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <utility>
#include <vector>

#include "base/coding.h"
#include "base/core_error.h"
#include "base/utf8.h"

namespace halcyra {
namespace {

constexpr size_t kHeaderSize = 64;
constexpr size_t kEntrySize = 56;
constexpr uint16_t kVersion = 1;
constexpr uint64_t kBlobLimit = uint64_t{1} << 32;

struct Name {
  uint32_t offset = 0;
  uint16_t length = 0;
};

// Appends name to the string blob and returns where it went.
Result<Name> Intern(std::string_view name, std::string* blob) {
  if (blob->size() >= kBlobLimit) return Error::Limit("HYSS string blob exceeds the 32-bit limit");
  if (name.size() > UINT16_MAX) return Error::Limit("HYSS name exceeds the 16-bit length limit");
  const Name n{static_cast<uint32_t>(blob->size()), static_cast<uint16_t>(name.size())};
  blob->append(name);
  return n;
}

Error Malformed(const char* message) { return CoreError::MalformedIndex(message).ToError(); }

// The name at (offset, length) of the string blob, checked.
Status CheckName(std::string_view blob, uint32_t offset, uint16_t length) {
  if (uint64_t{offset} + length > blob.size()) return Malformed("HYSS name out of string blob");
  if (!IsValidUtf8(blob.substr(offset, length))) return Malformed("HYSS non-UTF-8 name");
  return Status::Ok();
}

// Whether two of the ranges share a byte; sorts them.
bool Overlap(std::vector<std::pair<uint64_t, uint64_t>>* ranges) {
  std::sort(ranges->begin(), ranges->end());
  for (size_t i = 1; i < ranges->size(); ++i) {
    if ((*ranges)[i].first < (*ranges)[i - 1].second) return true;
  }
  return false;
}

}  // namespace

Result<std::string> WriteManifest(const ManifestHeader& header, std::span<const SplitEntry> splits) {
  if (splits.size() > UINT32_MAX) return Error::Limit("HYSS split count exceeds the 32-bit limit");
  const uint32_t n = static_cast<uint32_t>(splits.size());
  if (header.base_count > n) {
    return Error::Limit("HYSS base_count " + std::to_string(header.base_count) + " exceeds split count " +
                        std::to_string(n));
  }

  std::string strings;
  std::vector<Name> names;
  names.reserve(n);
  for (const SplitEntry& e : splits) {
    Result<Name> name = Intern(e.name, &strings);
    if (!name.ok()) return name.take_error();
    names.push_back(*name);
  }
  Name sortcol_name;
  if (header.sortcol) {
    Result<Name> name = Intern(header.sortcol->name, &strings);
    if (!name.ok()) return name.take_error();
    sortcol_name = *name;
  }

  std::vector<uint64_t> summary_offsets(n, 0);
  uint64_t summary_size = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const std::string& summary = splits[i].summary;
    if (summary.empty()) continue;
    if (summary.size() >= kBlobLimit) return Error::Limit("HYSS split summary exceeds the 32-bit limit");
    summary_offsets[i] = summary_size;
    summary_size += summary.size();
  }
  if (strings.size() >= kBlobLimit) return Error::Limit("HYSS string blob exceeds the 32-bit limit");

  std::string out;
  out.reserve(kHeaderSize + kEntrySize * n + strings.size() + summary_size);
  out.append("HYSS", 4);
  PutFixed16(&out, kVersion);
  PutFixed16(&out, header.flags);
  PutFixed8(&out, header.policy);
  PutFixed8(&out, header.body_kind);
  PutFixed16(&out, header.tier_count);
  PutFixed32(&out, n);
  PutFixed32(&out, header.base_count);
  PutFixed32(&out, static_cast<uint32_t>(strings.size()));
  PutFixed64(&out, summary_size);
  PutFixed64(&out, header.byte_cap);
  PutFixed32(&out, sortcol_name.offset);
  PutFixed16(&out, sortcol_name.length);
  PutFixed16(&out, header.sortcol ? header.sortcol->number : 0);
  PutFixed8(&out, header.sortcol && header.sortcol->flag ? 1 : 0);
  PutFixed16(&out, header.gram_size);
  out.append(kHeaderSize - out.size(), '\0');

  for (uint32_t i = 0; i < n; ++i) {
    const SplitEntry& e = splits[i];
    PutFixed32(&out, names[i].offset);
    PutFixed16(&out, names[i].length);
    PutFixed16(&out, e.tier);
    PutFixed32(&out, e.doc_count);
    PutFixed32(&out, e.first_id);
    PutFixed32(&out, e.last_id);
    PutFixed16(&out, e.flags);
    PutFixed16(&out, 0);
    PutFixed64(&out, e.byte_size);
    PutFixed64(&out, e.epoch);
    PutFixed64(&out, summary_offsets[i]);
    PutFixed32(&out, static_cast<uint32_t>(e.summary.size()));
    PutFixed32(&out, 0);
  }
  out += strings;
  for (const SplitEntry& e : splits) out += e.summary;
  assert(out.size() == kHeaderSize + kEntrySize * n + strings.size() + summary_size);
  return out;
}

Result<Manifest> ParseManifest(std::string_view bytes) {
  if (bytes.size() < kHeaderSize) return Malformed("short HYSS header");
  const char* p = bytes.data();
  if (bytes.substr(0, 4) != "HYSS") {
    return CoreError::BadMagic({static_cast<uint8_t>(p[0]), static_cast<uint8_t>(p[1]),
                                static_cast<uint8_t>(p[2]), static_cast<uint8_t>(p[3])})
        .ToError();
  }
  if (const uint16_t version = DecodeFixed16(p + 4); version != kVersion) {
    return CoreError::UnsupportedVersion(version).ToError();
  }
  Manifest m;
  ManifestHeader& h = m.header;
  h.flags = DecodeFixed16(p + 6);
  h.policy = static_cast<uint8_t>(p[8]);
  h.body_kind = static_cast<uint8_t>(p[9]);
  h.tier_count = DecodeFixed16(p + 10);
  const uint32_t n = DecodeFixed32(p + 12);
  h.base_count = DecodeFixed32(p + 16);
  const uint32_t strings_size = DecodeFixed32(p + 20);
  const uint64_t summary_size = DecodeFixed64(p + 24);
  h.byte_cap = DecodeFixed64(p + 32);
  const uint32_t sortcol_offset = DecodeFixed32(p + 40);
  const uint16_t sortcol_length = DecodeFixed16(p + 44);
  const uint16_t sortcol_number = DecodeFixed16(p + 46);
  const bool sortcol_flag = (static_cast<uint8_t>(p[48]) & 1) != 0;
  h.gram_size = DecodeFixed16(p + 49);

  if (h.base_count > n) return Malformed("HYSS base count exceeds split count");
  // 56N + S fits easily; only the 64-bit summary length can overflow the sum.
  const uint64_t fixed = kEntrySize * uint64_t{n} + strings_size;
  if (summary_size > UINT64_MAX - fixed) return Malformed("HYSS body size overflow");
  const uint64_t body = fixed + summary_size;
  if (body > UINT64_MAX - kHeaderSize || kHeaderSize + body > bytes.size()) return Malformed("short HYSS body");
  if (h.policy > 1) return Malformed("HYSS unknown policy code");
  if (h.body_kind > 1) return Malformed("HYSS unknown body-kind code");

  const size_t strings_start = kHeaderSize + kEntrySize * size_t{n};
  const std::string_view strings = bytes.substr(strings_start, strings_size);
  const std::string_view summaries = bytes.substr(strings_start + strings_size, summary_size);
  if (sortcol_length != 0) {
    HALCYRA_RETURN_IF_ERROR(CheckName(strings, sortcol_offset, sortcol_length));
    h.sortcol = Sortcol{std::string(strings.substr(sortcol_offset, sortcol_length)), sortcol_number, sortcol_flag};
  }

  // Every range is checked before anything is copied, so that the copies
  // never outgrow the manifest: no two entries may share summary bytes or
  // name bytes, which would let a small manifest stand for a huge table.
  std::vector<std::pair<uint64_t, uint64_t>> names, summary_ranges;  // [begin, end)
  names.reserve(n);
  summary_ranges.reserve(n);
  for (uint32_t i = 0; i < n; ++i) {
    const char* e = p + kHeaderSize + kEntrySize * size_t{i};
    const uint32_t name_offset = DecodeFixed32(e);
    const uint16_t name_length = DecodeFixed16(e + 4);
    HALCYRA_RETURN_IF_ERROR(CheckName(strings, name_offset, name_length));
    if (name_length != 0) names.emplace_back(name_offset, uint64_t{name_offset} + name_length);
    const uint64_t summary_offset = DecodeFixed64(e + 40);
    const uint32_t summary_length = DecodeFixed32(e + 48);
    if (summary_length != 0) {
      if (summary_offset > UINT64_MAX - summary_length) return Malformed("HYSS summary range overflow");
      if (summary_offset + summary_length > summary_size) return Malformed("HYSS summary out of summary blob");
      summary_ranges.emplace_back(summary_offset, summary_offset + summary_length);
    }
  }
  if (Overlap(&summary_ranges)) return Malformed("HYSS summary regions overlap");
  if (Overlap(&names)) return Malformed("HYSS names overlap");

  m.splits.reserve(n);
  for (uint32_t i = 0; i < n; ++i) {
    const char* e = p + kHeaderSize + kEntrySize * size_t{i};
    SplitEntry& s = m.splits.emplace_back();
    s.name = std::string(strings.substr(DecodeFixed32(e), DecodeFixed16(e + 4)));
    s.tier = DecodeFixed16(e + 6);
    s.doc_count = DecodeFixed32(e + 8);
    s.first_id = DecodeFixed32(e + 12);
    s.last_id = DecodeFixed32(e + 16);
    s.flags = DecodeFixed16(e + 20);
    s.byte_size = DecodeFixed64(e + 24);
    s.epoch = DecodeFixed64(e + 32);
    const uint32_t summary_length = DecodeFixed32(e + 48);
    if (summary_length != 0) s.summary = std::string(summaries.substr(DecodeFixed64(e + 40), summary_length));
  }
  return m;
}

}  // namespace halcyra
