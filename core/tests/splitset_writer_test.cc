#include "halcyra/split_set_writer.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <set>

#include "base/coding.h"
#include "base/sink.h"
#include "ngram/ngram_index.h"
#include "ngram/posting_table.h"
#include "roaring/portable_roaring.h"
#include "splitset/manifest.h"
#include "splitset/summary.h"
#include "test_readers.h"

namespace halcyra {
namespace {

using testing::Ids;
using testing::ParseIndex;

// The portable serialization of ids, optionally with run containers.
std::string Serialize(const Ids& ids, bool runs) {
  roaring_bitmap_t* r = roaring_bitmap_of_ptr(ids.size(), ids.data());
  if (runs) roaring_bitmap_run_optimize(r);
  std::string out(roaring_bitmap_portable_size_in_bytes(r), '\0');
  roaring_bitmap_portable_serialize(r, out.data());
  roaring_bitmap_free(r);
  return out;
}

Ids Decode(const PortableRoaring& r, DocId offset = 0) {
  Ids ids;
  r.AppendIds(offset, &ids);
  return ids;
}

// Random ids with dense and sparse stretches, so that arrays, bitmaps and
// runs all occur.
Ids RandomIds(std::mt19937& rng) {
  std::set<uint32_t> s;
  const int stretches = static_cast<int>(rng() % 4);
  for (int i = 0; i < stretches; ++i) {
    const uint32_t base = rng() % 5 * 65536 + rng() % 60000;
    const uint32_t length = rng() % 3 == 0 ? 6000 : rng() % 300;
    const uint32_t step = 1 + rng() % 3;
    for (uint32_t j = 0; j < length; j += step) s.insert(base + j);
  }
  return Ids(s.begin(), s.end());
}

TEST(PortableRoaring, ReadsWhatTheLibraryWrites) {
  std::mt19937 rng(11);
  for (int round = 0; round < 200; ++round) {
    const Ids ids = RandomIds(rng);
    for (bool runs : {false, true}) {
      const std::string bytes = Serialize(ids, runs) + "trailing";
      Result<PortableRoaring> r = PortableRoaring::Parse(bytes);
      ASSERT_TRUE(r.ok()) << r.error().message();
      EXPECT_EQ(Decode(*r), ids);
      EXPECT_EQ(r->cardinality(), ids.size());
      EXPECT_EQ(r->size(), bytes.size() - 8);
      EXPECT_EQ(r->empty(), ids.empty());
      if (!ids.empty()) {
        EXPECT_EQ(r->minimum(), ids.front());
        EXPECT_EQ(r->maximum(), ids.back());
        EXPECT_EQ(Decode(*r, 7).back(), ids.back() + 7);
      }
    }
  }
}

TEST(PortableRoaring, RefusesBrokenInvariants) {
  const auto message = [](const std::string& bytes) {
    Result<PortableRoaring> r = PortableRoaring::Parse(bytes);
    return r.ok() ? std::string("ok") : r.error().message();
  };
  std::string s;
  // An array {5, 5}: not strictly ascending.
  s.clear();
  PutFixed32(&s, 12346); PutFixed32(&s, 1); PutFixed16(&s, 0); PutFixed16(&s, 1); PutFixed32(&s, 16);
  PutFixed16(&s, 5); PutFixed16(&s, 5);
  EXPECT_EQ(message(s), "roaring deserialize: array container not strictly ascending");
  EXPECT_EQ(message(s.substr(0, s.size() - 1)), "roaring deserialize: array container truncated");
  EXPECT_EQ(message(s.substr(0, 10)), "roaring deserialize: bitmap truncated in its container descriptors");
  EXPECT_EQ(message(s.substr(0, 14)), "roaring deserialize: bitmap truncated in its container offsets");
  EXPECT_EQ(message(s.substr(0, 6)), "roaring deserialize: bitmap truncated in its container count");
  EXPECT_EQ(message(std::string("\x3b\x30\x00\x00", 4)), "roaring deserialize: bitmap truncated in its run flags");
  EXPECT_EQ(message(testing::kEmptyPosting), "ok");
  // Runs [0, 5] and [3, 7] overlap; cardinalities that do not add up.
  s.clear();
  PutFixed32(&s, 12347); PutFixed8(&s, 1); PutFixed16(&s, 0); PutFixed16(&s, 13);
  PutFixed16(&s, 2); PutFixed16(&s, 0); PutFixed16(&s, 5); PutFixed16(&s, 3); PutFixed16(&s, 4);
  EXPECT_EQ(message(s), "roaring deserialize: runs overlap or are out of order");
  s[s.size() - 4] = 6;  // [6, 10]: 6 + 5 = 11 ids, not 14
  EXPECT_EQ(message(s), "roaring deserialize: run container cardinality does not match its runs");
  s[7] = 10;  // cardinality 11
  EXPECT_EQ(message(s), "ok");
  // A bitmap container of cardinality 4097 with 4096 bits set.
  s.clear();
  PutFixed32(&s, 12346); PutFixed32(&s, 1); PutFixed16(&s, 3); PutFixed16(&s, 4096); PutFixed32(&s, 16);
  std::string bits(8192, '\0');
  for (int i = 0; i < 4096; ++i) bits[i / 8] = static_cast<char>(bits[i / 8] | 1 << (i % 8));
  EXPECT_EQ(message(s + bits), "roaring deserialize: bitmap container cardinality does not match its set bits");
  bits[4096 / 8] = 1;
  Result<PortableRoaring> r = PortableRoaring::Parse(s + bits);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->minimum(), 3u << 16);
  EXPECT_EQ(r->maximum(), (3u << 16) + 4096);
}

// Every corruption is either refused or reads exactly as the library reads it.
TEST(PortableRoaring, AgreesWithTheLibraryOnCorruptBytes) {
  std::mt19937 rng(5);
  for (int round = 0; round < 3000; ++round) {
    std::string bytes = Serialize(RandomIds(rng), rng() % 2 == 0);
    for (uint32_t flips = 1 + rng() % 3; flips > 0; --flips) {
      const size_t at = rng() % std::min<size_t>(bytes.size(), 64);  // headers matter most
      bytes[at] = static_cast<char>(rng());
    }
    Result<PortableRoaring> mine = PortableRoaring::Parse(bytes);
    if (!mine.ok()) continue;
    roaring_bitmap_t* theirs = roaring_bitmap_portable_deserialize_safe(bytes.data(), bytes.size());
    ASSERT_NE(theirs, nullptr);
    Ids expected(roaring_bitmap_get_cardinality(theirs));
    roaring_bitmap_to_uint32_array(theirs, expected.data());
    roaring_bitmap_free(theirs);
    EXPECT_EQ(Decode(*mine), expected);
  }
}

// The table's running serialized size equals the sum of what it hands over.
TEST(PostingTable, SerializedBytesMatchTheEncodings) {
  std::mt19937 rng(3);
  PostingTable t;
  for (int round = 0; round < 3; ++round) {
    // Documents in order; key 1 in every document (bitmap containers), a few
    // common keys, many rare ones, and a container boundary crossed.
    for (DocId doc = 0; doc < 140000; doc += 1 + rng() % 2) {
      t.Add(1, doc);
      t.Add(2 + rng() % 8, doc);
      if (rng() % 4 == 0) t.Add(100 + rng() % 100000, doc);
    }
    const uint64_t expected = t.serialized_bytes();
    Result<NgramPostings> entries = t.TakePostings();
    ASSERT_TRUE(entries.ok());
    uint64_t sum = 0;
    for (size_t i = 0; i < entries->size(); ++i) sum += entries->posting_size(i);
    EXPECT_EQ(expected, sum);
    EXPECT_EQ(t.serialized_bytes(), 0u);
  }
}

SplitSetWriterOptions Options(std::string prefix, uint32_t stride) {
  SplitSetWriterOptions o;
  o.name_prefix = std::move(prefix);
  o.stride = stride;
  return o;
}

SplitSetWriter NewWriter(SplitSetWriterOptions options = {}) {
  Result<SplitSetWriter> w = SplitSetWriter::Create(std::move(options));
  EXPECT_TRUE(w.ok());
  return std::move(w).value();
}

FlushedSplit MustFlush(SplitSetWriter& w) {
  Result<std::optional<FlushedSplit>> f = w.Flush();
  EXPECT_TRUE(f.ok()) << f.error().message();
  EXPECT_TRUE(f->has_value());
  return std::move(**f);
}

TEST(SplitSetWriter, FlushAndCompactRoundTrip) {
  SplitSetWriter w = NewWriter(Options("corpus", 0));
  EXPECT_EQ(w.memtable_bytes(), 20u);
  ASSERT_EQ(*w.Add("abc"), 0u);
  EXPECT_EQ(w.memtable_bytes(), 78u);
  ASSERT_EQ(*w.Add("xabc"), 1u);
  FlushedSplit a = MustFlush(w);
  ASSERT_TRUE(w.Delete(0).ok());
  ASSERT_EQ(*w.Add("abcd"), 2u);
  FlushedSplit b = MustFlush(w);
  EXPECT_EQ(a.name, "corpus-d00000.hys");
  EXPECT_EQ(b.name, "corpus-d00001.hys");
  const std::vector<CompactionInput> inputs = {{a.name, a.split}, {b.name, b.split}};
  Result<CompactedSplit> c = w.Compact(inputs);
  ASSERT_TRUE(c.ok()) << c.error().message();
  EXPECT_EQ(c->name, "corpus-c00000.hys");
  const testing::ParsedIndex index = ParseIndex(c->split);
  const NgramKey abc = NgramKeys("abc", 3, true)[0];
  EXPECT_EQ(index.postings.at(abc), (Ids{1, 2}));
  ASSERT_EQ(w.splits().size(), 1u);
  const SplitEntry& e = w.splits()[0];
  EXPECT_EQ(e.flags, kSplitAbsoluteIds | kSplitTombstones);
  EXPECT_EQ(std::tie(e.doc_count, e.first_id, e.last_id, e.epoch), std::make_tuple(2u, 1u, 2u, uint64_t{2}));
  Result<std::optional<std::string_view>> tomb = FindSummaryRecord(e.summary, kTombstoneRecord);
  ASSERT_TRUE(tomb.ok() && tomb->has_value());
  EXPECT_EQ(testing::DecodePosting(**tomb), (Ids{0}));
  Result<Manifest> m = ParseManifest(c->manifest);
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(m->splits, w.splits());
}

// Resume and compaction inputs, corrupted at random: each call succeeds or
// fails with its error, and a failed compaction leaves the writer able to
// compact the good inputs into the same bytes.
TEST(SplitSetWriter, SurvivesCorruptResumeAndCompactInputs) {
  std::mt19937 rng(9);
  SplitSetWriter w = NewWriter(Options("split", 4));
  std::vector<FlushedSplit> flushed;
  for (int f = 0; f < 3; ++f) {
    for (int d = 0; d < 20; ++d) ASSERT_TRUE(w.Add("document " + std::to_string(f * 100 + d * 7)).ok());
    ASSERT_TRUE(w.Delete(static_cast<DocId>(rng() % w.doc_count())).ok());
    flushed.push_back(MustFlush(w));
  }
  const std::string manifest = flushed.back().manifest;
  std::vector<CompactionInput> good;
  for (const FlushedSplit& f : flushed) good.push_back({f.name, f.split});

  for (int round = 0; round < 1500; ++round) {
    std::string bytes = manifest;
    for (uint32_t flips = 1 + rng() % 4; flips > 0; --flips) bytes[rng() % bytes.size()] = static_cast<char>(rng());
    if (rng() % 5 == 0) bytes.resize(rng() % (bytes.size() + 1));
    Result<SplitSetWriter> resumed = SplitSetWriter::Resume(bytes, {.stride = 4});
    if (resumed.ok()) {
      (void)resumed->Add("more");
      (void)resumed->Flush();
    } else {
      EXPECT_EQ(resumed.error().code(), ErrorCode::kInvalidArgument);
    }
  }
  for (int round = 0; round < 1500; ++round) {
    const size_t victim = rng() % good.size();
    std::string bytes(good[victim].bytes);
    for (uint32_t flips = 1 + rng() % 4; flips > 0; --flips) bytes[rng() % bytes.size()] = static_cast<char>(rng());
    if (rng() % 5 == 0) bytes.resize(rng() % (bytes.size() + 1));
    std::vector<CompactionInput> inputs = good;
    inputs[victim].bytes = bytes;
    SplitSetWriter copy = *SplitSetWriter::Resume(manifest, {.stride = 4});
    Result<CompactedSplit> c = copy.Compact(inputs);
    if (!c.ok()) {
      EXPECT_TRUE(c.error().code() == ErrorCode::kCore || c.error().code() == ErrorCode::kLimit);
      Result<CompactedSplit> retry = copy.Compact(good);
      ASSERT_TRUE(retry.ok());
      SplitSetWriter fresh = *SplitSetWriter::Resume(manifest, {.stride = 4});
      EXPECT_EQ(retry->manifest, fresh.Compact(good)->manifest);
    }
  }
}

// A caller's buffer: records the calls and keeps the split's bytes.
class RecordingBuffer final : public SplitBuffer {
 public:
  char* Allocate(size_t n) override {
    ++allocations;
    capacity = n;
    memory.reset(new char[n]);  // left uninitialized, as a bytes object is
    return memory.get();
  }
  void Shrink(size_t size) override {
    ++shrinks;
    split.assign(memory.get(), size);
  }

  int allocations = 0;
  int shrinks = 0;
  size_t capacity = 0;
  std::string split;
  std::unique_ptr<char[]> memory;
};

// An n-gram index file of the given postings, each encoded as the library
// encodes it (with run containers if runs) or, without, as sorted ids.
std::string IndexFile(const std::map<NgramKey, Ids>& postings, bool runs) {
  NgramPostings entries;
  for (const auto& [key, ids] : postings) {
    if (runs) {
      entries.AddEncoded(key, Serialize(ids, true));
    } else {
      std::string encoded;
      AppendSortedPosting(ids, &encoded);
      entries.AddEncoded(key, encoded);
    }
  }
  BufferSink sink;
  EXPECT_TRUE(WriteNgramIndex(std::move(entries), 3, 0, true, sink).ok());
  return sink.Release();
}

TEST(SplitSetWriter, CompactsIntoACallersBuffer) {
  SplitSetWriter w = NewWriter();
  for (int d = 0; d < 50; ++d) ASSERT_TRUE(w.Add("text number " + std::to_string(d * d)).ok());
  const FlushedSplit a = MustFlush(w);
  for (int d = 0; d < 50; ++d) ASSERT_TRUE(w.Add("more text " + std::to_string(d)).ok());
  ASSERT_TRUE(w.Delete(3).ok());
  const FlushedSplit b = MustFlush(w);
  const std::string manifest = b.manifest;

  // One input at first id 0 without tombstones: the bound is the size.
  const std::vector<CompactionInput> one = {{a.name, a.split}};
  RecordingBuffer buffer;
  Result<SplitSetChange> c = SplitSetWriter(*SplitSetWriter::Resume(manifest, {})).PrepareCompact(one, buffer);
  ASSERT_TRUE(c.ok()) << c.error().message();
  EXPECT_EQ(std::tie(buffer.allocations, buffer.shrinks), std::make_tuple(1, 1));
  EXPECT_EQ(buffer.capacity, buffer.split.size());
  EXPECT_EQ(buffer.split, SplitSetWriter(*SplitSetWriter::Resume(manifest, {})).Compact(one)->split);

  // Two inputs, the second with a tombstone: the same bytes and manifest as
  // the string form, from no larger a buffer than needed.
  const std::vector<CompactionInput> two = {{a.name, a.split}, {b.name, b.split}};
  RecordingBuffer both;
  SplitSetWriter x = *SplitSetWriter::Resume(manifest, {});
  SplitSetWriter y = *SplitSetWriter::Resume(manifest, {});
  Result<SplitSetChange> in_buffer = x.PrepareCompact(two, both);
  Result<CompactedSplit> in_string = y.Compact(two);
  ASSERT_TRUE(in_buffer.ok() && in_string.ok());
  EXPECT_EQ(both.split, in_string->split);
  EXPECT_EQ(in_buffer->manifest, in_string->manifest);
  EXPECT_LE(both.split.size(), both.capacity);
  x.Commit(std::move(*in_buffer));
  EXPECT_EQ(x.splits()[0].byte_size, both.split.size());

  // Inputs are checked before any memory is asked for.
  const std::string broken = b.split.substr(0, 30);
  RecordingBuffer unused;
  SplitSetWriter z = *SplitSetWriter::Resume(manifest, {});
  EXPECT_FALSE(z.PrepareCompact(std::vector<CompactionInput>{{a.name, a.split}, {b.name, broken}}, unused).ok());
  EXPECT_EQ(unused.allocations, 0);
}

// Postings made elsewhere (run, bitmap and array containers, numbers that a
// first id moves across container boundaries), merged with tombstones: the
// result is byte for byte the index of the union of the global ids less the
// deleted ones, written into memory sized by the merge's bound beforehand.
TEST(SplitSetWriter, CompactsForeignPostingsWithinItsBound) {
  std::mt19937 rng(17);
  for (int round = 0; round < 40; ++round) {
    SplitSetWriter w = NewWriter();
    std::vector<FlushedSplit> flushed;
    std::vector<std::string> files;
    std::map<NgramKey, std::set<DocId>> all;
    std::set<DocId> dead;
    const bool runs = round % 2 == 0;
    for (int f = 0; f < 3; ++f) {
      const DocId first = w.doc_count();
      // Enough documents that the postings reach across container
      // boundaries; every id stays inside the split's own range.
      const uint32_t docs = 60000 + rng() % 80000;
      for (uint32_t d = 0; d < docs; ++d) ASSERT_TRUE(w.Add("").ok());
      for (int t = 0; t < 20; ++t) {
        const DocId id = rng() % w.doc_count();
        ASSERT_TRUE(w.Delete(id).ok());
        dead.insert(id);
      }
      std::map<NgramKey, Ids> postings;
      for (uint32_t d = 0; d < docs; ++d) postings[1].push_back(d);  // every document, as a flush makes
      postings[2] = {docs - 1};                                       // deleted below: the key goes
      for (NgramKey key = 3; key < 8; ++key) {
        if (rng() % 3 == 0) continue;
        for (DocId id : RandomIds(rng)) {
          if (id < docs) postings[key].push_back(id);
        }
      }
      if (f == 0) postings.erase(2);
      for (const auto& [key, ids] : postings) {
        for (DocId id : ids) all[key].insert(first + id);
      }
      flushed.push_back(MustFlush(w));
      files.push_back(IndexFile(postings, runs));
    }
    for (const auto& [key, ids] : all) {
      if (key == 2) dead.insert(ids.begin(), ids.end());
    }
    for (DocId id : all[2]) ASSERT_TRUE(w.Delete(id).ok());
    flushed.push_back(MustFlush(w));  // a split of tombstones only
    files.push_back(IndexFile({}, false));

    std::vector<CompactionInput> inputs;
    for (size_t i = 0; i < files.size(); ++i) inputs.push_back({flushed[i].name, files[i]});
    RecordingBuffer buffer;
    Result<SplitSetChange> c = w.PrepareCompact(inputs, buffer);
    ASSERT_TRUE(c.ok()) << c.error().message();

    std::map<NgramKey, Ids> live;
    for (const auto& [key, ids] : all) {
      for (DocId id : ids) {
        if (!dead.contains(id)) live[key].push_back(id);
      }
    }
    EXPECT_FALSE(live.contains(2));
    EXPECT_EQ(buffer.split, IndexFile(live, false)) << round;
    EXPECT_LE(buffer.split.size(), buffer.capacity);
  }
}

}  // namespace
}  // namespace halcyra
