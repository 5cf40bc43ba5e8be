// What a batch split-set build does differently for n-gram and term splits:
// read a document into its keys or terms, price it against the open split
// (cost), file it there (admit), and turn the open split into a file body
// (seal). BatchSplitSetBuilder does the rest: numbering, facets, caps, names
// and the files.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "halcyra/split_set_builder.h"
#include "halcyra/status.h"
#include "halcyra/types.h"
#include "terms/analyzer.h"

namespace halcyra {

class SplitBody {
 public:
  virtual ~SplitBody() = default;

  // Reads the next document into its keys or terms, pending until Admit.
  virtual Status Read(std::string_view text) = 0;
  // Whether the open split with the pending document added would pass cap.
  virtual bool PassesCap(uint64_t cap) const = 0;
  // Files the pending document under its split-local number, or fails with
  // Error::Limit when the split's key or term count would pass 32 bits.
  virtual Status Admit(DocId local) = 0;
  // Writes the open split's body and its summary records (a Bloom filter)
  // and empties the split.
  virtual Status Seal(std::string* body, std::string* summary) = 0;

  // For the manifest header.
  virtual uint8_t body_kind() const = 0;
  virtual uint16_t gram_size() const = 0;       // 0 for term splits
  virtual uint16_t manifest_flags() const = 0;  // besides facets and case
};

std::unique_ptr<SplitBody> MakeNgramBody(const SplitSetOptions& options);
// settings come checked from AnalyzerSettings::FromArgs; fails only when no
// stemmer can be had.
Result<std::unique_ptr<SplitBody>> MakeTermBody(const AnalyzerSettings& settings, uint32_t head_boundary);

}  // namespace halcyra
