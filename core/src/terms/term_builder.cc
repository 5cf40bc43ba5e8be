#include "halcyra/term_builder.h"

#include <filesystem>

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

}  // namespace

struct TermBuilder::State {
  State(Analyzer a, const TermIndexOptions& o) : filer(std::move(a)), options(o) {}

  Status Add(DocId id, std::string_view text) { return filer.File(text, id); }

  Status WriteTo(Sink& sink) { return WriteTermIndex(filer.TakePostings(), options, sink); }

  TermFiler filer;
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

size_t TermBuilder::term_count() const { return state_ != nullptr ? state_->filer.term_count() : 0; }

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
  for (const auto& [id, text] : docs) HALCYRA_RETURN_IF_ERROR(state.Add(id, text));
  return state.WriteTo(**file);
}

}  // namespace halcyra
