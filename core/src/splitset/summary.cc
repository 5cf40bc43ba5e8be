// A split's summary, integers little-endian:
//
//   summary  record*           back to back, nothing before, between or after
//   record   tag u8  payload length L u32  payload (L bytes)
//
// Records appear in tag order: the Bloom filter first when present, then the
// facet-presence list or the tombstones. Payloads by tag (SummaryTag):
//
//   1  Bloom filter           bloom.cc
//   2  facet-presence list    facets/facet_presence.cc
//   4  tombstones             streaming_writer.cc
//
// See FORMATS.md (Summary records) for the reader's side.
#include "splitset/summary.h"

#include "base/coding.h"
#include "base/core_error.h"

namespace halcyra {

Status AppendSummaryRecord(uint8_t tag, std::string_view payload, std::string* summary) {
  if (payload.size() > UINT32_MAX) return Error::Limit("HYSS summary record size exceeds the 32-bit limit");
  PutFixed8(summary, tag);
  PutFixed32(summary, static_cast<uint32_t>(payload.size()));
  summary->append(payload);
  return Status::Ok();
}

Result<std::optional<std::string_view>> FindSummaryRecord(std::string_view summary, uint8_t tag) {
  size_t p = 0;
  while (summary.size() - p >= kSummaryRecordHeaderSize) {
    const uint8_t record_tag = static_cast<uint8_t>(summary[p]);
    const uint32_t length = DecodeFixed32(summary.data() + p + 1);
    const size_t start = p + kSummaryRecordHeaderSize;
    if (length > summary.size() - start) {
      return CoreError::MalformedIndex("HYSS summary TLV out of range").ToError();
    }
    if (record_tag == tag) return std::optional<std::string_view>(summary.substr(start, length));
    p = start + length;
  }
  return std::optional<std::string_view>();
}

}  // namespace halcyra
