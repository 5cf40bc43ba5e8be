// libFuzzer target for what SplitSetWriter reads from outside: manifests
// given to Resume, and the split bytes and tombstone records of compaction
// inputs. Every input either works or fails with a message, without reading
// outside the input (the sanitizers watch); a failed compaction leaves the
// writer able to compact again, and whatever compaction writes compacts
// again.
//
// Input: mode byte, then
//   mode even  the manifest bytes for Resume
//   mode odd   entry flags u8, first id u32, tombstone payload length u16,
//              the tombstone payload, then the split bytes
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "base/coding.h"
#include "halcyra/split_set_writer.h"
#include "splitset/manifest.h"
#include "splitset/summary.h"

namespace {

using halcyra::CompactionInput;
using halcyra::Result;
using halcyra::SplitSetWriter;

void Check(bool ok) {
  if (!ok) std::abort();
}

void FuzzResume(std::string_view manifest) {
  Result<SplitSetWriter> w = SplitSetWriter::Resume(manifest, {});
  if (!w.ok()) {
    Check(!w.error().message().empty());
    return;
  }
  const uint32_t next = w->doc_count();
  Result<halcyra::DocId> id = w->Add("fuzz text");
  Check(id.ok() ? *id == next : next == UINT32_MAX);
  if (next > 0) Check(w->Delete(next - 1).ok());
  Result<std::optional<halcyra::FlushedSplit>> flushed = w->Flush();
  if (flushed.ok()) Check(halcyra::ParseManifest((*flushed)->manifest).ok());
  Result<halcyra::CompactedSplit> compacted = w->Compact({});
  if (compacted.ok()) Check(halcyra::ParseManifest(compacted->manifest).ok());
}

void FuzzCompact(std::string_view data) {
  if (data.size() < 7) return;
  const uint8_t flags = static_cast<uint8_t>(data[0]) & 3;
  const uint32_t first_id = halcyra::DecodeFixed32(data.data() + 1);
  const size_t tomb_length = std::min<size_t>(halcyra::DecodeFixed16(data.data() + 5), data.size() - 7);
  const std::string_view tombstones = data.substr(7, tomb_length);
  const std::string_view split = data.substr(7 + tomb_length);

  halcyra::SplitEntry entry;
  entry.name = "fuzz-d00000.hys";
  if (!tombstones.empty()) Check(halcyra::AppendSummaryRecord(halcyra::kTombstoneRecord, tombstones, &entry.summary).ok());
  entry.flags = flags;
  entry.first_id = first_id;
  entry.last_id = first_id;
  entry.doc_count = 1;
  halcyra::ManifestHeader header;
  header.gram_size = 3;
  Result<std::string> manifest = halcyra::WriteManifest(header, std::vector<halcyra::SplitEntry>{entry});
  Check(manifest.ok());
  Result<SplitSetWriter> w = SplitSetWriter::Resume(*manifest, {});
  if (!w.ok()) return;  // a corrupt tombstone record is refused here already
  const CompactionInput input{entry.name, split};
  Result<halcyra::CompactedSplit> compacted = w->Compact({&input, 1});
  if (!compacted.ok()) {
    Check(!compacted.error().message().empty());
    Check(w->Compact({}).ok());  // unchanged and usable
    return;
  }
  Check(halcyra::ParseManifest(compacted->manifest).ok());
  const CompactionInput again{compacted->name, compacted->split};
  Result<halcyra::CompactedSplit> twice = w->Compact({&again, 1});
  Check(twice.ok() && twice->split == compacted->split);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] % 2 == 0) {
    FuzzResume(bytes);
  } else {
    FuzzCompact(bytes);
  }
  return 0;
}
