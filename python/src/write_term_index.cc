// WriteTermIndex(path, docs, head_boundary=None): a term index in one call.
#include "contents.h"
#include "halcyra/term_builder.h"

namespace halcyra::py {
namespace {

PyObject* WriteTermIndex(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Params<3> kParams{"write_term_index", {"path", "docs", "head_boundary"}, 2};
  std::string path;
  std::vector<std::tuple<uint32_t, std::string>> docs;
  std::optional<uint32_t> head_boundary;
  if (!ParseArgs(kParams, Call{args, nargs, kwnames}, path, docs, head_boundary)) return nullptr;
  std::vector<std::pair<DocId, std::string>> pairs;
  pairs.reserve(docs.size());
  for (auto& [id, text] : docs) pairs.emplace_back(id, std::move(text));
  if (Status s = WriteTermIndexFile(path, pairs, head_boundary); !s.ok()) return RaiseError(s.error());
  Py_RETURN_NONE;
}

PyMethodDef kDef = {
    "write_term_index", Fastcall<&WriteTermIndex>(), METH_FASTCALL | METH_KEYWORDS,
    "write_term_index(path, docs, head_boundary=None)\n--\n\n"
    "Writes an `HYTI` term index of `docs`, a sequence of `(doc_id, text)` pairs, to `path`\n"
    "(parent directories are created). Terms are lowercased runs of letters and digits,\n"
    "neither stemmed nor filtered; `head_boundary` defaults to 65536. For stemming, stop\n"
    "words or corpora fed in batches, use [`TermBuilder`]."};

}  // namespace

PyObject* NewWriteTermIndexFunction(PyObject* module) {
  Ref name(PyModule_GetNameObject(module));
  if (!name) return nullptr;
  return PyCFunction_NewEx(&kDef, nullptr, name.get());
}

}  // namespace halcyra::py
