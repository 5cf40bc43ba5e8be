// The term index file. Integers little-endian; terms ordered by their raw
// UTF-8 bytes:
//
//   header      40 B  "HYTI"  version u16 = 2  flags u16  term count u32
//                     head boundary u32  router length R u64
//                     dictionary length D u64  block cap u32  language u8
//                     3 zero bytes
//   router      R B   FST (fst/fst_builder.cc) mapping each block's last term
//                     to offset << 24 | length (offset in the dictionary
//                     region, 40 bits; length, 24)
//   dictionary  D B   front-coded blocks back to back in term order
//                     (dict_blocks.cc); an entry's offset is that of the
//                     term's postings record
//   postings    rest  per term: tail length u32  head bytes  tail bytes
//                     (head/tail encoding at the head boundary,
//                     roaring/postings.cc; offsets count from the start of
//                     this region)
//
// flags: 0x1 stemmed, 0x2 stop words removed, 0x4 case-sensitive. The
// language byte is the analyzer's language code + 1 when stemming or stop-
// word removal is on, else 0.
//
// See FORMATS.md (Term index) for the reader's side and a worked example.
#include "terms/term_index.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "base/coding.h"
#include "base/parallel.h"
#include "fst/fst.h"
#include "roaring/union_encoder.h"
#include "terms/dict_blocks.h"

namespace halcyra {
namespace {

constexpr size_t kHeaderSize = 40;
constexpr uint16_t kVersion = 2;
constexpr uint64_t kMaxHeadLength = uint64_t{1} << 24;  // the head length is a 24-bit field for readers
constexpr uint64_t kMaxBlockLength = uint64_t{1} << 24;
constexpr uint64_t kMaxOffset = uint64_t{1} << 40;
// Initial capacity of the router FST's buffer.
constexpr size_t kRouterReserve = 10240;

constexpr size_t kArenaChunk = size_t{64} << 10;

}  // namespace

std::string_view TermArena::Intern(std::string_view term) {
  if (term.empty()) return std::string_view("", 0);  // a valid pointer for memcmp
  if (term.size() > left_) {
    // A long term gets a chunk of its own; the current one stays in use.
    if (term.size() > kArenaChunk / 4) {
      auto& chunk = chunks_.emplace_back(new char[term.size()]);
      std::memcpy(chunk.get(), term.data(), term.size());
      return {chunk.get(), term.size()};
    }
    chunks_.emplace_back(new char[kArenaChunk]);
    next_ = chunks_.back().get();
    left_ = kArenaChunk;
  }
  char* p = next_;
  std::memcpy(p, term.data(), term.size());
  next_ += term.size();
  left_ -= term.size();
  return {p, term.size()};
}

void TermArena::Adopt(TermArena other) {
  // Allocation goes on in this arena's last chunk.
  chunks_.insert(chunks_.end() - (chunks_.empty() ? 0 : 1), std::make_move_iterator(other.chunks_.begin()),
                 std::make_move_iterator(other.chunks_.end()));
}

TermPostings::TermPostings(TermPostings&& other) noexcept
    : arena_(std::move(other.arena_)),
      entries_(std::move(other.entries_)),
      later_(std::move(other.later_)),
      later_end_(std::move(other.later_end_)) {
  other.entries_.clear();
  other.later_.clear();
  other.later_end_.clear();
}

TermPostings& TermPostings::operator=(TermPostings&& other) noexcept {
  if (this != &other) {
    Release(entries_);
    Release(later_);
    arena_ = std::move(other.arena_);
    entries_ = std::move(other.entries_);
    later_ = std::move(other.later_);
    later_end_ = std::move(other.later_end_);
    other.entries_.clear();
    other.later_.clear();
    other.later_end_.clear();
  }
  return *this;
}

TermPostings::~TermPostings() {
  Release(entries_);
  Release(later_);
}

void TermPostings::Release(std::vector<Entry>& entries) {
  for (Entry& e : entries) {
    if (e.count == kInBitmap) roaring_bitmap_free(e.bitmap);
  }
  entries.clear();
}

void TermPostings::Unite(Entry& into, Entry& from) {
  constexpr uint32_t in_bitmap = kInBitmap;
  if (from.count == in_bitmap && into.count != in_bitmap) std::swap(into, from);
  if (into.count == in_bitmap) {
    if (from.count == in_bitmap) {
      roaring_bitmap_or_inplace(into.bitmap, from.bitmap);
      roaring_bitmap_free(from.bitmap);
    } else {
      roaring_bitmap_add(into.bitmap, from.first);
      if (from.count == 2) roaring_bitmap_add(into.bitmap, from.second);
    }
  } else {
    DocId ids[4] = {into.first, into.second, 0, 0};
    size_t n = into.count;
    ids[n++] = from.first;
    if (from.count == 2) ids[n++] = from.second;
    for (size_t i = 1; i < n; ++i) {  // sorted and made distinct
      for (size_t j = i; j > 0 && ids[j - 1] > ids[j]; --j) std::swap(ids[j - 1], ids[j]);
    }
    n = static_cast<size_t>(std::unique(ids, ids + n) - ids);
    if (n <= 2) {
      into.count = static_cast<uint32_t>(n);
      into.first = ids[0];
      into.second = n == 2 ? ids[1] : 0;
    } else {
      roaring_bitmap_t* r = Checked(roaring_bitmap_create());
      roaring_bitmap_add_many(r, n, ids);
      into.bitmap = r;
      into.count = in_bitmap;
    }
  }
  from.count = 0;
}

Result<TermPostings> TermPostings::Merge(std::vector<TermPostings> parts) {
  if (parts.size() == 1) return std::move(parts[0]);
  TermPostings merged;
  if (parts.empty()) return merged;
  // Ranges of the largest part's terms bound the ranges of the others.
  size_t largest = 0;
  for (size_t p = 0; p < parts.size(); ++p) {
    if (parts[p].size() > parts[largest].size()) largest = p;
  }
  constexpr size_t kMinTermsPerRange = 4096;
  const Ranges ranges(parts[largest].size(), kMinTermsPerRange);
  auto lower_bound = [](const TermPostings& part, std::string_view term) {
    return static_cast<size_t>(std::partition_point(part.entries_.begin(), part.entries_.end(), [&](const Entry& e) {
                                 return std::string_view(e.term, e.size) < term;
                               }) - part.entries_.begin());
  };
  // bounds[r][p]: where range r starts in part p.
  std::vector<std::vector<size_t>> bounds(ranges.count() + 1, std::vector<size_t>(parts.size()));
  for (size_t p = 0; p < parts.size(); ++p) {
    for (size_t r = 1; r < ranges.count(); ++r) bounds[r][p] = lower_bound(parts[p], parts[largest].term(ranges.begin(r)));
    bounds[ranges.count()][p] = parts[p].size();
  }
  // Each range moves its entries out of the parts (a moved entry owns
  // nothing there), so that every bitmap has one owner whatever happens: a
  // term's first entry to out[r], those of later parts to later[r], counted
  // in counts[r].
  std::vector<std::vector<Entry>> out(ranges.count()), later(ranges.count());
  std::vector<std::vector<uint32_t>> counts(ranges.count());
  const bool finished = ParallelFor(ranges.count(), [&](size_t r) {
    std::vector<size_t> at = bounds[r];
    const std::vector<size_t>& end = bounds[r + 1];
    while (!StopRequested()) {
      std::optional<std::string_view> least;
      for (size_t p = 0; p < parts.size(); ++p) {
        if (at[p] < end[p] && (!least || parts[p].term(at[p]) < *least)) least = parts[p].term(at[p]);
      }
      if (!least) return;
      uint32_t count = 0;
      for (size_t p = 0; p < parts.size(); ++p) {
        if (at[p] == end[p] || parts[p].term(at[p]) != *least) continue;
        Entry& e = parts[p].entries_[at[p]++];
        if (count++ == 0) {
          out[r].push_back(e);
        } else {
          later[r].push_back(e);
        }
        e.count = 0;
      }
      counts[r].push_back(count - 1);
    }
  });
  size_t total = 0, total_later = 0;
  for (size_t r = 0; r < out.size(); ++r) {
    total += out[r].size();
    total_later += later[r].size();
  }
  merged.entries_.reserve(total);
  merged.later_.reserve(total_later);
  merged.later_end_.reserve(total + 1);
  merged.later_end_.push_back(0);
  for (size_t r = 0; r < out.size(); ++r) {
    merged.entries_.insert(merged.entries_.end(), out[r].begin(), out[r].end());
    merged.later_.insert(merged.later_.end(), later[r].begin(), later[r].end());
    for (uint32_t c : counts[r]) merged.later_end_.push_back(merged.later_end_.back() + c);
    out[r].clear();
    later[r].clear();
  }
  for (TermPostings& part : parts) merged.arena_.Adopt(std::move(part.arena_));
  if (!finished) return Error::Interrupted();  // merged frees what was moved
  return merged;
}

void TermPostings::Add(std::string_view term, std::span<const DocId> ids) {
  std::vector<DocId> sorted(ids.begin(), ids.end());
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  if (sorted.size() > 2 || sorted.empty()) {
    Bitmap posting;
    roaring_bitmap_add_many(posting.mutable_roaring(), sorted.size(), sorted.data());
    Add(term, std::move(posting));
    return;
  }
  const std::string_view interned = arena_.Intern(term);
  Entry& e = entries_.emplace_back();
  e.term = interned.data();
  e.size = static_cast<uint32_t>(interned.size());
  e.count = static_cast<uint32_t>(sorted.size());
  e.first = sorted[0];
  e.second = sorted.size() == 2 ? sorted[1] : 0;
}

void TermPostings::Add(std::string_view term, Bitmap posting) {
  const std::string_view interned = arena_.Intern(term);
  Entry& e = entries_.emplace_back();
  e.term = interned.data();
  e.size = static_cast<uint32_t>(interned.size());
  e.count = kInBitmap;
  e.first = 0;
  e.bitmap = posting.release();
}

size_t TermPostings::records_size_hint(size_t begin, size_t end) const {
  // Record header, the two halves' bitmap headers, and the posting; a
  // container split by the boundary costs a little more, left to growth.
  // Postings still to be united count in full.
  auto posting_bytes = [](const Entry& e) {
    return e.count == kInBitmap ? roaring_bitmap_portable_size_in_bytes(e.bitmap) : 8 + 10 * e.count;
  };
  size_t bytes = 0;
  for (size_t i = begin; i < end; ++i) {
    bytes += 4 + 8 + posting_bytes(entries_[i]);
    if (!later_end_.empty()) {
      for (size_t j = later_end_[i]; j < later_end_[i + 1]; ++j) bytes += posting_bytes(later_[j]);
    }
  }
  return bytes;
}

Status TermPostings::TakeHeadTail(size_t i, uint32_t head_boundary, std::string* out, size_t* head_size,
                                  UnionEncoder* encoder) {
  Entry& e = entries_[i];
  // Ids held inline join the first bitmap at once; bitmaps are united as
  // they are encoded.
  std::vector<Entry*> bitmaps = {&e};
  if (!later_end_.empty()) {
    for (size_t j = later_end_[i]; j < later_end_[i + 1]; ++j) {
      if (e.count == kInBitmap && later_[j].count == kInBitmap) {
        bitmaps.push_back(&later_[j]);
      } else {
        Unite(e, later_[j]);
      }
    }
  }
  if (e.count != kInBitmap) {
    // One or two ids: the encodings of the halves are written directly; they
    // are byte for byte those of the bitmaps.
    DocId ids[2] = {e.first, e.second};
    if (e.count == 2 && ids[1] < ids[0]) std::swap(ids[0], ids[1]);
    const std::span<const DocId> all(ids, e.count);
    const size_t in_head = static_cast<size_t>(std::lower_bound(all.begin(), all.end(), head_boundary) - all.begin());
    const size_t start = out->size();
    AppendSortedPosting(all.first(in_head), out);
    *head_size = out->size() - start;
    AppendSortedPosting(all.subspan(in_head), out);
    return Status::Ok();
  }
  UnionEncoder own;
  std::vector<const roaring_bitmap_t*> postings;
  for (const Entry* b : bitmaps) postings.push_back(b->bitmap);
  const bool encoded = (encoder != nullptr ? encoder : &own)->AppendHeadTail(postings, head_boundary, out, head_size);
  if (!encoded) {
    // Containers of a kind insertion never makes: the library unites and
    // splits them.
    for (size_t b = 1; b < bitmaps.size(); ++b) Unite(e, *bitmaps[b]);
    Result<HeadTail> parts = EncodeHeadTail(*e.bitmap, head_boundary);
    if (!parts.ok()) return parts.take_error();
    out->append(parts->head);
    out->append(parts->tail);
    *head_size = parts->head.size();
  }
  return Status::Ok();
}

namespace {

struct Regions {
  std::string router;
  std::string dictionary;
  std::vector<std::string> postings;  // the postings region, in pieces
};

// The postings records of entries [begin, end) back to back, each with its
// head's size and its whole size, or the first failure and where it was.
struct EncodedRange {
  std::string records;
  std::vector<std::pair<uint64_t, uint64_t>> sizes;  // (head, record)
  Status failure;
};

EncodedRange EncodeRange(TermPostings& postings, size_t begin, size_t end, uint32_t head_boundary) {
  EncodedRange out;
  UnionEncoder encoder;
  out.records.reserve(postings.records_size_hint(begin, end));
  out.sizes.reserve(end - begin);
  for (size_t i = begin; i < end && !StopRequested(); ++i) {
    const size_t start = out.records.size();
    PutFixed32(&out.records, 0);  // the tail length, filled in below
    size_t head_size = 0;
    out.failure = postings.TakeHeadTail(i, head_boundary, &out.records, &head_size, &encoder);
    if (!out.failure.ok()) break;
    const uint64_t tail_size = out.records.size() - start - 4 - head_size;
    // A serialized Roaring bitmap is far below 4 GiB: 65536 containers of 8 KiB.
    assert(tail_size <= UINT32_MAX);
    for (int b = 0; b < 4; ++b) out.records[start + b] = static_cast<char>(tail_size >> (8 * b));
    out.sizes.emplace_back(head_size, out.records.size() - start);
  }
  return out;
}

// Everything but the header, built in memory so that every limit is checked
// before anything is written. Postings are encoded by ranges of terms on the
// threads of the call; the records and their checks then follow term order.
Status BuildRegions(TermPostings& postings, const TermIndexOptions& options, Regions* out) {
  const size_t n = postings.size();
  for (size_t i = 1; i < n; ++i) {
    if (!(postings.term(i - 1) < postings.term(i))) {
      return Error::Limit("write_term_index requires distinct terms in ascending byte order");
    }
  }

  constexpr size_t kMinTermsPerRange = 1024;
  const Ranges ranges(n, kMinTermsPerRange);
  std::vector<EncodedRange> encoded(ranges.count());
  if (!ParallelFor(ranges.count(), [&](size_t r) {
        encoded[r] = EncodeRange(postings, ranges.begin(r), ranges.begin(r + 1), options.head_boundary);
      })) {
    return Error::Interrupted();
  }

  // Each postings record is followed at once by its dictionary entry.
  const uint32_t block_cap = options.block_cap != 0 ? options.block_cap : kDefaultBlockCap;
  DictBlockBuilder dict(block_cap);
  uint64_t offset = 0;
  for (size_t r = 0; r < encoded.size(); ++r) {
    EncodedRange& range = encoded[r];
    for (size_t j = 0; j < range.sizes.size(); ++j) {
      const size_t i = ranges.begin(r) + j;
      const auto [head_size, record_size] = range.sizes[j];
      if (head_size >= kMaxHeadLength) {
        return Error::Limit("term " + std::string(postings.term(i)) + ": head posting " +
                            std::to_string(head_size) + " B exceeds the 24-bit size limit");
      }
      if (offset >= kMaxOffset) return Error::Limit("postings region exceeds the 40-bit offset limit");
      dict.Add(postings.term(i), offset, head_size);
      offset += record_size;
    }
    HALCYRA_RETURN_IF_ERROR(range.failure);
    out->postings.push_back(std::move(range.records));
  }

  const AnalyzerSettings& a = options.analyzer;
  if ((a.stem || a.stopwords) && a.language == kNoLanguage) {
    return Error::Limit("HYTI: stemming and stop-word removal require a language, but none is set");
  }

  dict.Finish();
  FstBuilder router(kRouterReserve);
  for (const DictBlockBuilder::Block& block : dict.blocks()) {
    if (block.length >= kMaxBlockLength) return Error::Limit("dict block exceeds the 24-bit block-length limit");
    if (block.offset >= kMaxOffset) return Error::Limit("dict region exceeds the 40-bit block-offset limit");
    if (Status s = router.Insert(block.last_term, block.offset << 24 | block.length); !s.ok()) {
      return Error::Limit("router fst insert: " + s.error().message());
    }
  }
  out->router = std::move(router).Finish();

  if (n > UINT32_MAX) return Error::Limit("HYTI term count exceeds the 32-bit limit");
  out->dictionary = dict.TakeRegion();
  return Status::Ok();
}

// The header, then the regions.
Status AppendIndex(size_t term_count, const TermIndexOptions& options, const Regions& regions, Sink& sink) {
  const AnalyzerSettings& a = options.analyzer;
  uint16_t flags = 0;
  if (a.stem) flags |= kTermIndexStemmed;
  if (a.stopwords) flags |= kTermIndexStopwords;
  if (!a.fold_case) flags |= kTermIndexCaseSensitive;
  const bool language_used = (a.stem || a.stopwords) && a.language != kNoLanguage;

  std::string header;
  header.reserve(kHeaderSize);
  header.append("HYTI", 4);
  PutFixed16(&header, kVersion);
  PutFixed16(&header, flags);
  PutFixed32(&header, static_cast<uint32_t>(term_count));
  PutFixed32(&header, options.head_boundary);
  PutFixed64(&header, regions.router.size());
  PutFixed64(&header, regions.dictionary.size());
  PutFixed32(&header, options.block_cap != 0 ? options.block_cap : kDefaultBlockCap);
  PutFixed8(&header, language_used ? static_cast<uint8_t>(a.language + 1) : 0);
  header.append(3, '\0');
  assert(header.size() == kHeaderSize);

  HALCYRA_RETURN_IF_ERROR(sink.Append(header));
  HALCYRA_RETURN_IF_ERROR(sink.Append(regions.router));
  HALCYRA_RETURN_IF_ERROR(sink.Append(regions.dictionary));
  for (const std::string& piece : regions.postings) HALCYRA_RETURN_IF_ERROR(sink.Append(piece));
  return Status::Ok();
}

}  // namespace

Status WriteTermIndex(TermPostings postings, const TermIndexOptions& options, Sink& sink) {
  Regions regions;
  Status written = BuildRegions(postings, options, &regions);
  const size_t term_count = postings.size();
  // The postings are freed on one thread while another writes the file:
  // freed as they were encoded, by every encoding thread at once, the
  // bitmaps made the threads contend for the allocator's locks.
  Status closed;
  bool appended = false;
  ParallelFor(2, [&](size_t task) {
    if (task == 1) {
      postings = TermPostings();
      return;
    }
    if (written.ok()) written = AppendIndex(term_count, options, regions, sink);
    closed = sink.Close();
    appended = true;
  });
  if (!appended) {  // stopped before the file was written
    if (written.ok()) written = Error::Interrupted();
    closed = sink.Close();
  }
  return written.ok() ? closed : written;
}

}  // namespace halcyra
