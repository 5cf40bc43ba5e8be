// tokenize(text, gram_size=3): the n-gram keys of a text, for debugging matches.
#include "contents.h"
#include "halcyra/ngram.h"

namespace halcyra::py {
namespace {

PyObject* Tokenize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Params<2> kParams{"tokenize", {"text", "gram_size"}, 1};
  std::string text;
  size_t gram_size = 3;
  if (!ParseArgs(kParams, Call{args, nargs, kwnames}, text, gram_size)) return nullptr;
  return ToPyList(NgramKeys(text, gram_size, /*fold_case=*/true));
}

PyMethodDef kTokenizeDef = {
    "tokenize", Fastcall<&Tokenize>(), METH_FASTCALL | METH_KEYWORDS,
    "tokenize(text, gram_size=3)\n--\n\n"
    "Returns the deduplicated n-gram keys `text` tokenizes into \xe2\x80\x94 the same keys the\n"
    "index is built from and the reader queries with. Handy for debugging matches."};

}  // namespace

PyObject* NewTokenizeFunction(PyObject* module) {
  Ref name(PyModule_GetNameObject(module));
  if (!name) return nullptr;
  return PyCFunction_NewEx(&kTokenizeDef, nullptr, name.get());
}

}  // namespace halcyra::py
