#include "halcyra/vector_index.h"
#include "vector/training.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "vector_reference.h"

namespace halcyra {
namespace {

using namespace reference;

IvfPqParams Params(uint64_t dim, uint64_t nlist, uint64_t m, uint8_t nbits, Metric metric = Metric::kL2,
                   uint64_t iters = 5, uint64_t seed = 1) {
  IvfPqParams p;
  p.dim = dim;
  p.nlist = nlist;
  p.m = m;
  p.kmeans_iters = iters;
  p.seed = seed;
  p.nbits = nbits;
  p.metric = metric;
  return p;
}

std::vector<StagedVector> RandomItems(size_t n, size_t dim, uint32_t seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<StagedVector> items;
  for (size_t i = 0; i < n; ++i) {
    StagedVector item{static_cast<DocId>(1000 + i), std::vector<float>(dim)};
    for (float& v : item.vector) v = normal(gen);
    items.push_back(std::move(item));
  }
  return items;
}

IvfPqIndex Train(const std::vector<StagedVector>& items, const IvfPqParams& p) {
  Result<IvfPqIndex> r = TrainIvfPq(items, p);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
  return r.ok() ? std::move(r).value() : IvfPqIndex{};
}

void ExpectSameModel(const IvfPqIndex& got, const IvfPqIndex& want) {
  EXPECT_TRUE(SameBits(got.centroids, want.centroids));
  EXPECT_TRUE(SameBits(got.codebooks, want.codebooks));
  EXPECT_EQ(got.list_ids, want.list_ids);
  EXPECT_EQ(got.list_codes, want.list_codes);
  EXPECT_EQ(got.opq.has_value(), want.opq.has_value());
  EXPECT_EQ(got.dim, want.dim);
  EXPECT_EQ(got.nlist, want.nlist);
  EXPECT_EQ(got.m, want.m);
  EXPECT_EQ(got.n, want.n);
  EXPECT_EQ(got.metric, want.metric);
  EXPECT_EQ(got.nbits, want.nbits);
}

std::string TrainError(const std::vector<StagedVector>& items, const IvfPqParams& p) {
  Result<IvfPqIndex> r = TrainIvfPq(items, p);
  if (r.ok()) return "ok";
  EXPECT_EQ(r.error().code(), ErrorCode::kVector);
  return r.error().message();
}

TEST(TrainIvfPq, ValidationOrderAndMessages) {
  const std::vector<StagedVector> none;
  const std::vector<StagedVector> good = RandomItems(3, 4, 1);
  std::vector<StagedVector> last_short = RandomItems(3, 4, 1);
  last_short.back().vector.pop_back();

  // No input comes before every parameter check.
  EXPECT_EQ(TrainError(none, Params(0, 0, 0, 0)), "no input vectors");
  EXPECT_EQ(TrainError(none, Params(4, 2, 2, 8)), "no input vectors");
  // dim/m, then nbits, then nlist, then vector lengths.
  for (auto [dim, m] : {std::pair{0, 1}, {4, 0}, {4, 3}, {0, 0}}) {
    EXPECT_EQ(TrainError(last_short, Params(dim, 0, m, 9)), "bad params: dim/m: need dim>0, m>0, m|dim");
  }
  EXPECT_EQ(TrainError(last_short, Params(4, 0, 2, 0)), "bad params: nbits must be in 1..=8");
  EXPECT_EQ(TrainError(last_short, Params(4, 0, 2, 9)), "bad params: nbits must be in 1..=8");
  EXPECT_EQ(TrainError(last_short, Params(4, 0, 2, 8)), "bad params: nlist must be >= 1");
  EXPECT_EQ(TrainError(last_short, Params(4, 1, 2, 8)), "a vector's length != params.dim");
  std::vector<StagedVector> last_long = RandomItems(3, 4, 1);
  last_long.back().vector.push_back(0.0f);
  EXPECT_EQ(TrainError(last_long, Params(4, 1, 2, 8)), "a vector's length != params.dim");
  EXPECT_EQ(TrainError(good, Params(4, 1, 2, 8)), "ok");
  EXPECT_EQ(TrainError(good, Params(4, 1, 4, 1)), "ok");
}

TEST(TrainIvfPq, MatchesSequentialReference) {
  struct Case {
    size_t n, dim, nlist, m;
    uint8_t nbits;
    Metric metric;
    uint64_t iters, seed;
  };
  const Case cases[] = {
      {200, 8, 6, 4, 4, Metric::kL2, 4, 1},
      {200, 8, 6, 2, 3, Metric::kInnerProduct, 3, 99},
      {150, 12, 40, 3, 8, Metric::kL2, 2, 7},         // 256 codewords, more than the points
      {10, 4, 8, 2, 8, Metric::kInnerProduct, 2, 5},   // 10 items, 256 codewords each
      {5, 6, 100, 6, 1, Metric::kL2, 3, 0},            // nlist clamped to 5; seed 0
      {70, 32, 33, 8, 5, Metric::kInnerProduct, 3, 12345},
      {400, 12, 1, 6, 4, Metric::kL2, 4, 3},            // sub-space 2 constant: it alone reseeds
  };
  for (const Case& c : cases) {
    std::vector<StagedVector> items = RandomItems(c.n, c.dim, static_cast<uint32_t>(c.n + c.dim));
    if (c.n == 400) {
      for (StagedVector& item : items) item.vector[4] = item.vector[5] = 1.0f;
    }
    const IvfPqParams p = Params(c.dim, c.nlist, c.m, c.nbits, c.metric, c.iters, c.seed);
    SCOPED_TRACE(std::to_string(c.n) + "x" + std::to_string(c.dim) + " nlist " + std::to_string(c.nlist));
    // Sub-spaces are trained side by side, a wave per thread count, and
    // trained again in turn after the first that reseeds an empty cluster.
    for (const char* threads : {"1", "2", "3", "8"}) {
      SCOPED_TRACE(std::string("HALCYRA_THREADS=") + threads);
      setenv("HALCYRA_THREADS", threads, 1);
      ExpectSameModel(Train(items, p), ReferenceTrain(items, p));
    }
    unsetenv("HALCYRA_THREADS");
    IvfPqIndex got = Train(items, p);
    ExpectSameModel(got, ReferenceTrain(items, p));
    EXPECT_EQ(got.nlist, std::min(c.nlist, c.n));
    // Shape invariants.
    ASSERT_EQ(got.list_ids.size(), got.nlist);
    ASSERT_EQ(got.list_codes.size(), got.nlist);
    size_t total = 0;
    for (size_t l = 0; l < got.nlist; ++l) {
      EXPECT_EQ(got.list_codes[l].size(), got.list_ids[l].size() * c.m);
      for (uint8_t code : got.list_codes[l]) EXPECT_LT(code, 1u << c.nbits);
      total += got.list_ids[l].size();
    }
    EXPECT_EQ(total, c.n);
    EXPECT_EQ(got.centroids.size(), got.nlist * c.dim);
    EXPECT_EQ(got.codebooks.size(), (size_t{1} << c.nbits) * c.dim);
    EXPECT_FALSE(got.opq.has_value());
    // Training keeps no state: a second run is identical.
    ExpectSameModel(Train(items, p), got);
  }
}

TEST(TrainIvfPq, SingleItem) {
  // nlist 8 trains one cluster on the scaled vector (3, 4) -> (0.6, 0.8);
  // the residual is zero, so every codeword is zero.
  const std::vector<StagedVector> items = {{42, {3.0f, 4.0f}}};
  IvfPqIndex model = Train(items, Params(2, 8, 2, 2, Metric::kInnerProduct));
  EXPECT_EQ(model.nlist, 1u);
  EXPECT_EQ(model.n, 1u);
  EXPECT_EQ(model.centroids, std::vector<float>({3.0f / 5.0f, 4.0f / 5.0f}));
  EXPECT_EQ(model.centroids, std::vector<float>({0.6f, 0.8f}));
  EXPECT_EQ(model.codebooks, std::vector<float>(8, 0.0f));
  EXPECT_EQ(model.list_ids, std::vector<std::vector<DocId>>({{42}}));
  EXPECT_EQ(model.list_codes, std::vector<std::vector<uint8_t>>({{0, 0}}));

  // L2 keeps the raw vector.
  IvfPqIndex l2 = Train(items, Params(2, 8, 1, 1, Metric::kL2));
  EXPECT_EQ(l2.centroids, std::vector<float>({3.0f, 4.0f}));
}

TEST(TrainIvfPq, InnerProductScaling) {
  // (0,0,0) stays zero, (1,1,1) is divided by sqrt(3) per component (not
  // multiplied by a reciprocal), (0,-2,0) becomes (0,-1,0). One list, one
  // iteration: the centroid is the mean of the scaled vectors, summed in order.
  const std::vector<StagedVector> items = {
      {1, {0.0f, 0.0f, 0.0f}}, {2, {1.0f, 1.0f, 1.0f}}, {3, {0.0f, -2.0f, 0.0f}}};
  IvfPqParams p = Params(3, 1, 1, 1, Metric::kInnerProduct, 1);
  IvfPqIndex model = Train(items, p);
  const float r = 1.0f / std::sqrt(3.0f);
  const float third = 1.0f / 3.0f;
  EXPECT_EQ(model.centroids, std::vector<float>({(0.0f + 0.0f + r + 0.0f) * third,
                                                 (0.0f + 0.0f + r + -1.0f) * third,
                                                 (0.0f + 0.0f + r + 0.0f) * third}));
  ExpectSameModel(model, ReferenceTrain(items, p));
}

TEST(TrainIvfPq, IterationsAndSeedDefaults) {
  std::vector<StagedVector> items = RandomItems(60, 4, 3);
  ExpectSameModel(Train(items, Params(4, 5, 2, 3, Metric::kL2, 0, 9)),
                  Train(items, Params(4, 5, 2, 3, Metric::kL2, 1, 9)));
  ExpectSameModel(Train(items, Params(4, 5, 2, 3, Metric::kL2, 3, 0)),
                  Train(items, Params(4, 5, 2, 3, Metric::kL2, 3, TrainRng::kZeroSeedState)));
  // A different seed is a different model (different initial draws).
  EXPECT_NE(Train(items, Params(4, 5, 2, 3, Metric::kL2, 3, 1)).centroids,
            Train(items, Params(4, 5, 2, 3, Metric::kL2, 3, 2)).centroids);
}

TEST(TrainIvfPq, DuplicateIdsAreListedTwiceInStagingOrder) {
  const std::vector<StagedVector> items = {
      {7, {1.0f, 0.0f}}, {5, {10.0f, 0.0f}}, {7, {1.0f, 0.0f}}, {3, {1.0f, 0.1f}}, {9, {10.0f, 0.1f}}};
  IvfPqIndex model = Train(items, Params(2, 1, 1, 2, Metric::kL2));
  EXPECT_EQ(model.list_ids, std::vector<std::vector<DocId>>({{7, 5, 7, 3, 9}}));
  // The two copies of id 7 are the same vector, so they share their code.
  ASSERT_EQ(model.list_codes[0].size(), 5u);
  EXPECT_EQ(model.list_codes[0][0], model.list_codes[0][2]);
}

TEST(TrainIvfPq, ClusteredDataLandsInSeparateListsWithSmallPqError) {
  // 4 centers far apart in 16 dimensions, 100 points each with small noise.
  const size_t dim = 16, m = 4, dsub = 4, per = 100;
  std::mt19937 gen(17);
  std::normal_distribution<float> noise(0.0f, 0.1f);
  std::uniform_real_distribution<float> uniform(-20.0f, 20.0f);
  std::vector<std::vector<float>> centers(4, std::vector<float>(dim));
  for (auto& c : centers) {
    for (float& v : c) v = uniform(gen);
  }
  std::vector<StagedVector> items;
  for (size_t i = 0; i < 4 * per; ++i) {
    StagedVector item{static_cast<DocId>(i), centers[i % 4]};
    for (float& v : item.vector) v += noise(gen);
    items.push_back(std::move(item));
  }
  // 16 lists for 4 clusters: with these draws every cluster receives initial
  // seeds, and no list may straddle two clusters.
  IvfPqIndex model = Train(items, Params(dim, 16, m, 6, Metric::kL2, 10, 3));
  for (size_t l = 0; l < model.nlist; ++l) {
    for (DocId id : model.list_ids[l]) EXPECT_EQ(id % 4, model.list_ids[l][0] % 4) << "list " << l;
  }
  // Reconstruct each vector as centroid + codewords: the error is a small
  // fraction of the noise energy (dim * 0.01 per vector; about a ninth here).
  const size_t ksub = 64;
  double err = 0.0;
  for (size_t l = 0; l < model.nlist; ++l) {
    for (size_t k = 0; k < model.list_ids[l].size(); ++k) {
      const std::vector<float>& v = items[model.list_ids[l][k]].vector;
      for (size_t j = 0; j < m; ++j) {
        const uint8_t code = model.list_codes[l][k * m + j];
        for (size_t t = 0; t < dsub; ++t) {
          const float rec = model.centroids[l * dim + j * dsub + t] + model.codebooks[(j * ksub + code) * dsub + t];
          err += (v[j * dsub + t] - rec) * (v[j * dsub + t] - rec);
        }
      }
    }
  }
  const double mse = err / static_cast<double>(items.size());
  EXPECT_LT(mse, 0.25 * dim * 0.01);
}

TEST(MetricFromName, NamesInAnyCase) {
  for (const char* name : {"ip", "dot", "cosine", "inner_product", "IP", "Cosine", "INNER_PRODUCT", "dOt"}) {
    EXPECT_EQ(MetricFromName(name), Metric::kInnerProduct) << name;
  }
  for (const char* name : {"l2", "L2", "euclidean", "Euclidean", "EUCLIDEAN"}) {
    EXPECT_EQ(MetricFromName(name), Metric::kL2) << name;
  }
  for (const char* name : {"", "l1", "ip ", "cos", "euclid", "inner-product"}) {
    EXPECT_EQ(MetricFromName(name), std::nullopt) << name;
  }
  EXPECT_EQ(static_cast<uint8_t>(Metric::kInnerProduct), 0);
  EXPECT_EQ(static_cast<uint8_t>(Metric::kL2), 1);
}

struct Parts {
  std::vector<float> centroids, codebooks;
  std::vector<DocId> ids;
  std::vector<uint32_t> assignments;
  std::vector<uint8_t> codes;
  std::optional<std::vector<float>> opq;
  uint64_t dim = 4, nlist = 2, m = 2;
  uint8_t nbits = 2;
};

// dim 4, nlist 2, m 2, nbits 2: 8 centroid floats, 16 codebook floats, 3 vectors.
Parts ValidParts() {
  Parts p;
  p.centroids.assign(8, 0.5f);
  p.codebooks.assign(16, 0.25f);
  p.ids = {30, 10, 20};
  p.assignments = {1, 0, 1};
  p.codes = {0, 1, 2, 3, 3, 0};
  return p;
}

Result<IvfPqIndex> Assemble(Parts p) {
  return AssembleIvfPq(std::move(p.centroids), std::move(p.codebooks), std::move(p.ids),
                        std::move(p.assignments), std::move(p.codes), std::move(p.opq), p.dim, p.nlist, p.m,
                        p.nbits, Metric::kL2);
}

std::string AssembleError(Parts p) {
  Result<IvfPqIndex> r = Assemble(std::move(p));
  if (r.ok()) return "ok";
  EXPECT_EQ(r.error().code(), ErrorCode::kVector);
  return r.error().message();
}

TEST(AssembleIvfPq, BuildsListsInInputOrder) {
  Parts p = ValidParts();
  p.opq = std::vector<float>(16, 1.0f);
  Result<IvfPqIndex> r = Assemble(p);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->list_ids, std::vector<std::vector<DocId>>({{10}, {30, 20}}));
  EXPECT_EQ(r->list_codes, std::vector<std::vector<uint8_t>>({{2, 3}, {0, 1, 3, 0}}));
  EXPECT_EQ(r->centroids, p.centroids);
  EXPECT_EQ(r->codebooks, p.codebooks);
  EXPECT_EQ(r->opq, p.opq);
  EXPECT_EQ(r->n, 3u);
  EXPECT_EQ(r->nlist, 2u);
  EXPECT_EQ(r->metric, Metric::kL2);

  // No vectors at all: every list is empty.
  Parts empty = ValidParts();
  empty.ids.clear();
  empty.assignments.clear();
  empty.codes.clear();
  Result<IvfPqIndex> e = Assemble(empty);
  ASSERT_TRUE(e.ok());
  EXPECT_EQ(e->n, 0u);
  EXPECT_EQ(e->list_ids, std::vector<std::vector<DocId>>(2));
  EXPECT_EQ(e->list_codes, std::vector<std::vector<uint8_t>>(2));
}

TEST(AssembleIvfPq, ValidationOrderAndMessages) {
  EXPECT_EQ(AssembleError(ValidParts()), "ok");
  Parts p = ValidParts();
  // Each step breaks one more check, so every message must come from the
  // earliest failing one.
  p.codes = {0, 1, 2, 3, 3, 4};
  p.nbits = 2;
  EXPECT_EQ(AssembleError(p), "bad params: a code >= ksub (1<<nbits)");
  p.assignments = {1, 2, 0};
  EXPECT_EQ(AssembleError(p), "bad params: an assignment >= nlist");
  p.codes.pop_back();
  EXPECT_EQ(AssembleError(p), "bad params: codes length != ids length * m");
  p.assignments.pop_back();
  EXPECT_EQ(AssembleError(p), "bad params: assignments length != ids length");
  p.opq = std::vector<float>(15);
  EXPECT_EQ(AssembleError(p), "bad params: opq length != dim*dim");
  p.codebooks.push_back(0.0f);
  EXPECT_EQ(AssembleError(p), "bad params: codebooks length != m*ksub*dsub");
  p.centroids.pop_back();
  EXPECT_EQ(AssembleError(p), "bad params: centroids length != nlist*dim");
  p.nlist = 0;
  EXPECT_EQ(AssembleError(p), "bad params: nlist must be >= 1");
  p.nbits = 9;
  EXPECT_EQ(AssembleError(p), "bad params: nbits must be in 1..=8");
  p.nbits = 0;
  EXPECT_EQ(AssembleError(p), "bad params: nbits must be in 1..=8");
  p.m = 3;
  EXPECT_EQ(AssembleError(p), "bad params: dim/m: need dim>0, m>0, m|dim");
  p.m = 0;
  EXPECT_EQ(AssembleError(p), "bad params: dim/m: need dim>0, m>0, m|dim");
  p.m = 2;
  p.dim = 0;
  EXPECT_EQ(AssembleError(p), "bad params: dim/m: need dim>0, m>0, m|dim");
}

TEST(AssembleIvfPq, CodeRangeOnlyBelowEightBits) {
  Parts p = ValidParts();
  p.nbits = 8;
  p.codebooks.assign(256 * 4, 0.0f);
  p.codes = {255, 254, 0, 1, 200, 100};
  EXPECT_EQ(AssembleError(p), "ok");
  Parts four = ValidParts();
  four.nbits = 4;
  four.codebooks.assign(16 * 4, 0.0f);
  four.codes = {15, 0, 0, 0, 0, 15};
  EXPECT_EQ(AssembleError(four), "ok");
  four.codes[2] = 16;
  EXPECT_EQ(AssembleError(four), "bad params: a code >= ksub (1<<nbits)");
}

TEST(AssembleIvfPq, OverflowingSizesNeverMatch) {
  // nlist * dim wraps to 0 in 64 bits; an empty centroid array must not pass.
  Parts p = ValidParts();
  p.dim = uint64_t{1} << 32;
  p.m = 1;
  p.nlist = uint64_t{1} << 32;
  p.centroids.clear();
  EXPECT_EQ(AssembleError(p), "bad params: centroids length != nlist*dim");
}

}  // namespace
}  // namespace halcyra
