#include "roaring/union_encoder.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "roaring/postings.h"

namespace halcyra {
namespace {

TEST(UnionEncoder, SameBytesAsEncodingTheUnitedBitmap) {
  // One to three postings of sparse, medium and dense containers over a few
  // keys, sharing keys or not, at boundaries on, inside and past containers.
  const uint32_t boundaries[] = {0, 1, 100, 65535, 65536, 65537, 70000, 131072, 200000, 1u << 31, UINT32_MAX};
  std::mt19937 rng(11);
  for (int round = 0; round < 300; ++round) {
    const size_t count = 1 + round % 3;
    std::vector<roaring_bitmap_t*> postings;
    roaring_bitmap_t* all = roaring_bitmap_create();
    for (size_t p = 0; p < count; ++p) {
      roaring_bitmap_t* r = roaring_bitmap_create();
      const int containers = static_cast<int>(rng() % 4);
      for (int c = 0; c < containers; ++c) {
        const uint32_t key = rng() % 4;
        const uint32_t ids = std::vector<uint32_t>{1, 30, 2500, 4000, 9000, 60000}[rng() % 6];
        for (uint32_t k = 0; k < ids; ++k) roaring_bitmap_add(r, key << 16 | (rng() & 0xFFFF));
      }
      roaring_bitmap_or_inplace(all, r);
      postings.push_back(r);
    }
    const uint32_t boundary = boundaries[round % std::size(boundaries)];
    Result<HeadTail> want = EncodeHeadTail(*all, boundary);
    ASSERT_TRUE(want.ok());
    UnionEncoder encoder;
    std::string got = "prefix";
    size_t head_size = 0;
    ASSERT_TRUE(encoder.AppendHeadTail(std::vector<const roaring_bitmap_t*>(postings.begin(), postings.end()), boundary,
                                       &got, &head_size));
    EXPECT_EQ(got, "prefix" + want->head + want->tail) << "round " << round;
    EXPECT_EQ(head_size, want->head.size());
    for (roaring_bitmap_t* r : postings) roaring_bitmap_free(r);
    roaring_bitmap_free(all);
  }
}

TEST(UnionEncoder, LeavesRunContainersToTheCaller) {
  roaring_bitmap_t* runs = roaring_bitmap_create();
  roaring_bitmap_add_range_closed(runs, 10, 5000);
  roaring_bitmap_run_optimize(runs);
  const roaring_bitmap_t* postings[] = {runs};
  UnionEncoder encoder;
  std::string out;
  size_t head_size = 7;
  EXPECT_FALSE(encoder.AppendHeadTail(postings, 65536, &out, &head_size));
  EXPECT_EQ(out, "");
  EXPECT_EQ(head_size, 7u);
  roaring_bitmap_free(runs);
}

}  // namespace
}  // namespace halcyra
