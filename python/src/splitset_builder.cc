// SplitSetBuilder: byte-capped n-gram split sets with a manifest, built in one
// batch.
#include "contents.h"
#include "halcyra/split_set_builder.h"
#include "stats.h"

namespace halcyra::py {
namespace {

using Facets = Dict<std::string, std::vector<std::string>>;
using SortcolArg = std::tuple<std::string, uint16_t, bool>;

PyObject* New(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr Params<10> kParams{"SplitSetBuilder.__new__",
                                      {"policy", "byte_cap", "gram_size", "head_boundary", "stride", "name_prefix",
                                       "sortcol", "bloom_bits_per_key", "byte_cap_max", "case_sensitive"},
                                      0};
  SplitSetOptions o;
  std::optional<SortcolArg> sortcol;
  if (!ParseArgs(kParams, Call::FromTuple(args, kwargs), o.policy, o.byte_cap, o.gram_size, o.head_boundary,
                 o.stride, o.name_prefix, sortcol, o.bloom_bits_per_key, o.byte_cap_max, o.case_sensitive)) {
    return nullptr;
  }
  if (sortcol) {
    auto& [name, number, flag] = *sortcol;
    o.sortcol = Sortcol{std::move(name), number, flag};
  }
  Result<BatchSplitSetBuilder> builder = BatchSplitSetBuilder::Create(std::move(o));
  if (!builder.ok()) return RaiseError(builder.error());
  return NewObject(type, std::move(builder).value());
}

PyObject* IdOrError(const Result<DocId>& id) {
  if (!id.ok()) return RaiseError(id.error());
  return PyLong_FromUnsignedLong(id.value());
}

PyObject* Add(BatchSplitSetBuilder& builder, const Call& call) {
  static constexpr Params<1> kParams{"SplitSetBuilder.add", {"text"}, 1};
  std::string text;
  if (!ParseArgs(kParams, call, text)) return nullptr;
  return IdOrError(builder.Add(text));
}

PyObject* AddFaceted(BatchSplitSetBuilder& builder, const Call& call) {
  static constexpr Params<2> kParams{"SplitSetBuilder.add_faceted", {"text", "facets"}, 2};
  std::string text;
  Facets facets;
  if (!ParseArgs(kParams, call, text, facets)) return nullptr;
  return IdOrError(builder.AddFaceted(text, facets.items));
}

PyObject* DocCount(BatchSplitSetBuilder& builder, const Call& call) {
  static constexpr Params<0> kParams{"SplitSetBuilder.doc_count", {}, 0};
  if (!ParseArgs(kParams, call)) return nullptr;
  return PyLong_FromUnsignedLong(builder.doc_count());
}

PyObject* Build(BatchSplitSetBuilder& builder, const Call& call) {
  static constexpr Params<2> kParams{"SplitSetBuilder.build", {"out_dir", "manifest_name"}, 1};
  std::string out_dir, manifest_name = "index";
  if (!ParseArgs(kParams, call, out_dir, manifest_name)) return nullptr;
  // Consumes the builder whatever the outcome.
  Result<SplitSetBuildStats> stats = std::move(builder).Build(out_dir, manifest_name);
  if (!stats.ok()) return RaiseError(stats.error());
  return NewStats(SplitSetBuildStatsType(), {stats->splits, stats->docs, stats->total_bytes});
}

size_t Size(const BatchSplitSetBuilder& builder) { return builder.doc_count(); }

PyMethodDef kMethods[] = {
    MethodEntry<BatchSplitSetBuilder, &Add, BorrowGuard::kExclusive>(
        "add",
        "add($self, text)\n--\n\n"
        "Stages one document and returns its global doc ID (0, 1, 2, ... in call order).\n"
        "The open split is sealed first when adding the document would push its size\n"
        "estimate past the byte cap; a document is never divided between splits."),
    MethodEntry<BatchSplitSetBuilder, &AddFaceted, BorrowGuard::kExclusive>(
        "add_faceted",
        "add_faceted($self, text, facets)\n--\n\n"
        "As [`add`](Self::add), and files the document under every category of `facets`,\n"
        "a dict mapping each field to its categories (e.g. `{\"year\": [\"2020\"]}`)."),
    MethodEntry<BatchSplitSetBuilder, &DocCount, BorrowGuard::kShared>(
        "doc_count",
        "doc_count($self)\n--\n\n"
        "Documents added so far (0 once the builder has been built)."),
    MethodEntry<BatchSplitSetBuilder, &Build, BorrowGuard::kExclusive>(
        "build",
        "build($self, out_dir, manifest_name=\"index\")\n--\n\n"
        "Seals the last split and writes every split file, facet sidecar and the\n"
        "manifest `<manifest_name>.hyss` into `out_dir` (parent directories are created).\n"
        "Returns a [`SplitSetBuildStats`]. Consumes the builder, even when it fails."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* SplitSetBuilderType() {
  static PyObject* type;
  if (type == nullptr) {
    type = MakeClass<BatchSplitSetBuilder>(
        "halcyra.SplitSetBuilder",
        {
            {Py_tp_doc,
             const_cast<char*>(
                 "SplitSetBuilder(policy=\"tiered\", byte_cap=33554432, gram_size=3, head_boundary=0, stride=0, "
                 "name_prefix=\"split\", sortcol=None, bloom_bits_per_key=10, byte_cap_max=0, "
                 "case_sensitive=False)\n--\n\n"
                 "A byte-capped `HYSS` split-set builder \xe2\x80\x94 the batch greedy seal. Feed documents with\n"
                 "[`add`](Self::add) (rank order for the tiered policy, ingest order for stable-key); each is\n"
                 "tokenized into n-gram keys and accumulated into the open split, which is sealed into an\n"
                 "immutable `HYS` when an upper-bound size estimate nears `byte_cap`. [`build`](Self::build)\n"
                 "writes the manifest and every split file to a directory.\n\n"
                 "```python\n"
                 "import halcyra as hy\n"
                 "b = hy.SplitSetBuilder(policy=\"tiered\", byte_cap=32 << 20, gram_size=3, name_prefix=\"corpus\")\n"
                 "for text in texts_in_rank_order:\n"
                 "    b.add(text)\n"
                 "b.build(\"out/\")  # out/index.hyss, out/corpus-s00000.hys, ...\n"
                 "```")},
            {Py_tp_new, reinterpret_cast<void*>(&Guarded<&New>::Call)},
            {Py_tp_methods, kMethods},
            {Py_mp_length, reinterpret_cast<void*>(&Guarded<&Length<BatchSplitSetBuilder, &Size>>::Call)},
            {0, nullptr},
        });
  }
  return type;
}

}  // namespace halcyra::py
