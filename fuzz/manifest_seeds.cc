// Writes a few valid manifests into the directory given as the argument, as
// the seed corpus of the manifest fuzzer.
// Regenerate the in-tree seeds with: build-fuzz/fuzz/manifest_seeds fuzz/corpus/manifest
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "base/coding.h"
#include "splitset/manifest.h"

namespace {

using halcyra::ManifestHeader;
using halcyra::SplitEntry;

SplitEntry Entry(std::string name, std::string summary, uint32_t first, uint32_t count, uint16_t flags) {
  SplitEntry e;
  e.name = std::move(name);
  e.summary = std::move(summary);
  e.byte_size = 4096 + first;
  e.epoch = first % 5;
  e.doc_count = count;
  e.first_id = first;
  e.last_id = count == 0 ? first : first + count - 1;
  e.tier = static_cast<uint16_t>(first % 3);
  e.flags = flags;
  return e;
}

// A tombstone summary record whose bitmap has only run containers: by key,
// the runs [first, last].
std::string RunRecord(const std::vector<std::pair<uint16_t, std::vector<std::pair<uint32_t, uint32_t>>>>& containers) {
  const uint32_t n = static_cast<uint32_t>(containers.size());
  std::string bitmap;
  halcyra::PutFixed32(&bitmap, 12347 | (n - 1) << 16);
  for (uint32_t i = 0; i < n; i += 8) {
    halcyra::PutFixed8(&bitmap, static_cast<uint8_t>(0xFF >> (n - i < 8 ? 8 - (n - i) : 0)));  // a flag per container
  }
  std::string data;
  std::vector<uint32_t> offsets;
  for (const auto& [key, runs] : containers) {
    uint32_t cardinality = 0;
    offsets.push_back(static_cast<uint32_t>(data.size()));
    halcyra::PutFixed16(&data, static_cast<uint16_t>(runs.size()));
    for (const auto& [first, last] : runs) {
      halcyra::PutFixed16(&data, static_cast<uint16_t>(first));
      halcyra::PutFixed16(&data, static_cast<uint16_t>(last - first));
      cardinality += last - first + 1;
    }
    halcyra::PutFixed16(&bitmap, key);
    halcyra::PutFixed16(&bitmap, static_cast<uint16_t>(cardinality - 1));
  }
  if (n >= 4) {
    const uint32_t at = static_cast<uint32_t>(bitmap.size() + 4 * n);
    for (uint32_t offset : offsets) halcyra::PutFixed32(&bitmap, at + offset);
  }
  bitmap += data;
  std::string record;
  halcyra::PutFixed8(&record, 4);
  halcyra::PutFixed32(&record, static_cast<uint32_t>(bitmap.size()));
  return record + bitmap;
}

bool Save(const std::string& dir, int n, const ManifestHeader& h, const std::vector<SplitEntry>& splits) {
  halcyra::Result<std::string> m = halcyra::WriteManifest(h, splits);
  if (!m.ok()) {
    std::fprintf(stderr, "seed %d: %s\n", n, m.error().message().c_str());
    return false;
  }
  const std::string path = dir + "/seed-" + std::to_string(n);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(m->data(), 1, m->size(), f) == m->size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s corpus-dir\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  // Summary records: a small Bloom filter, a facet-presence list, tombstones.
  const std::string bloom("\x01\x10\x00\x00\x00\x07\x00\x00\x00\x40\x00\x00\x00\x81\x00\x24\x00\x00\x10\x02\x08", 21);
  const std::string presence("\x02\x0c\x00\x00\x00\x01\x00\x00\x00\xef\xcd\xab\x89\x67\x45\x23\x01", 17);
  const std::string tombstones("\x04\x12\x00\x00\x00\x3a\x30\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x10\x00\x00\x00\x07\x00",
                               23);
  bool ok = true;

  ManifestHeader empty;
  empty.flags = halcyra::kManifestBloom;
  empty.byte_cap = 33554432;
  empty.gram_size = 3;
  ok &= Save(dir, 0, empty, {});

  ManifestHeader batch = empty;
  batch.flags |= halcyra::kManifestFacets;
  batch.tier_count = 3;
  batch.base_count = 3;
  batch.sortcol = halcyra::Sortcol{"rank", 2, true};
  ok &= Save(dir, 1, batch,
             {Entry("corpus-s00000.hys", bloom + presence, 0, 10, 0), Entry("corpus-s00001.hys", bloom, 10, 7, 0),
              Entry("corpus-s00002.hys", "", 17, 1, 0)});

  ManifestHeader streaming = empty;
  streaming.flags |= halcyra::kManifestTombstones | halcyra::kManifestCaseSensitive;
  streaming.policy = 1;
  streaming.base_count = 1;
  ok &= Save(dir, 2, streaming,
             {Entry("corpus-c00000.hys", bloom, 0, 100, halcyra::kSplitAbsoluteIds),
              Entry("corpus-d00001.hys", tombstones, 100, 0, halcyra::kSplitTombstones),
              Entry("corpus-d00002.hys", bloom + tombstones, 100, 3, halcyra::kSplitTombstones)});

  ManifestHeader terms;
  terms.flags = halcyra::kManifestFacets;
  terms.body_kind = halcyra::kTermSplits;
  terms.tier_count = 2;
  terms.base_count = 2;
  terms.byte_cap = 1 << 20;
  ok &= Save(dir, 3, terms, {Entry("größe-s00000.hyt", presence, 0, 5, 0), Entry("語-s00001.hyt", "", 5, 5, 0)});

  // Tombstone records with run containers: two containers without offsets
  // (a full run, then runs of one id), and five with them.
  const std::string runs2 = RunRecord({{0, {{0, 0xFFFF}}}, {7, {{5, 5}, {9, 9}}}});
  const std::string runs5 = RunRecord({{0, {{0, 0xFFFF}}}, {1, {{0, 0xFFFF}}}, {2, {{0, 0xFFFF}}},
                                       {3, {{0, 0xFFFF}}}, {4, {{1, 2}, {4, 0xFFFF}}}});
  ok &= Save(dir, 4, streaming,
             {Entry("corpus-c00003.hys", bloom, 0, 5, halcyra::kSplitAbsoluteIds),
              Entry("corpus-d00004.hys", runs2 + bloom, 5, 2, halcyra::kSplitTombstones),
              Entry("corpus-d00005.hys", runs5, 7, 0, halcyra::kSplitTombstones)});
  return ok ? 0 : 1;
}
