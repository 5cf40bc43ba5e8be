#include "terms/term_filer.h"

#include <cassert>
#include <optional>
#include <utility>

namespace halcyra {
namespace {

constexpr size_t kMinCacheLog2 = 12;

}  // namespace

TermFiler::TermFiler(Analyzer analyzer) : analyzer_(std::move(analyzer)) { ResetCache(kMinCacheLog2); }

void TermFiler::ResetCache(size_t log2_size) {
  slots_.assign(size_t{1} << log2_size, Slot{0, 0, 0, 0});
  shift_ = 64 - static_cast<int>(log2_size);
}

Status TermFiler::File(std::string_view text, DocId doc) {
  return analyzer_.ForEachWord(text, [this, doc](std::string_view word) -> Status {
    const uint64_t hash = HashTerm(word);
    Slot* slot = Probe(word, hash);
    if (slot->size == 0) return FileNew(word, slot, doc);
    if (slot->outcome != kStopWord) table_.AddAt(slot->outcome, doc);
    return Status::Ok();
  });
}

Status TermFiler::FileNew(std::string_view word, Slot* slot, DocId doc) {
  Result<std::optional<std::string_view>> term = analyzer_.Resolve(word);
  if (!term.ok()) return term.take_error();
  uint32_t outcome = kStopWord;
  if (term->has_value() && !table_.Add(**term, doc, &outcome)) {
    return Error::Limit("HYTI term count exceeds the 32-bit limit");
  }
  if (word.size() > kMaxCachedWord || cached_ == kMaxCachedWords) return Status::Ok();
  *slot = Slot{static_cast<uint32_t>(HashTerm(word)), outcome, static_cast<uint32_t>(words_.size()),
               static_cast<uint32_t>(word.size())};
  words_.append(word);
  if (++cached_ * 2 > slots_.size()) GrowCache();
  return Status::Ok();
}

void TermFiler::GrowCache() {
  std::vector<Slot> old = std::exchange(slots_, {});
  ResetCache(static_cast<size_t>(64 - shift_) + 1);
  const size_t mask = slots_.size() - 1;
  for (const Slot& s : old) {
    if (s.size == 0) continue;
    const uint64_t hash = HashTerm(std::string_view(words_.data() + s.offset, s.size));
    size_t i = static_cast<size_t>(hash >> shift_);
    while (slots_[i].size != 0) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

TermPostings TermFiler::TakePostings() {
  ResetCache(kMinCacheLog2);
  cached_ = 0;
  words_.clear();
  words_.shrink_to_fit();
  return table_.TakePostings();
}

}  // namespace halcyra
