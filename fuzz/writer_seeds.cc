// Writes seeds for the writer fuzzer into the directory given as the
// argument: manifests of a writer's life (mode 0) and delta splits with their
// tombstone records (mode 1), made by SplitSetWriter itself, and hand-made
// inputs with run, bitmap and array containers that the writer never emits
// but must read.
// Regenerate the in-tree seeds with: build-fuzz/fuzz/writer_seeds fuzz/corpus/writer
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "base/coding.h"
#include "halcyra/split_set_writer.h"
#include "splitset/manifest.h"
#include "splitset/summary.h"

namespace {

bool Save(const std::string& dir, const std::string& name, const std::string& bytes) {
  const std::string path = dir + "/" + name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

// A portable Roaring bitmap written container by container; with any run
// container it takes the form with run flags.
class Bitmap {
 public:
  // Runs of low values [first, last].
  void Runs(uint16_t key, const std::vector<std::pair<uint32_t, uint32_t>>& runs) {
    std::string data;
    uint32_t cardinality = 0;
    halcyra::PutFixed16(&data, static_cast<uint16_t>(runs.size()));
    for (const auto& [first, last] : runs) {
      halcyra::PutFixed16(&data, static_cast<uint16_t>(first));
      halcyra::PutFixed16(&data, static_cast<uint16_t>(last - first));
      cardinality += last - first + 1;
    }
    containers_.push_back({key, true, cardinality, std::move(data)});
  }
  // At most 4096 ascending low values.
  void Array(uint16_t key, const std::vector<uint16_t>& values) {
    std::string data;
    for (uint16_t v : values) halcyra::PutFixed16(&data, v);
    containers_.push_back({key, false, static_cast<uint32_t>(values.size()), std::move(data)});
  }
  // Every step-th low value from first, more than 4096 of them.
  void Bits(uint16_t key, uint32_t first, uint32_t step) {
    std::vector<uint64_t> words(1024);
    uint32_t cardinality = 0;
    for (uint32_t v = first; v < 0x10000; v += step, ++cardinality) words[v / 64] |= uint64_t{1} << (v % 64);
    std::string data;
    for (uint64_t w : words) halcyra::PutFixed64(&data, w);
    containers_.push_back({key, false, cardinality, std::move(data)});
  }

  std::string Encode() const {
    const uint32_t n = static_cast<uint32_t>(containers_.size());
    bool runs = false;
    for (const Container& c : containers_) runs = runs || c.run;
    std::string out;
    if (runs) {
      halcyra::PutFixed32(&out, 12347 | (n - 1) << 16);
      std::string flags((n + 7) / 8, '\0');
      for (uint32_t i = 0; i < n; ++i) {
        if (containers_[i].run) flags[i / 8] = static_cast<char>(flags[i / 8] | 1 << (i % 8));
      }
      out += flags;
    } else {
      halcyra::PutFixed32(&out, 12346);
      halcyra::PutFixed32(&out, n);
    }
    for (const Container& c : containers_) {
      halcyra::PutFixed16(&out, c.key);
      halcyra::PutFixed16(&out, static_cast<uint16_t>(c.cardinality - 1));
    }
    if (!runs || n >= 4) {
      size_t at = out.size() + 4 * size_t{n};
      for (const Container& c : containers_) {
        halcyra::PutFixed32(&out, static_cast<uint32_t>(at));
        at += c.data.size();
      }
    }
    for (const Container& c : containers_) out += c.data;
    return out;
  }

 private:
  struct Container {
    uint16_t key;
    bool run;
    uint32_t cardinality;
    std::string data;
  };
  std::vector<Container> containers_;
};

// An n-gram split of version 3 (keys folded), gram size 3, keys ascending;
// stride 0 writes no block index. Equal postings share their bytes.
std::string Split(const std::vector<std::pair<uint64_t, std::string>>& postings, uint32_t stride) {
  const uint32_t k = static_cast<uint32_t>(postings.size());
  std::string out = "HYSI";
  halcyra::PutFixed16(&out, 3);
  halcyra::PutFixed16(&out, 3);
  halcyra::PutFixed32(&out, k);
  halcyra::PutFixed32(&out, stride);
  const uint32_t blocks = stride == 0 ? 0 : (k + stride - 1) / stride;
  for (uint32_t b = 0; b < blocks; ++b) halcyra::PutFixed64(&out, postings[b * stride].first);
  const uint64_t postings_at = out.size() + 20 * uint64_t{k};
  std::map<std::string, uint64_t> placed;
  std::string bodies;
  for (const auto& [key, posting] : postings) {
    auto [at, added] = placed.emplace(posting, postings_at + bodies.size());
    if (added) bodies += posting;
    halcyra::PutFixed64(&out, key);
    halcyra::PutFixed64(&out, at->second);
    halcyra::PutFixed32(&out, static_cast<uint32_t>(posting.size()));
  }
  return out + bodies;
}

// A compaction input (mode 1) of an entry with the ids first .. first + count - 1.
std::string CompactionSeed(uint8_t flags, uint32_t first, uint32_t count, const std::string& tombstones,
                           const std::string& split) {
  std::string input(1, '\1');
  halcyra::PutFixed8(&input, flags);
  halcyra::PutFixed32(&input, first);
  halcyra::PutFixed32(&input, count);
  halcyra::PutFixed16(&input, static_cast<uint16_t>(tombstones.size()));
  return input + tombstones + split;
}

// A Resume input (mode 0): a manifest of one entry whose tombstone record is
// tombstones.
bool ResumeSeed(const std::string& dir, const std::string& name, uint32_t first, uint32_t count,
                const std::string& tombstones) {
  halcyra::SplitEntry e;
  e.name = "split-d00007.hys";
  e.byte_size = 64;
  e.epoch = 3;
  e.doc_count = count;
  e.first_id = first;
  e.last_id = count == 0 ? first : first + count - 1;
  e.flags = halcyra::kSplitTombstones;
  if (!halcyra::AppendSummaryRecord(halcyra::kTombstoneRecord, tombstones, &e.summary).ok()) return false;
  halcyra::ManifestHeader h;
  h.flags = halcyra::kManifestBloom | halcyra::kManifestTombstones;
  h.byte_cap = 33554432;
  h.gram_size = 3;
  halcyra::Result<std::string> m = halcyra::WriteManifest(h, std::vector<halcyra::SplitEntry>{e});
  return m.ok() && Save(dir, name, std::string(1, '\0') + *m);
}

// Seeds with run containers, in the tombstone records Resume reads and in
// the splits and records compaction merges.
bool RunSeeds(const std::string& dir) {
  bool ok = true;

  // Every id of 300 containers deleted, as one full run each.
  Bitmap full;
  for (uint32_t key = 0; key < 300; ++key) full.Runs(static_cast<uint16_t>(key), {{0, 0xFFFF}});
  ok &= ResumeSeed(dir, "resume-full-runs", 0, 1000, full.Encode());

  // Full runs up to the last container, so that no id is left to hand out,
  // between runs of several pieces.
  Bitmap top;
  top.Runs(0, {{0, 9}, {20, 29}, {0xFFF0, 0xFFFF}});
  for (uint32_t key = 0xFF00; key <= 0xFFFF; ++key) top.Runs(static_cast<uint16_t>(key), {{0, 0xFFFF}});
  ok &= ResumeSeed(dir, "resume-runs-to-the-end", 100, 5, top.Encode());

  // Fewer than four containers: runs without container offsets.
  Bitmap few;
  few.Runs(1, {{0, 0}, {2, 2}, {4, 4}});
  few.Array(2, {1, 3, 5});
  ok &= ResumeSeed(dir, "resume-runs-no-offsets", 65536, 3, few.Encode());

  // A delta split from id 70000, not a multiple of 65536, so that every
  // container of its postings spreads over two of the merged ones: runs,
  // a bitmap and arrays, some keys sharing their posting bytes.
  const uint32_t first = 70000, count = 200000;
  Bitmap mixed;
  mixed.Runs(0, {{0, 99}, {1000, 1999}, {61000, 0xFFFF}});
  mixed.Array(1, {0, 5, 17, 300, 60000, 0xFFFF});
  mixed.Bits(2, 1, 3);
  mixed.Runs(3, {{0, 3391}});
  Bitmap short_runs;
  short_runs.Runs(0, {{65500, 65535}});
  short_runs.Runs(1, {{0, 40}});
  Bitmap array;
  array.Array(0, {0, 1, 2, 65535});
  array.Array(3, {3391});
  const std::string split = Split({{0x616263, mixed.Encode()},
                                   {0x626364, short_runs.Encode()},
                                   {0x636465, array.Encode()},
                                   {0x646566, short_runs.Encode()}},
                                  2);
  // Deleted: a run across the first merged container boundary, an array.
  Bitmap dead;
  dead.Runs(1, {{4464, 4563}, {65530, 0xFFFF}});
  dead.Array(2, {0, 1, 2, 3});
  Bitmap dead_next;
  dead_next.Runs(2, {{0, 65535}});
  ok &= Save(dir, "compact-mixed-containers", CompactionSeed(0, first, count, dead.Encode(), split));
  ok &= Save(dir, "compact-mixed-no-tombstones", CompactionSeed(0, first, count, "", split));
  ok &= Save(dir, "compact-mixed-full-tombstones", CompactionSeed(0, first, count, dead_next.Encode(), split));

  // Absolute ids across a container boundary, as runs.
  Bitmap across;
  across.Runs(0, {{65530, 0xFFFF}});
  across.Runs(1, {{0, 93}});
  ok &= Save(dir, "compact-absolute-runs",
             CompactionSeed(halcyra::kSplitAbsoluteIds, 65530, 100, "", Split({{0x78797a, across.Encode()}}, 512)));

  // An entry without documents: an empty split compacts, a posting does not.
  ok &= Save(dir, "compact-no-documents", CompactionSeed(0, 5, 0, "", Split({}, 512)));
  Bitmap one;
  one.Array(0, {0});
  ok &= Save(dir, "compact-no-documents-posting",
             CompactionSeed(0, 5, 0, "", Split({{0x616263, one.Encode()}}, 512)));

  // 300 containers of 100 ids each, most of each container deleted: more
  // tombstone containers than the merge unites in memory before it looks
  // ids up in the record itself.
  Bitmap hundreds, mostly_dead;
  for (uint32_t key = 0; key < 300; ++key) {
    hundreds.Runs(static_cast<uint16_t>(key), {{0, 99}});
    mostly_dead.Runs(static_cast<uint16_t>(key), {{50, 0xFFFF}});
  }
  ok &= Save(dir, "compact-many-tombstone-containers",
             CompactionSeed(0, 0, 300 << 16, mostly_dead.Encode(), Split({{0x616263, hundreds.Encode()}}, 512)));

  // Keys sharing one posting of full runs, each run a bitmap container of
  // 8 KiB once merged: 20 keys of 60 runs make a split of some 10 MB, 200
  // keys of 300 runs one of some 500 MB, which the fuzzer's buffer refuses
  // as an exhausted heap would.
  for (const auto& [keys, runs, name] : {std::tuple(20u, 60u, "compact-shared-postings-large"),
                                         std::tuple(200u, 300u, "compact-shared-postings-too-large")}) {
    Bitmap full_runs;
    for (uint32_t key = 0; key < runs; ++key) full_runs.Runs(static_cast<uint16_t>(key), {{0, 0xFFFF}});
    std::vector<std::pair<uint64_t, std::string>> shared;
    for (uint64_t key = 0; key < keys; ++key) shared.emplace_back(0x616100 + key, full_runs.Encode());
    ok &= Save(dir, name, CompactionSeed(0, 0, runs << 16, "", Split(shared, 64)));
  }

  // The last ids a writer hands out.
  Bitmap last;
  last.Runs(0, {{0, 9}});
  ok &= Save(dir, "compact-last-ids",
             CompactionSeed(0, UINT32_MAX - 10, 10, "", Split({{0x616263, last.Encode()}}, 0)));
  return ok;
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
  for (int round = 0; round < 4; ++round) {
    for (int d = 0; d < 3 + round; ++d) {
      ok &= w->Add("seed text " + std::to_string(round * 31 + d * 7) + " abcdef").ok();
    }
    if (round > 0) ok &= w->Delete(static_cast<uint32_t>(round)).ok();
    halcyra::Result<std::optional<halcyra::FlushedSplit>> f = w->Flush();
    if (!f.ok() || !f->has_value()) return 1;
    const halcyra::FlushedSplit& split = **f;
    ok &= Save(dir, "resume-" + std::to_string(round), std::string(1, '\0') + split.manifest);
    // The split's own tombstone record, if any, as its compaction input.
    const halcyra::SplitEntry& entry = w->splits().back();
    halcyra::Result<std::optional<std::string_view>> tomb =
        halcyra::FindSummaryRecord(entry.summary, halcyra::kTombstoneRecord);
    const std::string_view payload = tomb.ok() && tomb->has_value() ? **tomb : std::string_view();
    ok &= Save(dir, "compact-" + std::to_string(round),
               CompactionSeed(static_cast<uint8_t>(entry.flags), entry.first_id, entry.doc_count, std::string(payload),
                              split.split));
  }
  ok &= RunSeeds(dir);
  return ok ? 0 : 1;
}
