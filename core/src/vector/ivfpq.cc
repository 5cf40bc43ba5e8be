// IVF-PQ training and assembly.
//
// Training order, which fixes the generator's sequence and so the model:
//   1. coarse k-means over all (unit-scaled, for inner product) vectors;
//   2. residuals R_i = X_i - C[a_i];
//   3. for sub-space j = 0 .. m-1: k-means over the j-th dsub-component slice
//      of every residual; its centroids are codebook j, its assignments the
//      j-th code byte of every vector;
//   4. vectors are listed under their coarse cluster in input order.
#include "vector/training.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <memory>

#include "base/parallel.h"
#include "halcyra/vector_index.h"

namespace halcyra {
namespace {

// Element-wise passes over the points (residuals, sub-space slices) are
// split into ranges of at least this many points.
constexpr size_t kMinPointsPerRange = 8192;

// The parameter checks training and assembly share, as the message of the
// first failure, or nullptr.
const char* CheckShape(uint64_t dim, uint64_t nlist, uint64_t m, uint8_t nbits) {
  if (dim == 0 || m == 0 || dim % m != 0) return "dim/m: need dim>0, m>0, m|dim";
  if (nbits < 1 || nbits > 8) return "nbits must be in 1..=8";
  if (nlist == 0) return "nlist must be >= 1";
  return nullptr;
}

// a * b, or nullopt when the product does not fit in 64 bits (and so cannot be
// the length of any array).
std::optional<uint64_t> CheckedMul(uint64_t a, uint64_t b) {
  uint64_t p;
  if (__builtin_mul_overflow(a, b, &p)) return std::nullopt;
  return p;
}

bool LengthIs(size_t length, std::optional<uint64_t> expected) {
  return expected.has_value() && length == *expected;
}

// dst = src / |src|, with |src|^2 summed in component order; a zero vector is
// copied unchanged. Divides per component: a reciprocal would round differently.
void ScaleToUnit(const std::vector<float>& src, float* dst) {
  float s = 0.0f;
  for (float v : src) s += v * v;
  if (s == 0.0f) {
    std::copy(src.begin(), src.end(), dst);
    return;
  }
  const float norm = std::sqrt(s);
  for (size_t t = 0; t < src.size(); ++t) dst[t] = src[t] / norm;
}

// Files vector i under list assignments[i], keeping input order in each list.
void FillLists(const std::vector<DocId>& ids, const std::vector<uint32_t>& assignments,
               const std::vector<uint8_t>& codes, size_t m, IvfPqIndex* model) {
  std::vector<size_t> counts(model->nlist, 0);
  for (uint32_t a : assignments) ++counts[a];
  model->list_ids.resize(model->nlist);
  model->list_codes.resize(model->nlist);
  for (size_t c = 0; c < model->nlist; ++c) {
    model->list_ids[c].reserve(counts[c]);
    model->list_codes[c].reserve(counts[c] * m);
  }
  for (size_t i = 0; i < ids.size(); ++i) {
    model->list_ids[assignments[i]].push_back(ids[i]);
    const uint8_t* code = codes.data() + i * m;
    model->list_codes[assignments[i]].insert(model->list_codes[assignments[i]].end(), code, code + m);
  }
}

}  // namespace

std::optional<Metric> MetricFromName(std::string_view name) {
  std::string lower(name);
  for (char& ch : lower) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  }
  if (lower == "ip" || lower == "dot" || lower == "cosine" || lower == "inner_product") {
    return Metric::kInnerProduct;
  }
  if (lower == "l2" || lower == "euclidean") return Metric::kL2;
  return std::nullopt;
}

Result<IvfPqIndex> TrainIvfPq(std::span<const StagedVector> items, const IvfPqParams& params) {
  if (items.empty()) return VectorBuildError::NoInputVectors().ToError();
  if (const char* bad = CheckShape(params.dim, params.nlist, params.m, params.nbits)) {
    return VectorBuildError::BadParams(bad).ToError();
  }
  for (const StagedVector& item : items) {
    if (item.vector.size() != params.dim) return VectorBuildError::DimMismatch().ToError();
  }

  const size_t n = items.size();
  const size_t dim = params.dim;
  const size_t m = params.m;
  const size_t dsub = dim / m;
  const size_t ksub = size_t{1} << params.nbits;
  const uint64_t iters = std::max<uint64_t>(1, params.kmeans_iters);
  const size_t nlist = std::min<uint64_t>(params.nlist, n);

  // X, later overwritten by the residuals; left uninitialised, so that its
  // pages are first touched by the threads that fill it.
  std::unique_ptr<float[]> x(new float[n * dim]);
  std::vector<DocId> ids(n);
  const Ranges points(n, kMinPointsPerRange);
  if (!ParallelFor(points.count(), [&](size_t p) {
        for (size_t i = points.begin(p); i < points.begin(p + 1); ++i) {
          ids[i] = items[i].doc_id;
          float* row = &x[i * dim];
          if (params.metric == Metric::kInnerProduct) {
            ScaleToUnit(items[i].vector, row);
          } else {
            std::copy(items[i].vector.begin(), items[i].vector.end(), row);
          }
        }
      })) {
    return Error::Interrupted();
  }

  TrainRng rng(params.seed);
  KmeansResult coarse = Kmeans(x.get(), n, dim, nlist, iters, &rng);
  if (coarse.interrupted) return Error::Interrupted();
  if (!ParallelFor(points.count(), [&](size_t p) {
        for (size_t i = points.begin(p); i < points.begin(p + 1); ++i) {
          const float* centroid = &coarse.centroids[coarse.assignments[i] * dim];
          float* row = &x[i * dim];
          for (size_t t = 0; t < dim; ++t) row[t] -= centroid[t];
        }
      })) {
    return Error::Interrupted();
  }

  IvfPqIndex model;
  model.codebooks.resize(m * ksub * dsub);
  std::vector<uint8_t> codes(n * m);
  // Trains sub-space j from *sub_rng into *pq, on the threads of the call or
  // on this one; false when interrupted.
  auto train_subspace = [&](size_t j, TrainRng* sub_rng, bool use_threads, std::vector<float>* sub,
                            KmeansResult* pq) {
    sub->resize(n * dsub);
    auto copy_slices = [&](size_t begin, size_t end) {
      for (size_t i = begin; i < end; ++i) {
        const float* slice = &x[i * dim + j * dsub];
        std::copy(slice, slice + dsub, &(*sub)[i * dsub]);
      }
    };
    if (!use_threads) {
      copy_slices(0, n);
    } else if (!ParallelFor(points.count(), [&](size_t p) { copy_slices(points.begin(p), points.begin(p + 1)); })) {
      return false;
    }
    *pq = Kmeans(sub->data(), n, dsub, ksub, iters, sub_rng, use_threads);
    return !pq->interrupted;
  };
  // Codebook j and code byte j of every vector. On one thread: the code bytes
  // of neighbouring sub-spaces share cache lines.
  auto keep = [&](size_t j, const KmeansResult& pq) {
    std::copy(pq.centroids.begin(), pq.centroids.end(), &model.codebooks[j * ksub * dsub]);
    for (size_t i = 0; i < n; ++i) codes[i * m + j] = static_cast<uint8_t>(pq.assignments[i]);
  };

  // Sub-space j's k-means starts from the generator as sub-space j - 1 left
  // it: after its ksub seeds and one draw more per cluster that emptied. So
  // sub-spaces are trained side by side, one per thread, each from the state
  // it would start from if those before it had drawn only their seeds. The
  // first that drew more leaves the later ones of its wave trained from the
  // wrong state, to be trained again; once that has wasted a quarter of the
  // sub-spaces, the rest are trained one at a time, each on every thread.
  // Either way the model is that of training them in turn.
  bool side_by_side = ThreadCount() > 1;
  size_t wasted = 0;
  for (size_t j = 0; j < m;) {
    const size_t wave = side_by_side ? std::min(ThreadCount(), m - j) : 1;
    if (wave == 1) {
      std::vector<float> sub;
      KmeansResult pq;
      if (!train_subspace(j, &rng, /*use_threads=*/true, &sub, &pq)) return Error::Interrupted();
      keep(j, pq);
      ++j;
      continue;
    }
    std::vector<TrainRng> starts(wave + 1, rng);  // starts[w + 1]: where sub-space j + w should end
    for (size_t w = 1; w <= wave; ++w) {
      starts[w] = starts[w - 1];
      for (size_t seed = 0; seed < ksub; ++seed) starts[w].Draw(1);
    }
    std::vector<TrainRng> rngs(starts.begin(), starts.end() - 1);
    std::vector<std::vector<float>> subs(wave);
    std::vector<KmeansResult> trained(wave);
    std::vector<char> done(wave, 0);
    if (!ParallelFor(wave,
                     [&](size_t w) { done[w] = train_subspace(j + w, &rngs[w], false, &subs[w], &trained[w]); }) ||
        std::count(done.begin(), done.end(), 0) != 0) {
      return Error::Interrupted();
    }
    size_t kept = 0;
    while (kept < wave && rngs[kept].state() == starts[kept + 1].state()) ++kept;
    if (kept < wave) ++kept;  // this one started right; only the ones after it did not
    for (size_t w = 0; w < kept; ++w) keep(j + w, trained[w]);
    wasted += wave - kept;
    side_by_side = 4 * wasted <= m;
    rng = rngs[kept - 1];
    j += kept;
  }

  model.centroids = std::move(coarse.centroids);
  model.dim = dim;
  model.nlist = nlist;
  model.m = m;
  model.n = n;
  model.metric = params.metric;
  model.nbits = params.nbits;
  FillLists(ids, coarse.assignments, codes, m, &model);
  return model;
}

Result<IvfPqIndex> AssembleIvfPq(std::vector<float> centroids, std::vector<float> codebooks,
                                  std::vector<DocId> ids, std::vector<uint32_t> assignments,
                                  std::vector<uint8_t> codes, std::optional<std::vector<float>> opq,
                                  uint64_t dim, uint64_t nlist, uint64_t m, uint8_t nbits, Metric metric) {
  auto bad = [](const char* message) { return VectorBuildError::BadParams(message).ToError(); };
  if (const char* message = CheckShape(dim, nlist, m, nbits)) return bad(message);
  const uint64_t ksub = uint64_t{1} << nbits;
  const uint64_t n = ids.size();
  if (!LengthIs(centroids.size(), CheckedMul(nlist, dim))) return bad("centroids length != nlist*dim");
  // m * ksub * dsub = ksub * dim, since m divides dim.
  if (!LengthIs(codebooks.size(), CheckedMul(ksub, dim))) return bad("codebooks length != m*ksub*dsub");
  if (opq.has_value() && !LengthIs(opq->size(), CheckedMul(dim, dim))) return bad("opq length != dim*dim");
  if (assignments.size() != n) return bad("assignments length != ids length");
  if (!LengthIs(codes.size(), CheckedMul(n, m))) return bad("codes length != ids length * m");
  for (uint32_t a : assignments) {
    if (a >= nlist) return bad("an assignment >= nlist");
  }
  if (nbits < 8) {
    for (uint8_t code : codes) {
      if (code >= ksub) return bad("a code >= ksub (1<<nbits)");
    }
  }

  IvfPqIndex model;
  model.centroids = std::move(centroids);
  model.codebooks = std::move(codebooks);
  model.opq = std::move(opq);
  model.dim = dim;
  model.nlist = nlist;
  model.m = m;
  model.n = n;
  model.metric = metric;
  model.nbits = nbits;
  FillLists(ids, assignments, codes, m, &model);
  return model;
}

}  // namespace halcyra
