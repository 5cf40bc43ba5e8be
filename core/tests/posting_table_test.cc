#include "ngram/posting_table.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "test_util.h"

namespace halcyra {
namespace {

using testing::DecodePosting;
using Ids = std::vector<uint32_t>;

// Every entry's posting by key (the index writer orders the keys).
std::map<uint64_t, Ids> Decode(NgramPostings& entries) {
  std::map<uint64_t, Ids> out;
  for (size_t i = 0; i < entries.size(); ++i) {
    const uint64_t size = entries.posting_size(i);
    std::string bytes;
    EXPECT_TRUE(entries.TakePosting(i, &bytes).ok());
    EXPECT_EQ(bytes.size(), size);
    EXPECT_TRUE(out.emplace(entries.key(i), DecodePosting(bytes)).second) << "duplicate key";
  }
  return out;
}

TEST(PostingTable, InlineAndBitmapPostingsAgree) {
  PostingTable t;
  // One, two and many ids; repeats and out-of-order ids are harmless.
  EXPECT_TRUE(t.Add(10, 4));
  EXPECT_TRUE(t.Add(20, 4));
  EXPECT_TRUE(t.Add(20, 4));
  EXPECT_TRUE(t.Add(20, 1));
  EXPECT_TRUE(t.Add(20, 1));
  for (uint32_t id : {9u, 3u, 9u, 70000u, 3u}) EXPECT_TRUE(t.Add(30, id));
  EXPECT_TRUE(t.Add(0, 0));
  EXPECT_EQ(t.size(), 4u);
  Result<NgramPostings> entries = t.TakePostings();
  ASSERT_TRUE(entries.ok());
  EXPECT_EQ(Decode(*entries), (std::map<uint64_t, Ids>{
                                  {0, {0}}, {10, {4}}, {20, {1, 4}}, {30, {3, 9, 70000}}}));
  EXPECT_EQ(t.size(), 0u);
  Result<NgramPostings> again = t.TakePostings();
  ASSERT_TRUE(again.ok());
  EXPECT_TRUE(again->empty());
}

TEST(PostingTable, BlocksMergedGiveWhatOneTableGives) {
  // Documents in blocks of 65536 ids, each block in a table of its own,
  // merged, against one table of every document: a few keys holding most of
  // the bytes (so that the merge splits one key space by bytes into several
  // ranges) beside rare keys in one block only.
  std::mt19937_64 rng(11);
  constexpr uint32_t kBlock = 1 << 16, kDocs = 3 * kBlock + 1234;
  std::vector<PostingTable> blocks(kDocs / kBlock + 1);
  PostingTable all;
  for (uint32_t doc = 0; doc < kDocs; ++doc) {
    std::set<uint64_t> keys;  // a document's keys are distinct, as the tokenizer gives them
    while (keys.size() < 16) {
      const uint64_t r = rng();
      keys.insert((r & 7) != 0 ? r % 400 : r % 3000000);
    }
    for (uint64_t key : keys) {
      EXPECT_TRUE(blocks[doc / kBlock].Add(key, doc));
      EXPECT_TRUE(all.Add(key, doc));
    }
  }
  std::vector<SortedPostings> parts;
  for (PostingTable& b : blocks) parts.push_back(b.TakeSorted());
  ASSERT_GT(parts[1].bytes.size(), size_t{3} << 20);
  Result<NgramPostings> merged = MergeSortedPostings(std::move(parts));
  ASSERT_TRUE(merged.ok());
  Result<NgramPostings> one = all.TakePostings();
  ASSERT_TRUE(one.ok());
  EXPECT_EQ(Decode(*merged), Decode(*one));
}

TEST(PostingTable, MatchesAnOrderedMapUnderGrowth) {
  PostingTable t;
  std::map<uint64_t, std::set<uint32_t>> expected;
  std::mt19937_64 rng(7);
  for (uint32_t doc = 0; doc < 2000; ++doc) {
    for (int j = 0; j < 40; ++j) {
      // A skewed mix: a few common keys, many rare ones, some with the top bit set.
      const uint64_t r = rng();
      const uint64_t key = (r & 3) == 0 ? r % 50 : r % 200000 | (r & 0x8000000000000000ULL);
      EXPECT_TRUE(t.Add(key, doc));
      expected[key].insert(doc);
    }
  }
  EXPECT_EQ(t.size(), expected.size());
  Result<NgramPostings> entries = t.TakePostings();
  ASSERT_TRUE(entries.ok());
  std::map<uint64_t, Ids> want;
  for (const auto& [key, ids] : expected) want[key] = Ids(ids.begin(), ids.end());
  EXPECT_EQ(Decode(*entries), want);

  {
    // A table dropped before its postings were taken releases them (the
    // sanitizer build checks for leaks).
    PostingTable dropped;
    for (uint32_t doc = 0; doc < 10; ++doc) EXPECT_TRUE(dropped.Add(1, doc));
  }

  // The emptied table can be filled again.
  EXPECT_TRUE(t.Add(5, 5));
  EXPECT_EQ(t.size(), 1u);
}

TEST(PostingTable, QueuedIdsSurviveManyFlushes) {
  // Well over a million ids for bitmap postings, so the queue is filed into
  // the bitmaps several times before the postings are taken.
  PostingTable t;
  constexpr uint32_t kDocs = 600000;  // 1.25 million ids for keys 1 to 4
  for (uint32_t doc = 0; doc < kDocs; ++doc) {
    for (uint64_t key = 1; key <= 4; ++key) {
      if (doc % key == 0) {
        EXPECT_TRUE(t.Add(key, doc));
      }
    }
    EXPECT_TRUE(t.Add(1000 + doc, doc));  // a rare key per document
  }
  Result<NgramPostings> entries = t.TakePostings();
  ASSERT_TRUE(entries.ok());
  ASSERT_EQ(entries->size(), 4 + kDocs);
  const std::map<uint64_t, Ids> postings = Decode(*entries);
  for (uint64_t key = 1; key <= 4; ++key) {
    const Ids& ids = postings.at(key);
    ASSERT_EQ(ids.size(), (kDocs + key - 1) / key) << key;
    for (size_t j = 0; j < ids.size(); ++j) ASSERT_EQ(ids[j], j * key) << key;
  }
  EXPECT_EQ(postings.at(1000 + 12345), Ids({12345}));
}

TEST(PostingTable, ContainsExactlyTheAddedKeys) {
  PostingTable t;
  std::set<uint64_t> added;
  std::mt19937_64 rng(23);
  EXPECT_FALSE(t.Contains(0));
  for (int i = 0; i < 5000; ++i) {  // enough to grow the index several times
    const uint64_t key = i == 0 ? 0 : rng() % 20000;
    EXPECT_EQ(t.Contains(key), added.count(key) == 1) << key;
    EXPECT_TRUE(t.Add(key, static_cast<uint32_t>(i)));
    added.insert(key);
    EXPECT_TRUE(t.Contains(key));
  }
  for (uint64_t key = 0; key < 20000; ++key) EXPECT_EQ(t.Contains(key), added.count(key) == 1) << key;
  ASSERT_TRUE(t.TakePostings().ok());
  for (uint64_t key : added) EXPECT_FALSE(t.Contains(key));
}

}  // namespace
}  // namespace halcyra
