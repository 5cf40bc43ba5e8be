// DatasetBuilder: stages records, then writes a single-directory dataset:
//   index.hys    n-gram index of every text (whole postings, version 3)
//   index.hyf    facet sidecar (head/tail postings split at head_boundary)
//   records.bin  payloads in DocId order
//   records.idx  offsets of the payloads
// At build time the records are ordered by rank, best first (equal ranks in
// staging order), and numbered 0, 1, 2, ...: record d gets DocId d.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "halcyra/status.h"
#include "halcyra/types.h"

namespace halcyra {

struct StagedRecord {
  int64_t rank = 0;    // higher is better
  std::string text;    // tokenized into n-gram keys at build time
  std::string record;  // opaque payload returned for a hit
  // (field, categories) memberships; a field with no categories still exists.
  FacetMemberships facets;
};

struct BuildStats {
  uint64_t docs = 0;    // records written
  uint64_t ngrams = 0;  // distinct n-gram keys in index.hys
  uint64_t fields = 0;  // facet fields in index.hyf
};

class DatasetBuilder {
 public:
  static constexpr uint32_t kHeadBoundaryUnit = 65536;

  // Fails with Error::InvalidArgument "head_boundary must be a multiple of
  // 65536, got N" when head_boundary is not a multiple of 65536. A head
  // boundary of 0 becomes 65536 and a gram size of 0 becomes 1.
  static Result<DatasetBuilder> Create(uint16_t gram_size = kDefaultGramSize,
                                       uint32_t head_boundary = kDefaultHeadBoundary);

  void Add(StagedRecord record) { records_.push_back(std::move(record)); }
  // Appends a batch in its order.
  void AddBatch(std::vector<StagedRecord> batch);
  void Reserve(size_t n) { records_.reserve(n); }

  size_t size() const { return records_.size(); }
  uint16_t gram_size() const { return gram_size_; }
  uint32_t head_boundary() const { return head_boundary_; }

  // Creates out_dir with its missing parents and writes the four files into
  // it. The staged records are left as they are, so Build may be repeated.
  // Stops at the first failure, leaving the files written so far.
  Result<BuildStats> Build(std::string_view out_dir) const;

 private:
  DatasetBuilder(uint16_t gram_size, uint32_t head_boundary)
      : gram_size_(gram_size), head_boundary_(head_boundary) {}

  uint16_t gram_size_;      // at least 1
  uint32_t head_boundary_;  // a non-zero multiple of 65536
  std::vector<StagedRecord> records_;
};

}  // namespace halcyra
