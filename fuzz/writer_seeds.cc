// Writes seeds for the writer fuzzer into the directory given as the
// argument: manifests of a writer's life (mode 0) and delta splits with their
// tombstone records (mode 1), all made by SplitSetWriter itself.
#include <cstdio>
#include <string>

#include "base/coding.h"
#include "halcyra/split_set_writer.h"
#include "splitset/manifest.h"
#include "splitset/summary.h"

namespace {

bool Save(const std::string& dir, int n, const std::string& bytes) {
  const std::string path = dir + "/seed-" + std::to_string(n);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s corpus-dir\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  halcyra::SplitSetWriterOptions options;
  options.stride = 2;
  halcyra::Result<halcyra::SplitSetWriter> w = halcyra::SplitSetWriter::Create(options);
  if (!w.ok()) return 1;
  bool ok = true;
  int n = 0;
  for (int round = 0; round < 4; ++round) {
    for (int d = 0; d < 3 + round; ++d) {
      ok &= w->Add("seed text " + std::to_string(round * 31 + d * 7) + " abcdef").ok();
    }
    if (round > 0) ok &= w->Delete(static_cast<uint32_t>(round)).ok();
    halcyra::Result<std::optional<halcyra::FlushedSplit>> f = w->Flush();
    if (!f.ok() || !f->has_value()) return 1;
    const halcyra::FlushedSplit& split = **f;
    ok &= Save(dir, n++, std::string(1, '\0') + split.manifest);
    // The split's own tombstone record, if any, as its compaction input.
    const halcyra::SplitEntry& entry = w->splits().back();
    halcyra::Result<std::optional<std::string_view>> tomb =
        halcyra::FindSummaryRecord(entry.summary, halcyra::kTombstoneRecord);
    const std::string_view payload = tomb.ok() && tomb->has_value() ? **tomb : std::string_view();
    std::string input(1, '\1');
    halcyra::PutFixed8(&input, static_cast<uint8_t>(entry.flags));
    halcyra::PutFixed32(&input, entry.first_id);
    halcyra::PutFixed16(&input, static_cast<uint16_t>(payload.size()));
    input.append(payload);
    input.append(split.split);
    ok &= Save(dir, n++, input);
  }
  return ok ? 0 : 1;
}
