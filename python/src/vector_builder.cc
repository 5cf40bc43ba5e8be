// VectorBuilder: stages (doc_id, vector) pairs, then trains and writes an
// IVF-PQ vector index.
#include "contents.h"
#include "halcyra/vector_index.h"
#include "stats.h"

namespace halcyra::py {
namespace {

struct VectorBuilderState {
  IvfPqParams params;
  std::vector<StagedVector> staged;
};

PyObject* New(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr Params<7> kParams{
      "VectorBuilder.__new__", {"dim", "nlist", "m", "nbits", "metric", "kmeans_iters", "seed"}, 3};
  uint64_t dim, nlist, m, kmeans_iters = 25;
  uint8_t nbits = 8;
  std::string metric = "ip";
  std::optional<uint64_t> seed;
  if (!ParseArgs(kParams, Call::FromTuple(args, kwargs), dim, nlist, m, nbits, metric, kmeans_iters, seed)) {
    return nullptr;
  }
  Result<Metric> checked = CheckVectorParams(dim, nlist, m, nbits, metric);
  if (!checked.ok()) return RaiseError(checked.error());
  VectorBuilderState state;
  state.params = IvfPqParams{dim, nlist, m, kmeans_iters, seed.value_or(kDefaultVectorSeed), nbits, *checked};
  return NewObject(type, std::move(state));
}

// Stages one pair, or raises ValueError for a vector of the wrong length.
bool Stage(VectorBuilderState& state, DocId doc_id, std::vector<float> vector) {
  if (vector.size() != state.params.dim) {
    PyErr_Format(PyExc_ValueError, "vector has length %zu, expected dim %llu", vector.size(),
                 static_cast<unsigned long long>(state.params.dim));
    return false;
  }
  state.staged.push_back(StagedVector{doc_id, std::move(vector)});
  return true;
}

PyObject* Add(VectorBuilderState& state, const Call& call) {
  static constexpr Params<2> kParams{"VectorBuilder.add", {"doc_id", "vector"}, 2};
  DocId doc_id;
  std::vector<float> vector;
  if (!ParseArgs(kParams, call, doc_id, vector)) return nullptr;
  if (!Stage(state, doc_id, std::move(vector))) return nullptr;
  Py_RETURN_NONE;
}

PyObject* AddMany(VectorBuilderState& state, const Call& call) {
  static constexpr Params<1> kParams{"VectorBuilder.add_many", {"items"}, 1};
  std::vector<std::tuple<DocId, std::vector<float>>> items;  // all convert before any is staged
  if (!ParseArgs(kParams, call, items)) return nullptr;
  for (auto& [doc_id, vector] : items) {
    if (!Stage(state, doc_id, std::move(vector))) return nullptr;  // earlier pairs stay staged
  }
  Py_RETURN_NONE;
}

PyObject* Build(VectorBuilderState& state, const Call& call) {
  static constexpr Params<1> kParams{"VectorBuilder.build", {"out_path"}, 1};
  std::string out_path;
  if (!ParseArgs(kParams, call, out_path)) return nullptr;
  if (state.staged.size() > UINT32_MAX) {
    return RaiseError(Error::InvalidArgument("more vectors than the 32-bit list lengths of the vector-index file hold"));
  }
  Result<IvfPqIndex> model = TrainIvfPq(state.staged, state.params);
  if (!model.ok()) return RaiseError(model.error());
  if (Status written = WriteHyviFile(*model, out_path); !written.ok()) return RaiseError(written.error());
  return NewStats(VectorBuildStatsType(), {model->n, model->dim, model->nlist, model->m, model->nbits});
}

size_t Size(const VectorBuilderState& state) { return state.staged.size(); }

PyMethodDef kMethods[] = {
    MethodEntry<VectorBuilderState, &Add, BorrowGuard::kExclusive>(
        "add",
        "add($self, doc_id, vector)\n--\n\n"
        "Stages one vector under `doc_id`. `vector` must have length `dim` (any\n"
        "sequence of floats \xe2\x80\x94 a Python list, tuple, or numpy row via `.tolist()`)."),
    MethodEntry<VectorBuilderState, &AddMany, BorrowGuard::kExclusive>(
        "add_many",
        "add_many($self, items)\n--\n\n"
        "Stages many `(doc_id, vector)` pairs at once (one call instead of a Python\n"
        "loop). Every vector must have length `dim`."),
    MethodEntry<VectorBuilderState, &Build, BorrowGuard::kShared>(
        "build",
        "build($self, out_path)\n--\n\n"
        "Trains the IVFPQ index over the staged vectors and writes it to\n"
        "`out_path` (an `.hyvi` file; parent directories are created). Returns a\n"
        "[`VectorBuildStats`]. Raises `ValueError` for empty input or invalid params."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* VectorBuilderType() {
  static PyObject* type;
  if (type == nullptr) {
    type = MakeClass<VectorBuilderState>(
        "halcyra.VectorBuilder",
        {
            {Py_tp_doc,
             const_cast<char*>(
                 "VectorBuilder(dim, nlist, m, nbits=8, metric=\"ip\", kmeans_iters=25, seed=None)\n--\n\n"
                 "Accumulates `(doc_id, vector)` pairs, then trains and writes an `HYVI`\n"
                 "similarity (vector) index \xe2\x80\x94 the range-fetchable sibling of the `HYS` text\n"
                 "index. `doc_id` must equal the text index's doc ID so hits map to the same\n"
                 "records. Wraps the core IVFPQ trainer; see `VECTORS.md` for the byte layout.")},
            {Py_tp_new, reinterpret_cast<void*>(&Guarded<&New>::Call)},
            {Py_tp_methods, kMethods},
            {Py_mp_length, reinterpret_cast<void*>(&Guarded<&Length<VectorBuilderState, &Size>>::Call)},
            {0, nullptr},
        });
  }
  return type;
}

}  // namespace halcyra::py
