#include "splitset/split_set_assembler.h"

#include <cassert>
#include <memory>

#include "facets/facet_presence.h"
#include "base/sink.h"
#include "splitset/summary.h"

namespace halcyra {
namespace {

const char* Extension(uint8_t body_kind) { return body_kind == kTermSplits ? ".hyt" : ".hys"; }

const char* Subject(uint8_t body_kind) { return body_kind == kTermSplits ? "HYSS term split " : "HYSS split "; }

Status WriteFile(std::string_view dir, std::string_view name, std::string_view bytes) {
  Result<std::unique_ptr<FileSink>> file = FileSink::Create(JoinPath(dir, name));
  if (!file.ok()) return file.take_error();
  Status appended = (*file)->Append(bytes);
  Status closed = (*file)->Close();
  return appended.ok() ? closed : appended;
}

}  // namespace

SplitSetAssembler::SplitSetAssembler(Options options) : options_(std::move(options)) {}

Status SplitSetAssembler::health() const {
  if (failure_) return *failure_;
  return Status::Ok();
}

Status SplitSetAssembler::CheckAdd() const {
  HALCYRA_RETURN_IF_ERROR(health());
  if (doc_count_ == UINT32_MAX) return Error::Limit("HYSS document count exceeds the 32-bit limit");
  return Status::Ok();
}

void SplitSetAssembler::MarkFailed(Error error) {
  if (!failure_) failure_ = std::move(error);
}

DocId SplitSetAssembler::Commit(const FacetMemberships* facets) {
  assert(doc_count_ < UINT32_MAX && !failure_);
  const DocId local = open_doc_count_;
  if (facets != nullptr) {
    for (const auto& [field, categories] : *facets) {
      if (categories.empty()) continue;
      FacetCategories& f = open_facets_.Field(field);
      for (const std::string& category : categories) FacetMap::Insert(f, category, local);
      has_facets_ = true;
    }
  }
  ++open_doc_count_;
  return doc_count_++;
}

Status SplitSetAssembler::SealFacets(std::string* summary, std::string* sidecar) {
  if (open_facets_.empty()) return Status::Ok();
  Result<std::string> presence = BuildFacetPresence(open_facets_, options_.fold_case);
  if (!presence.ok()) return presence.take_error();
  HALCYRA_RETURN_IF_ERROR(AppendSummaryRecord(kFacetPresenceRecord, *presence, summary));
  BufferSink sink;
  HALCYRA_RETURN_IF_ERROR(WriteFacetSidecar(std::exchange(open_facets_, FacetMap()), options_.fold_case,
                                              options_.head_boundary, sink));
  *sidecar = sink.Release();
  return Status::Ok();
}

Status SplitSetAssembler::Seal(std::string body, std::string summary) {
  assert(open_doc_count_ != 0);
  HALCYRA_RETURN_IF_ERROR(health());
  const uint64_t index = entries_.size();
  std::string sidecar;
  if (Status s = SealFacets(&summary, &sidecar); !s.ok()) {
    MarkFailed(s.error());
    return s;
  }

  SplitEntry& e = entries_.emplace_back();
  e.name = SplitFileName(options_.name_prefix, 's', index, Extension(options_.body_kind));
  e.summary = std::move(summary);
  e.byte_size = body.size();
  e.epoch = 0;
  e.doc_count = open_doc_count_;
  e.first_id = open_first_id_;
  e.last_id = open_first_id_ + (open_doc_count_ - 1);
  e.tier = SplitTier(options_.policy, index);
  e.flags = 0;
  bodies_.push_back(std::move(body));
  if (!sidecar.empty()) {
    sidecars_.emplace_back(SplitFileName(options_.name_prefix, 's', index, ".hyf"), std::move(sidecar));
  }

  open_facets_ = FacetMap();
  open_doc_count_ = 0;
  open_first_id_ = doc_count_;
  return Status::Ok();
}

Result<SplitSetBuildStats> SplitSetAssembler::Write(std::string_view out_dir, std::string_view manifest_name,
                                                    uint16_t gram_size, uint16_t extra_flags) const {
  HALCYRA_RETURN_IF_ERROR(health());
  for (size_t i = 0; i < entries_.size(); ++i) {
    const SplitEntry& e = entries_[i];
    const uint64_t cap = SplitByteCap(options_.byte_cap, options_.byte_cap_max, i);
    if (e.doc_count == 1 && e.byte_size > cap) {
      return Error::Limit(Subject(options_.body_kind) + e.name + ": a single document's postings (" +
                          std::to_string(e.byte_size) + " B) exceed the byte cap (" + std::to_string(cap) + " B)");
    }
  }

  // Every split holds a document and ids are 32-bit, so the count fits.
  const uint32_t split_count = static_cast<uint32_t>(entries_.size());
  ManifestHeader header;
  header.flags = static_cast<uint16_t>(extra_flags | (has_facets_ ? kManifestFacets : 0) |
                                       (options_.fold_case ? 0 : kManifestCaseSensitive));
  header.policy = static_cast<uint8_t>(options_.policy);
  header.body_kind = options_.body_kind;
  header.tier_count = SplitTier(options_.policy, split_count);
  header.base_count = split_count;
  header.byte_cap = options_.byte_cap;
  header.sortcol = options_.sortcol;
  header.gram_size = gram_size;
  Result<std::string> manifest = WriteManifest(header, entries_);
  if (!manifest.ok()) return manifest.take_error();

  HALCYRA_RETURN_IF_ERROR(CreateDirectories(out_dir));
  SplitSetBuildStats stats;
  stats.splits = entries_.size();
  stats.docs = doc_count_;
  for (size_t i = 0; i < entries_.size(); ++i) {
    HALCYRA_RETURN_IF_ERROR(WriteFile(out_dir, entries_[i].name, bodies_[i]));
    stats.total_bytes += bodies_[i].size();
  }
  for (const auto& [name, bytes] : sidecars_) {
    HALCYRA_RETURN_IF_ERROR(WriteFile(out_dir, name, bytes));
    stats.total_bytes += bytes.size();
  }
  HALCYRA_RETURN_IF_ERROR(WriteFile(out_dir, std::string(manifest_name) + ".hyss", *manifest));
  return stats;
}

}  // namespace halcyra
