#include "roaring/postings.h"

#include <gtest/gtest.h>

#include <vector>

#include "test_util.h"

namespace halcyra {
namespace {

using testing::Bytes;
using testing::Cookie;
using testing::DecodePosting;
using testing::kEmptyPosting;
using Ids = std::vector<uint32_t>;

Bitmap Of(const Ids& ids) {
  Bitmap b;
  for (uint32_t id : ids) b.Add(id);
  return b;
}

std::string Whole(const Bitmap& b) {
  Result<std::string> r = EncodePosting(b.roaring());
  EXPECT_TRUE(r.ok());
  return r.ok() ? *r : std::string();
}

HeadTail Split(const Bitmap& b, uint32_t h) {
  Result<HeadTail> r = EncodeHeadTail(b.roaring(), h);
  EXPECT_TRUE(r.ok());
  return r.ok() ? *r : HeadTail();
}

TEST(Postings, EmptyPostingIsEightBytes) {
  Bitmap empty;
  EXPECT_EQ(Whole(empty), Bytes({0x3A, 0x30, 0, 0, 0, 0, 0, 0}));
  for (uint32_t h : {0u, 1u, 65536u, UINT32_MAX}) {
    HeadTail ht = Split(empty, h);
    EXPECT_EQ(ht.head, kEmptyPosting) << h;
    EXPECT_EQ(ht.tail, kEmptyPosting) << h;
  }
}

TEST(Postings, SingleIdLayout) {
  // cookie, container count 1, descriptor (key, cardinality - 1), offset 16,
  // then the low 16 bits of the id.
  EXPECT_EQ(Whole(Of({0})), Bytes({0x3A, 0x30, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Whole(Of({70000})),
            Bytes({0x3A, 0x30, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0x10, 0, 0, 0, 0x70, 0x11}));
}

TEST(Postings, HeadTailAtDefaultBoundary) {
  const Bitmap p = Of({5, 65535, 65536, 70000});
  HeadTail ht = Split(p, 65536);
  EXPECT_EQ(ht.head, Bytes({0x3A, 0x30, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0x10, 0, 0, 0, 5, 0, 0xFF, 0xFF}));
  EXPECT_EQ(ht.tail, Bytes({0x3A, 0x30, 0, 0, 1, 0, 0, 0, 1, 0, 1, 0, 0x10, 0, 0, 0, 0, 0, 0x70, 0x11}));
}

TEST(Postings, ZeroBoundaryPutsEverythingInTheTail) {
  const Bitmap p = Of({0, 3, 65536, 1u << 31});
  HeadTail ht = Split(p, 0);
  EXPECT_EQ(ht.head, kEmptyPosting);
  EXPECT_EQ(ht.tail, Whole(p));
}

TEST(Postings, PostingBelowBoundaryHasEmptyTail) {
  const Bitmap p = Of({0, 1, 65535});
  HeadTail ht = Split(p, 65536);
  EXPECT_EQ(ht.head, Whole(p));
  EXPECT_EQ(ht.tail, kEmptyPosting);
}

TEST(Postings, DenseInsertionsAreNotRunOptimised) {
  Bitmap p;
  for (uint32_t id = 0; id < 100000; ++id) p.Add(id);
  const std::string whole = Whole(p);
  EXPECT_EQ(Cookie(whole), 12346u);
  // Two bitmap containers: 8 header + 2 x 4 descriptors + 2 x 4 offsets + 2 x 8192.
  EXPECT_EQ(whole.size(), 16408u);
  HeadTail ht = Split(p, 65536);
  EXPECT_EQ(Cookie(ht.head), 12346u);
  EXPECT_EQ(Cookie(ht.tail), 12346u);
}

// Every id lands in exactly one half, for boundaries inside, between and
// beyond containers, and for array as well as bitmap containers.
TEST(Postings, HeadTailPartitionsAnyBoundary) {
  Ids sparse = {0, 1, 5, 6, 4095, 65535, 65536, 65537, 70000, 131071, 131072, 200000, 1u << 31, UINT32_MAX};
  Ids dense;
  for (uint32_t id = 60000; id < 140000; id += 3) dense.push_back(id);
  for (uint32_t id = 300000; id < 310000; ++id) dense.push_back(id);
  const uint32_t boundaries[] = {1, 5, 6, 4096, 65535, 65536, 65537, 70000, 131072, 135001,
                                 200001, 305000, 1u << 31, UINT32_MAX};
  for (const Ids& ids : {sparse, dense}) {
    const Bitmap p = Of(ids);
    const std::string before = Whole(p);
    for (uint32_t h : boundaries) {
      HeadTail ht = Split(p, h);
      Ids head, tail;
      for (uint32_t id : ids) (id < h ? head : tail).push_back(id);
      EXPECT_EQ(DecodePosting(ht.head), head) << h;
      EXPECT_EQ(DecodePosting(ht.tail), tail) << h;
      EXPECT_EQ(Cookie(ht.head), 12346u) << h;
      EXPECT_EQ(Cookie(ht.tail), 12346u) << h;
    }
    EXPECT_EQ(Whole(p), before);  // the posting is left unchanged
  }
}

// The bitmap-free encoder must match the library byte for byte.
TEST(Postings, SortedIdsEncodeLikeTheLibrary) {
  const std::vector<Ids> cases = {
      {}, {0}, {65535}, {65536}, {UINT32_MAX}, {3, 9}, {5, 70000}, {0, UINT32_MAX}, {65535, 65536, 131072},
      {1, 2, 3, 65536, 65537, 1u << 20, (1u << 20) + 1}};
  for (const Ids& ids : cases) {
    std::string direct = "prefix";
    AppendSortedPosting(ids, &direct);
    EXPECT_EQ(direct, "prefix" + Whole(Of(ids))) << ids.size();
  }
  // Containers of 4096 and 4097 values (an array and a bitmap), a full one,
  // and a sparse one after them.
  for (uint32_t n : {4096u, 4097u, 65536u}) {
    Ids many;
    for (uint32_t i = 0; i < n; ++i) many.push_back(65536 * 3 + i * (65536 / n));
    for (uint32_t i = 0; i < 4097; ++i) many.push_back(65536 * 4 + i * 7);
    many.push_back(UINT32_MAX);
    std::string direct;
    AppendSortedPosting(many, &direct);
    EXPECT_EQ(direct, Whole(Of(many))) << n;
  }
}

// The two-step form: the size first, then the same bytes written in place,
// nothing past them.
TEST(Postings, SortedIdsPlacedInMemory) {
  Ids many;
  for (uint32_t i = 0; i < 5000; ++i) many.push_back(65536 + i * 3);
  many.push_back(1u << 20);
  for (const Ids& ids : std::vector<Ids>{{}, {7}, {65535, 65536, 131072}, many}) {
    const std::string expected = Whole(Of(ids));
    ASSERT_EQ(SortedPostingSize(ids), expected.size());
    std::string memory(expected.size() + 3, '#');
    EXPECT_EQ(PutSortedPosting(ids, memory.data()), memory.data() + expected.size());
    EXPECT_EQ(memory, expected + "###");
  }
}

TEST(Postings, AppendPostingExtendsTheBuffer) {
  std::string out = "ab";
  ASSERT_TRUE(AppendPosting(Of({1, 2}).roaring(), &out).ok());
  EXPECT_EQ(out, "ab" + Whole(Of({1, 2})));
}

}  // namespace
}  // namespace halcyra
