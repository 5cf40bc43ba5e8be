// TermBuilder: a term index built from (doc id, text) documents that arrive
// in batches. Each text is analyzed as it arrives and dropped; only the
// term -> documents postings grow. Finish writes the index file.
//
// A batch is analyzed on several threads, each filing a slice of it into a
// table of its own; the tables are merged when the index is written. A
// posting is a set of ids, so which table filed a document changes nothing
// in the file.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "halcyra/status.h"
#include "halcyra/types.h"

namespace halcyra {

struct TermDoc {
  DocId id;
  std::string_view text;
};

struct TermBuilderOptions {
  std::optional<uint32_t> head_boundary;  // nullopt: 65536; 0 puts every id in the tail
  std::optional<std::string> language;    // Snowball name or ISO-639-1 code
  std::optional<bool> stem;               // nullopt: stem when a language is set
  bool stopwords = false;
  std::optional<uint64_t> block_cap;      // nullopt or 0: 4096
  bool case_sensitive = false;
};

class TermBuilder {
 public:
  // Fails with Error::InvalidArgument on analyzer settings that
  // AnalyzerSettings::FromArgs refuses, or on a block cap beyond 32 bits.
  static Result<TermBuilder> Create(const TermBuilderOptions& options);

  TermBuilder(TermBuilder&&) noexcept;
  TermBuilder& operator=(TermBuilder&&) noexcept;
  ~TermBuilder();

  // Files id under every term of text. Ids may come in any order and
  // repeat; a repeated id merges the texts. A finished builder fails with
  // Error::Consumed "TermBuilder already finished".
  Status Add(DocId id, std::string_view text);

  // Adds every document of docs as Add does, on up to ThreadCount() threads.
  // Stops with Error::Interrupted when asked to (the documents of the batch
  // filed so far stay filed, as after any failure of the batch).
  Status AddMany(std::span<const TermDoc> docs);

  // Distinct terms so far; 0 once finished.
  size_t term_count() const;
  bool finished() const { return state_ == nullptr; }

  // Creates the parent directories of path and the file, and writes the
  // index. Consumes the builder whatever the outcome.
  Status Finish(const std::string& path);

 private:
  friend Status WriteTermIndexFile(const std::string&, std::span<const std::pair<DocId, std::string>>,
                                      std::optional<uint32_t>);
  struct State;
  explicit TermBuilder(std::unique_ptr<State> state);

  std::unique_ptr<State> state_;  // null once finished
};

// The module function's whole work: creates path (and its parents), then
// writes the term index of docs with terms lowercased and neither stemmed
// nor filtered, block cap 4096 and head boundary 65536 unless given.
Status WriteTermIndexFile(const std::string& path, std::span<const std::pair<DocId, std::string>> docs,
                             std::optional<uint32_t> head_boundary);

}  // namespace halcyra
