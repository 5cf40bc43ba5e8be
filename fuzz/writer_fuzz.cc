// libFuzzer target for what SplitSetWriter reads from outside: manifests
// given to Resume, and the split bytes and tombstone records of compaction
// inputs. Every input either works or fails with a message, without reading
// outside the input (the sanitizers watch); a failed compaction leaves the
// writer as it was and able to compact again, a compacted split keeps only
// ids of its input's entry, and whatever compaction writes compacts again to
// the same bytes.
//
// Input: mode byte, then
//   mode even  the manifest bytes for Resume
//   mode odd   entry flags u8, first id u32, document count u32, tombstone
//              payload length u16, the tombstone payload, then the split
//              bytes; the entry holds the ids first id .. first id + count - 1
//              (at most 4294967294), none when the count is 0
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <optional>
#include <span>
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
using halcyra::SplitEntry;
using halcyra::SplitSetWriter;

// The largest id a writer hands out.
constexpr uint32_t kLastId = UINT32_MAX - 1;

// A compacted split may rightly be far larger than its input: postings may
// share their bytes under many keys, and a run of a few bytes becomes a
// bitmap container of 8 KiB. Past this size the split's buffer fails as an
// exhausted heap would, which the writer must survive unchanged.
constexpr size_t kMaxSplitBytes = size_t{16} << 20;

void Check(bool ok) {
  if (!ok) std::abort();
}

class CappedBuffer final : public halcyra::SplitBuffer {
 public:
  char* Allocate(size_t capacity) override {
    if (capacity > kMaxSplitBytes) throw std::bad_alloc();
    split.resize(capacity);
    return split.data();
  }
  void Shrink(size_t size) override { split.resize(size); }

  std::string split;
};

struct Compacted {
  std::string name;
  std::string split;
  std::string manifest;
};

// What SplitSetWriter::Compact does, with the split in a CappedBuffer: no
// value when the buffer refused the split.
std::optional<Result<Compacted>> Compact(SplitSetWriter& w, std::span<const CompactionInput> inputs) {
  CappedBuffer buffer;
  try {
    Result<halcyra::SplitSetChange> change = w.PrepareCompact(inputs, buffer);
    if (!change.ok()) return Result<Compacted>(change.take_error());
    Compacted out{change->name, std::move(buffer.split), change->manifest};
    w.Commit(std::move(*change));
    return Result<Compacted>(std::move(out));
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
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
  if (data.size() < 11) return;
  const uint8_t flags = static_cast<uint8_t>(data[0]) & 3;
  const uint32_t first_id = halcyra::DecodeFixed32(data.data() + 1);
  const uint32_t count = halcyra::DecodeFixed32(data.data() + 5);
  const size_t tomb_length = std::min<size_t>(halcyra::DecodeFixed16(data.data() + 9), data.size() - 11);
  const std::string_view tombstones = data.substr(11, tomb_length);
  const std::string_view split = data.substr(11 + tomb_length);

  SplitEntry entry;
  entry.name = "fuzz-d00000.hys";
  if (!tombstones.empty()) {
    Check(halcyra::AppendSummaryRecord(halcyra::kTombstoneRecord, tombstones, &entry.summary).ok());
  }
  entry.flags = flags;
  entry.first_id = first_id;
  entry.last_id =
      count == 0 ? first_id : static_cast<uint32_t>(std::min<uint64_t>(uint64_t{first_id} + count - 1, kLastId));
  entry.doc_count = count;
  halcyra::ManifestHeader header;
  header.gram_size = 3;
  Result<std::string> manifest = halcyra::WriteManifest(header, std::vector<SplitEntry>{entry});
  Check(manifest.ok());
  Result<SplitSetWriter> w = SplitSetWriter::Resume(*manifest, {});
  if (!w.ok()) return;  // a corrupt tombstone record is refused here already
  const std::vector<SplitEntry> before = w->splits();

  const CompactionInput input{entry.name, split};
  std::optional<Result<Compacted>> compacted = Compact(*w, {&input, 1});
  if (!compacted.has_value() || !compacted->ok()) {
    if (compacted.has_value()) Check(!compacted->error().message().empty());
    Check(w->splits() == before);  // unchanged
    Check(w->Compact({}).ok());    // and usable
    return;
  }
  const Compacted& first = **compacted;
  Result<halcyra::Manifest> parsed = halcyra::ParseManifest(first.manifest);
  Check(parsed.ok() && parsed->splits == w->splits());
  Check(w->splits().size() == 1);
  const SplitEntry& out = w->splits().back();
  Check(out.name == first.name && out.byte_size == first.split.size());
  if (out.doc_count != 0) {
    // Only the ids the input's entry accounts for survive.
    Check(count != 0 && out.first_id >= entry.first_id && out.last_id <= entry.last_id &&
          out.first_id <= out.last_id && out.doc_count <= uint64_t{out.last_id} - out.first_id + 1);
  }

  const CompactionInput again{first.name, first.split};
  std::optional<Result<Compacted>> twice = Compact(*w, {&again, 1});
  Check(twice.has_value() && twice->ok() && (*twice)->split == first.split);
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
