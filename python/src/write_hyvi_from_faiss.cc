// write_hyvi_from_faiss: writes a vector index from parts trained elsewhere.
#include "contents.h"
#include "halcyra/vector_index.h"
#include "stats.h"

namespace halcyra::py {
namespace {

PyObject* WriteHyviFromFaiss(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Params<12> kParams{"write_hyvi_from_faiss",
                                      {"out_path", "dim", "nlist", "m", "centroids", "codebooks", "ids",
                                       "assignments", "codes", "nbits", "metric", "opq"},
                                      9};
  std::string out_path;
  uint64_t dim, nlist, m;
  Bytes centroids, codebooks, ids, assignments, codes;
  uint8_t nbits = 8;
  std::string metric = "ip";
  std::optional<Bytes> opq;
  if (!ParseArgs(kParams, Call{args, nargs, kwnames}, out_path, dim, nlist, m, centroids, codebooks, ids, assignments,
                 codes, nbits, metric, opq)) {
    return nullptr;
  }
  Result<Metric> checked = CheckVectorParams(dim, nlist, m, nbits, metric);
  if (!checked.ok()) return RaiseError(checked.error());

  // dim and nlist fit 32 bits now, so none of these counts overflows.
  const uint64_t ksub = uint64_t{1} << nbits;
  Result<std::vector<float>> centroid_values = DecodeF32Array("centroids", centroids.value, nlist * dim);
  if (!centroid_values.ok()) return RaiseError(centroid_values.error());
  Result<std::vector<float>> codebook_values = DecodeF32Array("codebooks", codebooks.value, ksub * dim);
  if (!codebook_values.ok()) return RaiseError(codebook_values.error());
  std::optional<std::vector<float>> opq_values;
  if (opq) {
    Result<std::vector<float>> decoded = DecodeF32Array("opq", opq->value, dim * dim);
    if (!decoded.ok()) return RaiseError(decoded.error());
    opq_values = std::move(decoded).value();
  }
  Result<std::vector<uint32_t>> id_values = DecodeU32Array("ids", ids.value);
  if (!id_values.ok()) return RaiseError(id_values.error());
  Result<std::vector<uint32_t>> assignment_values = DecodeU32Array("assignments", assignments.value);
  if (!assignment_values.ok()) return RaiseError(assignment_values.error());
  const uint64_t n = id_values->size();
  if (n > UINT32_MAX) {
    return RaiseError(Error::InvalidArgument("more vectors than the 32-bit list lengths of the vector-index file hold"));
  }

  Result<IvfPqIndex> model = AssembleIvfPq(
      std::move(centroid_values).value(), std::move(codebook_values).value(), std::move(id_values).value(),
      std::move(assignment_values).value(), std::vector<uint8_t>(codes.value.begin(), codes.value.end()),
      std::move(opq_values), dim, nlist, m, nbits, *checked);
  if (!model.ok()) return RaiseError(model.error());
  if (Status written = WriteHyviFile(*model, out_path); !written.ok()) return RaiseError(written.error());
  return NewStats(VectorBuildStatsType(), {n, model->dim, model->nlist, model->m, model->nbits});
}

PyMethodDef kDef = {
    "write_hyvi_from_faiss", Fastcall<&WriteHyviFromFaiss>(), METH_FASTCALL | METH_KEYWORDS,
    "write_hyvi_from_faiss(out_path, dim, nlist, m, centroids, codebooks, ids, assignments, codes, nbits=8, "
    "metric=\"ip\", opq=None)\n--\n\n"
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
    "of range."};

}  // namespace

PyObject* NewWriteHyviFromFaissFunction(PyObject* module) {
  Ref name(PyModule_GetNameObject(module));
  if (!name) return nullptr;
  return PyCFunction_NewEx(&kDef, nullptr, name.get());
}

}  // namespace halcyra::py
