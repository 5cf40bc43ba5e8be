#include "halcyra/term_builder.h"

#include <algorithm>
#include <filesystem>
#include <vector>

#include "base/parallel.h"
#include "base/sink.h"
#include "terms/analyzer.h"
#include "terms/term_filer.h"
#include "terms/term_index.h"

namespace halcyra {
namespace {

// The file at path, created with its missing parent directories.
Result<std::unique_ptr<FileSink>> CreateIndexFile(const std::string& path) {
  HALCYRA_RETURN_IF_ERROR(CreateDirectories(std::filesystem::path(path).parent_path().native()));
  return FileSink::Create(path);
}

// Slices of a batch smaller than this are not worth a thread.
constexpr size_t kMinBytesPerSlice = size_t{256} << 10;

}  // namespace

struct TermBuilder::State {
  State(Analyzer a, const TermIndexOptions& o) : filer(std::move(a)), options(o) {}

  Status Add(DocId id, std::string_view text) { return filer.File(text, id); }

  // Slice i of docs goes to filer i (0 is the builder's own, the others are
  // kept for later batches with their word caches), in text bytes about
  // equal slices.
  Status AddMany(std::span<const TermDoc> docs) {
    size_t bytes = 0;
    for (const TermDoc& d : docs) bytes += d.text.size();
    const size_t slices = std::clamp<size_t>(bytes / kMinBytesPerSlice, 1, ThreadCount());
    while (helpers.size() + 1 < slices) {
      Result<Analyzer> analyzer = Analyzer::Create(options.analyzer);
      if (!analyzer.ok()) return analyzer.take_error();
      helpers.push_back(std::make_unique<TermFiler>(std::move(analyzer).value()));
    }
    std::vector<size_t> cuts = {0};  // slice i is docs [cuts[i], cuts[i + 1])
    for (size_t i = 0, seen = 0; i < docs.size() && cuts.size() < slices; ++i) {
      seen += docs[i].text.size();
      if (seen * slices >= bytes * cuts.size()) cuts.push_back(i + 1);
    }
    while (cuts.size() <= slices) cuts.push_back(docs.size());
    std::vector<Status> filed(slices);
    const bool finished = ParallelFor(slices, [&](size_t i) {
      TermFiler& to = i == 0 ? filer : *helpers[i - 1];
      // Kept apart until the slice ends: the slots of filed share cache
      // lines, and a store per document into them slowed the threads down.
      Status s;
      for (size_t d = cuts[i]; d < cuts[i + 1] && s.ok(); ++d) {
        s = StopRequested() ? Status(Error::Interrupted()) : to.File(docs[d].text, docs[d].id);
      }
      filed[i] = std::move(s);
    });
    for (Status& s : filed) HALCYRA_RETURN_IF_ERROR(s);
    return finished ? Status::Ok() : Status(Error::Interrupted());
  }

  // Distinct terms over the filers: a helper's term counts unless the
  // builder's own filer or an earlier helper holds it.
  size_t term_count() const {
    size_t count = filer.term_count();
    for (size_t h = 0; h < helpers.size(); ++h) {
      const TermTable& table = helpers[h]->table();
      for (uint32_t t = 0; t < table.size(); ++t) {
        const std::string_view term = table.term(t);
        bool seen = filer.table().Contains(term);
        for (size_t k = 0; k < h && !seen; ++k) seen = helpers[k]->table().Contains(term);
        count += !seen;
      }
    }
    return count;
  }

  // The filers' postings, each sorted on a thread of its own, merged.
  Status WriteTo(Sink& sink) {
    std::vector<TermPostings> parts(1 + helpers.size());
    if (!ParallelFor(parts.size(), [&](size_t i) { parts[i] = (i == 0 ? filer : *helpers[i - 1]).TakePostings(); })) {
      return Error::Interrupted();
    }
    Result<TermPostings> postings = TermPostings::Merge(std::move(parts));
    if (!postings.ok()) return postings.take_error();
    return WriteTermIndex(std::move(postings).value(), options, sink);
  }

  TermFiler filer;
  std::vector<std::unique_ptr<TermFiler>> helpers;
  TermIndexOptions options;
};

Result<TermBuilder> TermBuilder::Create(const TermBuilderOptions& options) {
  Result<AnalyzerSettings> settings =
      AnalyzerSettings::FromArgs(options.language ? std::optional<std::string_view>(*options.language) : std::nullopt,
                                 options.stem, options.stopwords, options.case_sensitive);
  if (!settings.ok()) return settings.take_error();
  const uint64_t block_cap = options.block_cap.value_or(0);
  if (block_cap > UINT32_MAX) {
    return Error::InvalidArgument("block_cap must be at most 4294967295, got " + std::to_string(block_cap));
  }
  Result<Analyzer> analyzer = Analyzer::Create(*settings);
  if (!analyzer.ok()) return analyzer.take_error();
  TermIndexOptions index;
  index.head_boundary = options.head_boundary.value_or(kDefaultHeadBoundary);
  index.block_cap = static_cast<uint32_t>(block_cap);
  index.analyzer = *settings;
  return TermBuilder(std::make_unique<State>(std::move(analyzer).value(), index));
}

TermBuilder::TermBuilder(std::unique_ptr<State> state) : state_(std::move(state)) {}
TermBuilder::TermBuilder(TermBuilder&&) noexcept = default;
TermBuilder& TermBuilder::operator=(TermBuilder&&) noexcept = default;
TermBuilder::~TermBuilder() = default;

Status TermBuilder::Add(DocId id, std::string_view text) {
  if (state_ == nullptr) return Error::Consumed("TermBuilder already finished");
  return state_->Add(id, text);
}

Status TermBuilder::AddMany(std::span<const TermDoc> docs) {
  if (state_ == nullptr) return Error::Consumed("TermBuilder already finished");
  return state_->AddMany(docs);
}

size_t TermBuilder::term_count() const { return state_ != nullptr ? state_->term_count() : 0; }

Status TermBuilder::Finish(const std::string& path) {
  if (state_ == nullptr) return Error::Consumed("TermBuilder already finished");
  const std::unique_ptr<State> state = std::move(state_);
  Result<std::unique_ptr<FileSink>> file = CreateIndexFile(path);
  if (!file.ok()) return file.take_error();
  return state->WriteTo(**file);
}

Status WriteTermIndexFile(const std::string& path, std::span<const std::pair<DocId, std::string>> docs,
                             std::optional<uint32_t> head_boundary) {
  Result<std::unique_ptr<FileSink>> file = CreateIndexFile(path);
  if (!file.ok()) return file.take_error();
  TermIndexOptions options;  // no language: terms are only lowercased
  options.head_boundary = head_boundary.value_or(kDefaultHeadBoundary);
  Result<Analyzer> analyzer = Analyzer::Create(options.analyzer);
  if (!analyzer.ok()) return analyzer.take_error();
  TermBuilder::State state(std::move(analyzer).value(), options);
  std::vector<TermDoc> views;
  views.reserve(docs.size());
  for (const auto& [id, text] : docs) views.push_back({id, text});
  HALCYRA_RETURN_IF_ERROR(state.AddMany(views));
  return state.WriteTo(**file);
}

}  // namespace halcyra
