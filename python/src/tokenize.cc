// tokenize(text, gram_size=3): the n-gram keys of a text, for debugging matches.
#include "contents.h"
#include "halcyra/ngram.h"

namespace halcyra::py {
namespace {

struct TokenizeArgs {
  std::string text;
  size_t gram_size = kDefaultGramSize;
};
constexpr auto kTokenize = MakeParams<TokenizeArgs>("tokenize", 1, Param{"text", &TokenizeArgs::text},
                                                    Param{"gram_size", &TokenizeArgs::gram_size});

PyObject* Tokenize(TokenizeArgs& a) { return ToPyList(NgramKeys(a.text, a.gram_size, /*fold_case=*/true)); }

}  // namespace

PyObject* NewTokenizeFunction(PyObject* module) {
  static PyMethodDef def = FunctionEntry<kTokenize, &Tokenize>(
      "tokenize",
      "Returns the deduplicated n-gram keys `text` tokenizes into \xe2\x80\x94 the same keys the\n"
      "index is built from and the reader queries with. Handy for debugging matches.");
  Ref name(PyModule_GetNameObject(module));
  if (!name) return nullptr;
  return PyCFunction_NewEx(&def, nullptr, name.get());
}

}  // namespace halcyra::py
