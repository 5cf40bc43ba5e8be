// TermBuilder: a streaming term index, fed (doc_id, text) batches.
#include "contents.h"
#include "halcyra/term_builder.h"

namespace halcyra::py {
namespace {

// Texts are read in place: the list of converted documents holds a
// reference to each str until the batch is done.
using Docs = std::vector<std::tuple<uint32_t, StrView>>;

constexpr auto kNew = MakeParams<TermBuilderOptions>(
    "TermBuilder.__new__", 0, Param{"head_boundary", &TermBuilderOptions::head_boundary},
    Param{"language", &TermBuilderOptions::language}, Param{"stem", &TermBuilderOptions::stem},
    Param{"stopwords", &TermBuilderOptions::stopwords}, Param{"block_cap", &TermBuilderOptions::block_cap},
    Param{"case_sensitive", &TermBuilderOptions::case_sensitive});

PyObject* New(PyTypeObject* type, TermBuilderOptions& options) {
  Result<TermBuilder> builder = TermBuilder::Create(options);
  if (!builder.ok()) return RaiseError(builder.error());
  return NewObject(type, std::move(builder).value());
}

struct AddManyArgs {
  Docs docs;  // the whole batch is converted before any document is added
};
constexpr auto kAddMany = MakeParams<AddManyArgs>("TermBuilder.add_many", 1, Param{"docs", &AddManyArgs::docs});

PyObject* AddMany(TermBuilder& builder, AddManyArgs& a) {
  if (builder.finished()) return RaiseError(Error::Consumed("TermBuilder already finished"));
  // The texts are read in place: the converted batch keeps each str alive.
  std::vector<TermDoc> docs;
  docs.reserve(a.docs.size());
  for (const auto& [id, text] : a.docs) docs.push_back({id, text.view()});
  if (Status s = WithoutGil([&] { return builder.AddMany(docs); }); !s.ok()) return RaiseError(s.error());
  Py_RETURN_NONE;
}

constexpr auto kTermCount = MakeParams<NoArgs>("TermBuilder.term_count", 0);

PyObject* TermCount(TermBuilder& builder, NoArgs&) { return PyLong_FromSize_t(builder.term_count()); }

struct FinishArgs {
  Path path;
};
constexpr auto kFinish = MakeParams<FinishArgs>("TermBuilder.finish", 1, Param{"path", &FinishArgs::path});

PyObject* Finish(TermBuilder& builder, FinishArgs& a) {
  // Consumes the builder whatever the outcome.
  if (Status s = WithoutGil([&] { return builder.Finish(a.path.value); }); !s.ok()) return RaiseError(s.error());
  Py_RETURN_NONE;
}

}  // namespace

PyObject* TermBuilderType() {
  static PyObject* type;
  if (type == nullptr) {
    static PyMethodDef methods[] = {
        MethodEntry<TermBuilder, kAddMany, &AddMany, BorrowGuard::kExclusive>(
            "add_many",
            "Adds a batch of `(doc_id, text)` documents. The whole batch is converted first, so a\n"
            "malformed element raises before any document is added; each text is then analyzed\n"
            "and dropped. IDs may come in any order, and a repeated ID merges its texts."),
        MethodEntry<TermBuilder, kTermCount, &TermCount, BorrowGuard::kShared>(
            "term_count", "Distinct terms indexed so far (0 once the builder has finished)."),
        MethodEntry<TermBuilder, kFinish, &Finish, BorrowGuard::kExclusive>(
            "finish",
            "Writes the `.hyt` term index to `path`, creating missing parent directories.\n"
            "Consumes the builder, even when it fails."),
        {nullptr, nullptr, 0, nullptr},
    };
    type = MakeClass<TermBuilder, kNew, &New>(
        "halcyra.TermBuilder",
        "A streaming `HYTI` term-index builder for corpora too large to hold in memory.\n"
        "Construct with a head boundary and optional Snowball stemming / stop-word removal,\n"
        "feed `(doc_id, text)` documents in chunks with `add_many` (each is tokenized and the\n"
        "text discarded \xe2\x80\x94 only the postings grow), then `finish(path)` writes the `.hyt`. Doc\n"
        "IDs should be the shared rank-order IDs so the index composes with the others.",
        {
            {Py_tp_methods, methods},
            {0, nullptr},
        });
  }
  return type;
}

}  // namespace halcyra::py
