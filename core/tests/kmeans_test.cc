#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "halcyra/vector_index.h"
#include "vector/nearest.h"
#include "vector/training.h"
#include "vector_reference.h"

namespace halcyra {
namespace {

using namespace reference;

TEST(TrainRng, XorshiftStarSequence) {
  // Computed independently with arbitrary-precision integers.
  TrainRng rng(1);
  EXPECT_EQ(rng.Draw(10), 5u);
  EXPECT_EQ(rng.state(), 0x2000001u);
  EXPECT_EQ(rng.Draw(10), 7u);
  EXPECT_EQ(rng.state(), 0x4004000802801u);
  EXPECT_EQ(rng.Draw(1000), 103u);
  EXPECT_EQ(rng.Draw(7), 3u);
  EXPECT_EQ(rng.state(), 0x200340a005480e81u);
  EXPECT_EQ(rng.Draw(uint64_t{1} << 63), 1036278371763004928u);  // 0x0e6199b04d5aa600 mod 2^63
  EXPECT_EQ(rng.state(), 0x81fd0210eb25e00u);

  // A zero seed runs from the replacement state.
  TrainRng zero(0);
  EXPECT_EQ(zero.state(), 0x9E3779B97F4A7C15u);
  EXPECT_EQ(zero.Draw(100), 10u);
  EXPECT_EQ(zero.Draw(100), 87u);
  EXPECT_EQ(zero.Draw(3), 1u);
  EXPECT_EQ(zero.state(), 0x44da53dec8eb16d8u);

  // The default seed of the Python builder ("HQVIHYVI").
  TrainRng builder(0x4851564948595649u);
  EXPECT_EQ(builder.Draw(5), 4u);
  EXPECT_EQ(builder.Draw(5), 3u);
}

TEST(Kmeans, InitialisationCopiesDrawnPoints) {
  // One iteration over points 0, 10, 20, ..., k = 3 with seed 1: draws 5 and 7
  // of 10, then 103 mod 10 = 3 (the raw outputs above, reduced mod 10).
  std::vector<float> pts(10);
  for (size_t i = 0; i < 10; ++i) pts[i] = 10.0f * static_cast<float>(i);
  TrainRng rng(1);
  KmeansResult r = Kmeans(pts.data(), 10, 1, 3, 1, &rng);
  // Seeds 50, 70, 30. 40 is as far from 50 as from 30 and 60 as far from 50
  // as from 70: both ties go to slot 0. Means: {40,50,60} -> 50,
  // {70,80,90} -> 80 (240 * (1/3 in single precision) rounds to 80),
  // {0,10,20,30} -> 15.
  EXPECT_EQ(r.centroids, std::vector<float>({50.0f, 80.0f, 15.0f}));
  EXPECT_EQ(r.assignments, std::vector<uint32_t>({2, 2, 2, 2, 0, 0, 0, 1, 1, 1}));
  EXPECT_EQ(rng.state(), 0xd004003202803u);  // exactly three draws, no reseeding
}

TEST(Kmeans, TiesGoToTheLowerClusterAndNaNNeverWins) {
  // Point 1.0 is equidistant from seeds 0 and 2; which seed lands in which slot
  // depends on the draws, the tie must go to the lower slot either way.
  const std::vector<float> pts = {0.0f, 2.0f, 1.0f};
  for (uint64_t seed = 1; seed <= 20; ++seed) {
    TrainRng rng(seed);
    KmeansResult r = Kmeans(pts.data(), 3, 1, 2, 1, &rng);
    ReferenceRng ref{seed};
    KmeansResult want = ReferenceKmeans(pts, 3, 1, 2, 1, &ref);
    EXPECT_EQ(r.assignments, want.assignments) << seed;
    EXPECT_TRUE(SameBits(r.centroids, want.centroids)) << seed;
  }
  // Equal centroids from the start: everything goes to cluster 0; the others
  // stay empty and are reseeded (from the same single point) every iteration.
  const std::vector<float> one = {3.0f, -1.0f};
  TrainRng rng(7);
  KmeansResult r = Kmeans(one.data(), 1, 2, 5, 3, &rng);
  EXPECT_EQ(r.assignments, std::vector<uint32_t>({0}));
  for (size_t c = 0; c < 5; ++c) {
    EXPECT_EQ(r.centroids[c * 2], 3.0f);
    EXPECT_EQ(r.centroids[c * 2 + 1], -1.0f);
  }
  ReferenceRng ref{7};
  for (int draws = 0; draws < 5 + 3 * 4; ++draws) ref.Draw(1);
  EXPECT_EQ(rng.state(), ref.x);  // 5 initial draws, 4 reseeds in each of 3 iterations

  // A point with a NaN component is at NaN distance from every centroid: cluster 0.
  const std::vector<float> with_nan = {0.0f, 0.0f, 5.0f, 5.0f, 5.0f, kNaN};
  for (uint64_t seed = 1; seed <= 10; ++seed) {
    TrainRng r2(seed);
    KmeansResult out = Kmeans(with_nan.data(), 3, 2, 2, 2, &r2);
    EXPECT_EQ(out.assignments[2], 0u) << seed;
  }
}

TEST(Kmeans, MatchesSequentialReferenceBitForBit) {
  // Shapes around the point tiles, odd and even k, k above n, tiny d.
  struct Case {
    size_t n, d, k, iters;
  };
  const Case cases[] = {{1, 1, 1, 1},    {5, 3, 8, 2},    {70, 4, 31, 3},  {130, 7, 33, 2},
                        {200, 16, 64, 3}, {65, 1, 256, 2}, {300, 5, 100, 4}, {10, 2, 256, 3}};
  std::mt19937 gen(42);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  for (const Case& c : cases) {
    std::vector<float> pts(c.n * c.d);
    for (float& v : pts) v = normal(gen);
    // Exact duplicates create ties between centroids seeded on the same point.
    if (c.n > 4) std::copy_n(pts.begin(), c.d, pts.begin() + c.d);
    for (uint64_t seed : {uint64_t{1}, uint64_t{0xdeadbeef}}) {
      TrainRng rng(seed);
      ReferenceRng ref{seed};
      KmeansResult got = Kmeans(pts.data(), c.n, c.d, c.k, c.iters, &rng);
      KmeansResult want = ReferenceKmeans(pts, c.n, c.d, c.k, c.iters, &ref);
      EXPECT_TRUE(SameBits(got.centroids, want.centroids)) << c.n << "x" << c.d << " k=" << c.k;
      EXPECT_EQ(got.assignments, want.assignments) << c.n << "x" << c.d << " k=" << c.k;
      EXPECT_EQ(rng.state(), ref.x);
    }
  }
}

TEST(Kmeans, SumsInPointOrderWhateverTheThreads) {
  // Enough points for 4 to 8 ranges per pass, whose points are added to the
  // sums by whichever thread finds the next range assigned; on threads of
  // the call and, as the sub-spaces are trained, on the calling thread.
  const size_t n = 32768, d = 16, k = 16, iters = 3;
  std::mt19937 gen(7);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> pts(n * d);
  for (float& v : pts) v = normal(gen) + static_cast<float>(gen() % 8);
  ReferenceRng ref{3};
  const KmeansResult want = ReferenceKmeans(pts, n, d, k, iters, &ref);
  for (const char* threads : {"1", "2", "3", "8"}) {
    setenv("HALCYRA_THREADS", threads, 1);
    for (bool use_threads : {true, false}) {
      SCOPED_TRACE(std::string("HALCYRA_THREADS=") + threads + (use_threads ? " on its threads" : " on one"));
      TrainRng rng(3);
      const KmeansResult got = Kmeans(pts.data(), n, d, k, iters, &rng, use_threads);
      EXPECT_TRUE(SameBits(got.centroids, want.centroids));
      EXPECT_EQ(got.assignments, want.assignments);
    }
  }
  unsetenv("HALCYRA_THREADS");
}

TEST(Kmeans, NonFiniteComponentsFlowThrough) {
  // Infinities, NaNs and distances that overflow to +infinity (which tie, so
  // the point goes to the lowest such cluster, or to cluster 0 when nothing is
  // finite). k = 40 puts real centroids and padding in the same lanes.
  const std::vector<float> pts = {1.0f, 2.0f,   kInf,   0.0f,    3.0f,   kNaN,  -1.0f, -2.0f,
                                  3e38f, 3e38f, -3e38f, -3e38f,  0.5f,   0.5f,  -kInf, 1.0f};
  for (size_t k : {3, 40}) {
    for (uint64_t seed = 1; seed <= 20; ++seed) {
      TrainRng rng(seed);
      ReferenceRng ref{seed};
      KmeansResult got = Kmeans(pts.data(), 8, 2, k, 3, &rng);
      KmeansResult want = ReferenceKmeans(pts, 8, 2, k, 3, &ref);
      EXPECT_TRUE(SameBits(got.centroids, want.centroids)) << k << " " << seed;
      EXPECT_EQ(got.assignments, want.assignments) << k << " " << seed;
    }
  }
  // Seed 1 draws point 1 (-3e38) into both slots (outputs 0x...dd1d and
  // 0x...651d are odd). Point 0 is at +infinity from both, so both go to
  // cluster 0, whose mean becomes 0; cluster 1 is reseeded with point 1
  // (0x...1f57 is odd). Finally point 0 is again at +infinity from both
  // centroids and stays in cluster 0; point 1 sits on centroid 1.
  const std::vector<float> far = {3e38f, -3e38f};
  TrainRng rng(1);
  KmeansResult r = Kmeans(far.data(), 2, 1, 2, 1, &rng);
  EXPECT_EQ(r.centroids, std::vector<float>({0.0f, -3e38f}));
  EXPECT_EQ(r.assignments, std::vector<uint32_t>({0, 1}));
}

TEST(AssignNearest, EveryInstructionSetMatchesTheSequentialScan) {
  // Point counts around the 8-, 16- and 32-point tiles, odd and even centroid
  // counts, exact duplicates (ties), infinities, NaNs and overflowing
  // distances.
  struct Case {
    size_t n, d, k;
  };
  const Case cases[] = {{1, 1, 1}, {7, 3, 2}, {8, 4, 5}, {17, 2, 256}, {33, 16, 33}, {100, 128, 9}, {64, 5, 64}};
  std::mt19937 gen(3);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  const float odd_values[] = {kInf, -kInf, kNaN, 3e38f, -3e38f, 0.0f, -0.0f};
  for (const Case& c : cases) {
    std::vector<float> pts(c.n * c.d), cents(c.k * c.d);
    for (float& v : pts) v = normal(gen);
    for (float& v : cents) v = normal(gen);
    // Centroid 0 repeated later, point 1 sitting on centroid 0, and a few
    // odd values sprinkled over both.
    if (c.k > 2) std::copy_n(cents.begin(), c.d, cents.begin() + (c.k - 1) * c.d);
    if (c.n > 1) std::copy_n(cents.begin(), c.d, pts.begin() + c.d);
    for (size_t s = 0; s < std::size(odd_values) && c.n > 3; ++s) {
      pts[(gen() % c.n) * c.d + gen() % c.d] = odd_values[s];
      if (s % 2 == 0) cents[(gen() % c.k) * c.d + gen() % c.d] = odd_values[s];
    }
    const std::vector<uint32_t> want = ReferenceAssign(pts, c.n, c.d, cents, c.k);
    for (Isa isa : {Isa::kBaseline, Isa::kAvx2, Isa::kAvx512}) {
      if (!IsaAvailable(isa)) continue;
      std::vector<uint32_t> got(c.n, 12345);
      AssignNearest(isa, pts.data(), c.n, c.d, cents.data(), c.k, got.data());
      EXPECT_EQ(got, want) << "isa " << static_cast<int>(isa) << ", " << c.n << "x" << c.d << " k=" << c.k;
    }
  }
  EXPECT_TRUE(IsaAvailable(Isa::kBaseline));
  EXPECT_TRUE(IsaAvailable(BestIsa()));
}

TEST(Kmeans, FindsWellSeparatedClusters) {
  // 3 tight clusters of 40 points in 6 dimensions and 12 centroids: with these
  // draws every cluster receives seeds, so no centroid may gather points of two
  // clusters, and each settles near its cluster's center.
  std::mt19937 gen(5);
  std::normal_distribution<float> noise(0.0f, 0.05f);
  const float centers[3][6] = {{0, 0, 0, 0, 0, 0}, {10, 10, 0, 0, 0, 0}, {0, 0, 0, 0, -10, 10}};
  std::vector<float> pts;
  std::vector<int> truth;
  for (int i = 0; i < 120; ++i) {
    for (int t = 0; t < 6; ++t) pts.push_back(centers[i % 3][t] + noise(gen));
    truth.push_back(i % 3);
  }
  TrainRng rng(11);
  KmeansResult r = Kmeans(pts.data(), 120, 6, 12, 10, &rng);
  // No centroid is shared between clusters, and each centroid sits near its cluster's center.
  std::vector<int> cluster_of(12, -1);
  for (int i = 0; i < 120; ++i) {
    int& owner = cluster_of[r.assignments[i]];
    if (owner == -1) owner = truth[i];
    EXPECT_EQ(owner, truth[i]) << "point " << i;
  }
  for (size_t c = 0; c < 12; ++c) {
    if (cluster_of[c] == -1) continue;
    for (int t = 0; t < 6; ++t) EXPECT_NEAR(r.centroids[c * 6 + t], centers[cluster_of[c]][t], 0.2f);
  }
}

}  // namespace
}  // namespace halcyra
