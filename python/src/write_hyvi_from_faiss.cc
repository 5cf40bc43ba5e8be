// write_hyvi_from_faiss: writes a vector index from parts trained elsewhere.
#include "contents.h"
#include "halcyra/vector_index.h"
#include "stats.h"

namespace halcyra::py {
namespace {

struct WriteHyviArgs {
  Path out_path;
  uint64_t dim = 0;
  uint64_t nlist = 0;
  uint64_t m = 0;
  // Read in place, with the lock held: decoded before the core's work.
  BytesView centroids, codebooks, ids, assignments, codes;
  uint8_t nbits = 8;
  std::string metric = "ip";
  std::optional<BytesView> opq;
};
constexpr auto kWriteHyvi = MakeParams<WriteHyviArgs>(
    "write_hyvi_from_faiss", 9, Param{"out_path", &WriteHyviArgs::out_path}, Param{"dim", &WriteHyviArgs::dim},
    Param{"nlist", &WriteHyviArgs::nlist}, Param{"m", &WriteHyviArgs::m},
    Param{"centroids", &WriteHyviArgs::centroids}, Param{"codebooks", &WriteHyviArgs::codebooks},
    Param{"ids", &WriteHyviArgs::ids}, Param{"assignments", &WriteHyviArgs::assignments},
    Param{"codes", &WriteHyviArgs::codes}, Param{"nbits", &WriteHyviArgs::nbits},
    Param{"metric", &WriteHyviArgs::metric}, Param{"opq", &WriteHyviArgs::opq});

PyObject* WriteHyviFromFaiss(WriteHyviArgs& a) {
  Result<Metric> checked = CheckVectorParams(a.dim, a.nlist, a.m, a.nbits, a.metric);
  if (!checked.ok()) return RaiseError(checked.error());

  // dim and nlist fit 32 bits now, so none of these counts overflows.
  const uint64_t ksub = uint64_t{1} << a.nbits;
  Result<std::vector<float>> centroid_values = DecodeF32Array("centroids", a.centroids.view(), a.nlist * a.dim);
  if (!centroid_values.ok()) return RaiseError(centroid_values.error());
  Result<std::vector<float>> codebook_values = DecodeF32Array("codebooks", a.codebooks.view(), ksub * a.dim);
  if (!codebook_values.ok()) return RaiseError(codebook_values.error());
  std::optional<std::vector<float>> opq_values;
  if (a.opq) {
    Result<std::vector<float>> decoded = DecodeF32Array("opq", a.opq->view(), a.dim * a.dim);
    if (!decoded.ok()) return RaiseError(decoded.error());
    opq_values = std::move(decoded).value();
  }
  Result<std::vector<uint32_t>> id_values = DecodeU32Array("ids", a.ids.view());
  if (!id_values.ok()) return RaiseError(id_values.error());
  Result<std::vector<uint32_t>> assignment_values = DecodeU32Array("assignments", a.assignments.view());
  if (!assignment_values.ok()) return RaiseError(assignment_values.error());
  const uint64_t n = id_values->size();
  if (n > UINT32_MAX) {
    return RaiseError(Error::InvalidArgument("more vectors than the 32-bit list lengths of the vector-index file hold"));
  }

  // The model's own copy, taken while nothing else can write the buffer.
  const std::string_view code_bytes = a.codes.view();
  std::vector<uint8_t> codes(code_bytes.begin(), code_bytes.end());

  Result<IvfPqIndex> model = WithoutGil([&]() -> Result<IvfPqIndex> {
    Result<IvfPqIndex> assembled = AssembleIvfPq(
        std::move(centroid_values).value(), std::move(codebook_values).value(), std::move(id_values).value(),
        std::move(assignment_values).value(), std::move(codes), std::move(opq_values), a.dim, a.nlist, a.m,
        a.nbits, *checked);
    if (!assembled.ok()) return assembled;
    HALCYRA_RETURN_IF_ERROR(WriteHyviFile(*assembled, a.out_path.value));
    return assembled;
  });
  if (!model.ok()) return RaiseError(model.error());
  return NewStats(VectorBuildStatsType(), {n, model->dim, model->nlist, model->m, model->nbits});
}

}  // namespace

PyObject* NewWriteHyviFromFaissFunction(PyObject* module) {
  static PyMethodDef def = FunctionEntry<kWriteHyvi, &WriteHyviFromFaiss>(
      "write_hyvi_from_faiss",
      "Writes an `HYVI` index from already-trained IVFPQ parts (e.g. a FAISS\n"
      "`OPQ,IVF,PQ` export) to `out_path`, without re-training.\n\n"
      "Arrays are passed as little-endian byte buffers (numpy `array.astype('<f4'or\n"
      "'<u4').tobytes()` / `codes.astype('uint8').tobytes()`) so the extension needs\n"
      "no numpy dependency:\n"
      "- `centroids`: `nlist*dim` f32 (coarse centroids, in the OPQ-rotated space)\n"
      "- `codebooks`: `m*(2^nbits)*(dim/m)` f32 (PQ codebooks)\n"
      "- `ids`: `n` u32 (doc IDs), `assignments`: `n` u32 (coarse cluster per vector)\n"
      "- `codes`: `n*m` u8 (PQ codes), `opq` (optional): `dim*dim` f32 (row-major `R`)\n\n"
      "`metric` is `\"ip\"`/`\"cosine\"` or `\"l2\"`. Returns [`VectorBuildStats`]; raises\n"
      "`ValueError` if any array length is inconsistent or an assignment/code is out\n"
      "of range.");
  Ref name(PyModule_GetNameObject(module));
  if (!name) return nullptr;
  return PyCFunction_NewEx(&def, nullptr, name.get());
}

}  // namespace halcyra::py
