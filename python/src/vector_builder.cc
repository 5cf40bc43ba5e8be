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

struct NewArgs {
  uint64_t dim = 0;
  uint64_t nlist = 0;
  uint64_t m = 0;
  uint8_t nbits = 8;
  std::string metric = "ip";
  uint64_t kmeans_iters = 25;
  std::optional<uint64_t> seed;
};
constexpr auto kNew =
    MakeParams<NewArgs>("VectorBuilder.__new__", 3, Param{"dim", &NewArgs::dim}, Param{"nlist", &NewArgs::nlist},
                        Param{"m", &NewArgs::m}, Param{"nbits", &NewArgs::nbits}, Param{"metric", &NewArgs::metric},
                        Param{"kmeans_iters", &NewArgs::kmeans_iters}, Param{"seed", &NewArgs::seed});

PyObject* New(PyTypeObject* type, NewArgs& a) {
  Result<Metric> checked = CheckVectorParams(a.dim, a.nlist, a.m, a.nbits, a.metric);
  if (!checked.ok()) return RaiseError(checked.error());
  VectorBuilderState state;
  state.params =
      IvfPqParams{a.dim, a.nlist, a.m, a.kmeans_iters, a.seed.value_or(kDefaultVectorSeed), a.nbits, *checked};
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

struct AddArgs {
  DocId doc_id = 0;
  std::vector<float> vector;
};
constexpr auto kAdd =
    MakeParams<AddArgs>("VectorBuilder.add", 2, Param{"doc_id", &AddArgs::doc_id}, Param{"vector", &AddArgs::vector});

PyObject* Add(VectorBuilderState& state, AddArgs& a) {
  if (!Stage(state, a.doc_id, std::move(a.vector))) return nullptr;
  Py_RETURN_NONE;
}

struct AddManyArgs {
  std::vector<std::tuple<DocId, std::vector<float>>> items;  // all convert before any is staged
};
constexpr auto kAddMany = MakeParams<AddManyArgs>("VectorBuilder.add_many", 1, Param{"items", &AddManyArgs::items});

PyObject* AddMany(VectorBuilderState& state, AddManyArgs& a) {
  for (auto& [doc_id, vector] : a.items) {
    if (!Stage(state, doc_id, std::move(vector))) return nullptr;  // earlier pairs stay staged
  }
  Py_RETURN_NONE;
}

struct BuildArgs {
  Path out_path;
};
constexpr auto kBuild = MakeParams<BuildArgs>("VectorBuilder.build", 1, Param{"out_path", &BuildArgs::out_path});

PyObject* Build(VectorBuilderState& state, BuildArgs& a) {
  if (state.staged.size() > UINT32_MAX) {
    return RaiseError(Error::InvalidArgument("more vectors than the 32-bit list lengths of the vector-index file hold"));
  }
  Result<IvfPqIndex> model = WithoutGil([&]() -> Result<IvfPqIndex> {
    Result<IvfPqIndex> trained = TrainIvfPq(state.staged, state.params);
    if (!trained.ok()) return trained;
    HALCYRA_RETURN_IF_ERROR(WriteHyviFile(*trained, a.out_path.value));
    return trained;
  });
  if (!model.ok()) return RaiseError(model.error());
  return NewStats(VectorBuildStatsType(), {model->n, model->dim, model->nlist, model->m, model->nbits});
}

size_t Size(const VectorBuilderState& state) { return state.staged.size(); }

}  // namespace

PyObject* VectorBuilderType() {
  static PyObject* type;
  if (type == nullptr) {
    static PyMethodDef methods[] = {
        MethodEntry<VectorBuilderState, kAdd, &Add, BorrowGuard::kExclusive>(
            "add",
            "Stages one vector under `doc_id`. `vector` must have length `dim` (any\n"
            "sequence of floats \xe2\x80\x94 a Python list, tuple, or numpy row via `.tolist()`)."),
        MethodEntry<VectorBuilderState, kAddMany, &AddMany, BorrowGuard::kExclusive>(
            "add_many",
            "Stages many `(doc_id, vector)` pairs at once (one call instead of a Python\n"
            "loop). Every vector must have length `dim`."),
        MethodEntry<VectorBuilderState, kBuild, &Build, BorrowGuard::kShared>(
            "build",
            "Trains the IVFPQ index over the staged vectors and writes it to\n"
            "`out_path` (an `.hyvi` file; parent directories are created). Returns a\n"
            "[`VectorBuildStats`]. Raises `ValueError` for empty input or invalid params."),
        {nullptr, nullptr, 0, nullptr},
    };
    type = MakeClass<VectorBuilderState, kNew, &New>(
        "halcyra.VectorBuilder",
        "Accumulates `(doc_id, vector)` pairs, then trains and writes an `HYVI`\n"
        "similarity (vector) index \xe2\x80\x94 the range-fetchable sibling of the `HYS` text\n"
        "index. `doc_id` must equal the text index's doc ID so hits map to the same\n"
        "records. Wraps the core IVFPQ trainer; see `VECTORS.md` for the byte layout.",
        {
            {Py_tp_methods, methods},
            {Py_mp_length, reinterpret_cast<void*>(&Guarded<&Length<VectorBuilderState, &Size>>::Call)},
            {0, nullptr},
        });
  }
  return type;
}

}  // namespace halcyra::py
