// The batch split-set builder's machine, common to both split bodies: it
// numbers documents, keeps the open split's facet memberships, gives each
// split its byte cap, turns each sealed body into a named manifest entry
// with its facet sidecar and facet-presence record, and at the end checks
// single-document splits against their caps and writes the set.
#include "halcyra/split_set_builder.h"

#include <cassert>
#include <optional>
#include <utility>
#include <vector>

#include "base/sink.h"
#include "facets/facet_map.h"
#include "facets/facet_presence.h"
#include "halcyra/interrupt.h"
#include "splitset/manifest.h"
#include "splitset/split_body.h"
#include "splitset/split_policy.h"
#include "splitset/summary.h"

namespace halcyra {
namespace {

const char* Extension(uint8_t body_kind) { return body_kind == kTermSplits ? ".hyt" : ".hys"; }

const char* Subject(uint8_t body_kind) { return body_kind == kTermSplits ? "HYSS term split " : "HYSS split "; }

uint32_t HeadBoundary(uint32_t head_boundary) { return head_boundary != 0 ? head_boundary : kDefaultHeadBoundary; }

Status WriteFile(std::string_view dir, std::string_view name, std::string_view bytes) {
  Result<std::unique_ptr<FileSink>> file = FileSink::Create(JoinPath(dir, name));
  if (!file.ok()) return file.take_error();
  Status appended = (*file)->Append(bytes);
  Status closed = (*file)->Close();
  return appended.ok() ? closed : appended;
}

}  // namespace

struct BatchSplitSetBuilder::State {
  // A state with the settings both option kinds share, moved out of options.
  template <class Options>
  static std::unique_ptr<State> New(Options& options, SplitPolicy policy, std::unique_ptr<SplitBody> body) {
    auto state = std::make_unique<State>();
    state->body = std::move(body);
    state->name_prefix = std::move(options.name_prefix);
    state->policy = policy;
    state->byte_cap = options.byte_cap;
    state->byte_cap_max = options.byte_cap_max;
    state->head_boundary = HeadBoundary(options.head_boundary);
    state->fold_case = !options.case_sensitive;
    state->sortcol = std::move(options.sortcol);
    return state;
  }

  // The split body's and the manifest's settings.
  std::unique_ptr<SplitBody> body;
  std::string name_prefix;
  SplitPolicy policy = SplitPolicy::kTiered;
  uint64_t byte_cap = 0;
  uint64_t byte_cap_max = 0;  // 0: every split gets byte_cap
  uint32_t head_boundary = kDefaultHeadBoundary;  // of the facet sidecars
  bool fold_case = true;
  std::optional<Sortcol> sortcol;

  std::optional<Error> failure;      // of a seal; every later call returns it
  std::vector<SplitEntry> entries;   // sealed splits, in sealing order
  std::vector<std::string> bodies;   // their bodies
  std::vector<std::pair<std::string, std::string>> sidecars;  // (name, bytes)
  FacetMap open_facets;
  bool has_facets = false;  // some document had a (field, category) pair
  uint32_t doc_count = 0;   // documents added; the next global id
  uint32_t open_doc_count = 0;
  DocId open_first_id = 0;

  Status health() const {
    if (failure) return *failure;
    return Status::Ok();
  }

  Result<DocId> Add(std::string_view text, const FacetMemberships* facets) {
    HALCYRA_RETURN_IF_ERROR(health());
    if (doc_count == UINT32_MAX) return Error::Limit("HYSS document count exceeds the 32-bit limit");
    HALCYRA_RETURN_IF_ERROR(body->Read(text));
    // The first document of a split never seals it.
    if (open_doc_count != 0 && body->PassesCap(SplitByteCap(byte_cap, byte_cap_max, entries.size()))) {
      HALCYRA_RETURN_IF_ERROR(Seal());
    }
    const DocId local = open_doc_count;
    HALCYRA_RETURN_IF_ERROR(body->Admit(local));
    if (facets != nullptr) {
      for (const auto& [field, categories] : *facets) {
        if (categories.empty()) continue;
        FacetCategories& f = open_facets.Field(field);
        for (const std::string& category : categories) FacetMap::Insert(f, category, local);
        has_facets = true;
      }
    }
    ++open_doc_count;
    return doc_count++;
  }

  // Seals the open split if it holds documents; a failure is remembered.
  Status Seal() {
    if (open_doc_count == 0) return Status::Ok();
    Status s = SealOpenSplit();
    if (!s.ok() && !failure) failure = s.error();
    return s;
  }

  Status SealOpenSplit() {
    std::string split, summary, sidecar;
    HALCYRA_RETURN_IF_ERROR(body->Seal(&split, &summary));
    if (!open_facets.empty()) {
      Result<std::string> presence = BuildFacetPresence(open_facets, fold_case);
      if (!presence.ok()) return presence.take_error();
      HALCYRA_RETURN_IF_ERROR(AppendSummaryRecord(kFacetPresenceRecord, *presence, &summary));
      BufferSink sink;
      HALCYRA_RETURN_IF_ERROR(WriteFacetSidecar(std::exchange(open_facets, FacetMap()), fold_case, head_boundary, sink));
      sidecar = sink.Release();
    }

    const uint64_t index = entries.size();
    SplitEntry& e = entries.emplace_back();
    e.name = SplitFileName(name_prefix, 's', index, Extension(body->body_kind()));
    e.summary = std::move(summary);
    e.byte_size = split.size();
    e.epoch = 0;
    e.doc_count = open_doc_count;
    e.first_id = open_first_id;
    e.last_id = open_first_id + (open_doc_count - 1);
    e.tier = SplitTier(policy, index);
    e.flags = 0;
    bodies.push_back(std::move(split));
    if (!sidecar.empty()) sidecars.emplace_back(SplitFileName(name_prefix, 's', index, ".hyf"), std::move(sidecar));

    open_facets = FacetMap();
    open_doc_count = 0;
    open_first_id = doc_count;
    return Status::Ok();
  }

  Result<SplitSetBuildStats> Write(std::string_view out_dir, std::string_view manifest_name) const {
    const uint8_t body_kind = body->body_kind();
    for (size_t i = 0; i < entries.size(); ++i) {
      const SplitEntry& e = entries[i];
      const uint64_t cap = SplitByteCap(byte_cap, byte_cap_max, i);
      if (e.doc_count == 1 && e.byte_size > cap) {
        return Error::Limit(Subject(body_kind) + e.name + ": a single document's postings (" +
                            std::to_string(e.byte_size) + " B) exceed the byte cap (" + std::to_string(cap) + " B)");
      }
    }

    // Every split holds a document and ids are 32-bit, so the count fits.
    const uint32_t split_count = static_cast<uint32_t>(entries.size());
    ManifestHeader header;
    header.flags = static_cast<uint16_t>(body->manifest_flags() | (has_facets ? kManifestFacets : 0) |
                                         (fold_case ? 0 : kManifestCaseSensitive));
    header.policy = static_cast<uint8_t>(policy);
    header.body_kind = body_kind;
    header.tier_count = SplitTier(policy, split_count);
    header.base_count = split_count;
    header.byte_cap = byte_cap;
    header.sortcol = sortcol;
    header.gram_size = body->gram_size();
    Result<std::string> manifest = WriteManifest(header, entries);
    if (!manifest.ok()) return manifest.take_error();

    HALCYRA_RETURN_IF_ERROR(CreateDirectories(out_dir));
    SplitSetBuildStats stats;
    stats.splits = entries.size();
    stats.docs = doc_count;
    for (size_t i = 0; i < entries.size(); ++i) {
      if (InterruptRequested()) return Error::Interrupted();
      HALCYRA_RETURN_IF_ERROR(WriteFile(out_dir, entries[i].name, bodies[i]));
      stats.total_bytes += bodies[i].size();
    }
    for (const auto& [name, bytes] : sidecars) {
      HALCYRA_RETURN_IF_ERROR(WriteFile(out_dir, name, bytes));
      stats.total_bytes += bytes.size();
    }
    HALCYRA_RETURN_IF_ERROR(WriteFile(out_dir, std::string(manifest_name) + ".hyss", *manifest));
    return stats;
  }
};

Result<BatchSplitSetBuilder> BatchSplitSetBuilder::Create(SplitSetOptions options) {
  Result<SplitPolicy> policy = ParseSplitPolicy(options.policy);
  if (!policy.ok()) return policy.take_error();
  HALCYRA_RETURN_IF_ERROR(CheckFileNamePart(options.name_prefix, "name_prefix"));
  std::unique_ptr<SplitBody> body = MakeNgramBody(options);
  return BatchSplitSetBuilder(State::New(options, *policy, std::move(body)), "SplitSetBuilder");
}

Result<BatchSplitSetBuilder> BatchSplitSetBuilder::Create(TermSplitSetOptions options) {
  Result<AnalyzerSettings> settings =
      AnalyzerSettings::FromArgs(options.language ? std::optional<std::string_view>(*options.language) : std::nullopt,
                                 options.stem, options.stopwords, options.case_sensitive);
  if (!settings.ok()) return settings.take_error();
  Result<SplitPolicy> policy = ParseSplitPolicy(options.policy);
  if (!policy.ok()) return policy.take_error();
  HALCYRA_RETURN_IF_ERROR(CheckFileNamePart(options.name_prefix, "name_prefix"));
  Result<std::unique_ptr<SplitBody>> body = MakeTermBody(*settings, HeadBoundary(options.head_boundary));
  if (!body.ok()) return body.take_error();
  return BatchSplitSetBuilder(State::New(options, *policy, std::move(body).value()), "TermSplitSetBuilder");
}

BatchSplitSetBuilder::BatchSplitSetBuilder(std::unique_ptr<State> state, const char* name)
    : state_(std::move(state)), name_(name) {}
BatchSplitSetBuilder::BatchSplitSetBuilder(BatchSplitSetBuilder&&) noexcept = default;
BatchSplitSetBuilder& BatchSplitSetBuilder::operator=(BatchSplitSetBuilder&&) noexcept = default;
BatchSplitSetBuilder::~BatchSplitSetBuilder() = default;

Result<DocId> BatchSplitSetBuilder::AddDocument(std::string_view text, const FacetMemberships* facets) {
  if (state_ == nullptr) return Error::Consumed(std::string(name_) + " already built");
  return state_->Add(text, facets);
}

Result<DocId> BatchSplitSetBuilder::Add(std::string_view text) { return AddDocument(text, nullptr); }

Result<DocId> BatchSplitSetBuilder::AddFaceted(std::string_view text, const FacetMemberships& facets) {
  return AddDocument(text, &facets);
}

uint32_t BatchSplitSetBuilder::doc_count() const { return state_ != nullptr ? state_->doc_count : 0; }

Result<SplitSetBuildStats> BatchSplitSetBuilder::Build(std::string_view out_dir, std::string_view manifest_name) && {
  if (state_ == nullptr) return Error::Consumed(std::string(name_) + " already built");
  // Refused before the builder is consumed: nothing was attempted yet.
  HALCYRA_RETURN_IF_ERROR(CheckFileNamePart(manifest_name, "manifest_name"));
  const std::unique_ptr<State> state = std::move(state_);
  HALCYRA_RETURN_IF_ERROR(state->health());
  HALCYRA_RETURN_IF_ERROR(state->Seal());
  return state->Write(out_dir, manifest_name);
}

}  // namespace halcyra
