// TermBuilder: a streaming term index, fed (doc_id, text) batches.
#include "contents.h"
#include "halcyra/term_builder.h"

namespace halcyra::py {
namespace {

// Texts are read in place: the list of converted documents holds a
// reference to each str until the batch is done.
using Docs = std::vector<std::tuple<uint32_t, StrView>>;

PyObject* New(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr Params<6> kParams{
      "TermBuilder.__new__",
      {"head_boundary", "language", "stem", "stopwords", "block_cap", "case_sensitive"},
      0};
  TermBuilderOptions o;
  if (!ParseArgs(kParams, Call::FromTuple(args, kwargs), o.head_boundary, o.language, o.stem, o.stopwords,
                 o.block_cap, o.case_sensitive)) {
    return nullptr;
  }
  Result<TermBuilder> builder = TermBuilder::Create(o);
  if (!builder.ok()) return RaiseError(builder.error());
  return NewObject(type, std::move(builder).value());
}

PyObject* AddMany(TermBuilder& builder, const Call& call) {
  static constexpr Params<1> kParams{"TermBuilder.add_many", {"docs"}, 1};
  Docs docs;  // the whole batch is converted before any document is added
  if (!ParseArgs(kParams, call, docs)) return nullptr;
  if (builder.finished()) return RaiseError(Error::Consumed("TermBuilder already finished"));
  for (const auto& [id, text] : docs) {
    if (Status s = builder.Add(id, text.view()); !s.ok()) return RaiseError(s.error());
  }
  Py_RETURN_NONE;
}

PyObject* TermCount(TermBuilder& builder, const Call& call) {
  static constexpr Params<0> kParams{"TermBuilder.term_count", {}, 0};
  if (!ParseArgs(kParams, call)) return nullptr;
  return PyLong_FromSize_t(builder.term_count());
}

PyObject* Finish(TermBuilder& builder, const Call& call) {
  static constexpr Params<1> kParams{"TermBuilder.finish", {"path"}, 1};
  std::string path;
  if (!ParseArgs(kParams, call, path)) return nullptr;
  // Consumes the builder whatever the outcome.
  if (Status s = builder.Finish(path); !s.ok()) return RaiseError(s.error());
  Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    MethodEntry<TermBuilder, &AddMany, BorrowGuard::kExclusive>(
        "add_many",
        "add_many($self, docs)\n--\n\n"
        "Adds a batch of `(doc_id, text)` documents. The whole batch is converted first, so a\n"
        "malformed element raises before any document is added; each text is then analyzed\n"
        "and dropped. IDs may come in any order, and a repeated ID merges its texts."),
    MethodEntry<TermBuilder, &TermCount, BorrowGuard::kShared>(
        "term_count",
        "term_count($self)\n--\n\n"
        "Distinct terms indexed so far (0 once the builder has finished)."),
    MethodEntry<TermBuilder, &Finish, BorrowGuard::kExclusive>(
        "finish",
        "finish($self, path)\n--\n\n"
        "Writes the `.hyt` term index to `path`, creating missing parent directories.\n"
        "Consumes the builder, even when it fails."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* TermBuilderType() {
  static PyObject* type;
  if (type == nullptr) {
    type = MakeClass<TermBuilder>(
        "halcyra.TermBuilder",
        {
            {Py_tp_doc,
             const_cast<char*>(
                 "TermBuilder(head_boundary=None, language=None, stem=None, stopwords=False, block_cap=None, "
                 "case_sensitive=False)\n--\n\n"
                 "A streaming `HYTI` term-index builder for corpora too large to hold in memory.\n"
                 "Construct with a head boundary and optional Snowball stemming / stop-word removal,\n"
                 "feed `(doc_id, text)` documents in chunks with `add_many` (each is tokenized and the\n"
                 "text discarded \xe2\x80\x94 only the postings grow), then `finish(path)` writes the `.hyt`. Doc\n"
                 "IDs should be the shared rank-order IDs so the index composes with the others.")},
            {Py_tp_new, reinterpret_cast<void*>(&Guarded<&New>::Call)},
            {Py_tp_methods, kMethods},
            {0, nullptr},
        });
  }
  return type;
}

}  // namespace halcyra::py
