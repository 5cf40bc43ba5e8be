// Writes a few valid manifests into the directory given as the argument, as
// the seed corpus of the manifest fuzzer.
#include <cstdio>
#include <string>
#include <vector>

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
  return ok ? 0 : 1;
}
