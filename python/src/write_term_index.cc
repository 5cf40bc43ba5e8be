// WriteTermIndex(path, docs, head_boundary=None): a term index in one call.
#include "contents.h"
#include "halcyra/term_builder.h"

namespace halcyra::py {
namespace {

struct WriteTermIndexArgs {
  Path path;
  std::vector<std::tuple<uint32_t, std::string>> docs;
  std::optional<uint32_t> head_boundary;
};
constexpr auto kWriteTermIndex = MakeParams<WriteTermIndexArgs>(
    "write_term_index", 2, Param{"path", &WriteTermIndexArgs::path}, Param{"docs", &WriteTermIndexArgs::docs},
    Param{"head_boundary", &WriteTermIndexArgs::head_boundary});

PyObject* WriteTermIndex(WriteTermIndexArgs& a) {
  std::vector<std::pair<DocId, std::string>> pairs;
  pairs.reserve(a.docs.size());
  for (auto& [id, text] : a.docs) pairs.emplace_back(id, std::move(text));
  if (Status s = WithoutGil([&] { return WriteTermIndexFile(a.path.value, pairs, a.head_boundary); }); !s.ok()) {
    return RaiseError(s.error());
  }
  Py_RETURN_NONE;
}

}  // namespace

PyObject* NewWriteTermIndexFunction(PyObject* module) {
  static PyMethodDef def = FunctionEntry<kWriteTermIndex, &WriteTermIndex>(
      "write_term_index",
      "Writes an `HYTI` term index of `docs`, a sequence of `(doc_id, text)` pairs, to `path`\n"
      "(parent directories are created). Terms are lowercased runs of letters and digits,\n"
      "neither stemmed nor filtered; `head_boundary` defaults to 65536. For stemming, stop\n"
      "words or corpora fed in batches, use [`TermBuilder`].");
  Ref name(PyModule_GetNameObject(module));
  if (!name) return nullptr;
  return PyCFunction_NewEx(&def, nullptr, name.get());
}

}  // namespace halcyra::py
