// Builder: stages records, then writes a single-directory dataset.
#include "contents.h"
#include "halcyra/dataset_builder.h"
#include "stats.h"

namespace halcyra::py {
namespace {

using Facets = Dict<std::string, std::vector<std::string>>;
using Row = std::tuple<int64_t, std::string, Bytes, std::optional<Facets>>;

StagedRecord Stage(int64_t rank, std::string text, Bytes record, std::optional<Facets> facets) {
  StagedRecord r;
  r.rank = rank;
  r.text = std::move(text);
  r.record = std::move(record.value);
  if (facets) r.facets = std::move(facets->items);
  return r;
}

PyObject* New(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr Params<2> kParams{"Builder.__new__", {"gram_size", "head_boundary"}, 0};
  uint16_t gram_size = 3;
  uint32_t head_boundary = 65536;
  if (!ParseArgs(kParams, Call::FromTuple(args, kwargs), gram_size, head_boundary)) return nullptr;
  Result<DatasetBuilder> builder = DatasetBuilder::Create(gram_size, head_boundary);
  if (!builder.ok()) return RaiseError(builder.error());
  return NewObject(type, std::move(builder).value());
}

PyObject* Add(DatasetBuilder& builder, const Call& call) {
  static constexpr Params<4> kParams{"Builder.add", {"rank", "text", "record", "facets"}, 3};
  int64_t rank;
  std::string text;
  Bytes record;
  std::optional<Facets> facets;
  if (!ParseArgs(kParams, call, rank, text, record, facets)) return nullptr;
  builder.Add(Stage(rank, std::move(text), std::move(record), std::move(facets)));
  Py_RETURN_NONE;
}

PyObject* AddMany(DatasetBuilder& builder, const Call& call) {
  static constexpr Params<1> kParams{"Builder.add_many", {"rows"}, 1};
  std::vector<Row> rows;  // every row converts before any is staged
  if (!ParseArgs(kParams, call, rows)) return nullptr;
  for (Row& row : rows) {
    auto& [rank, text, record, facets] = row;
    builder.Add(Stage(rank, std::move(text), std::move(record), std::move(facets)));
  }
  Py_RETURN_NONE;
}

PyObject* Build(DatasetBuilder& builder, const Call& call) {
  static constexpr Params<1> kParams{"Builder.build", {"out_dir"}, 1};
  std::string out_dir;
  if (!ParseArgs(kParams, call, out_dir)) return nullptr;
  Result<BuildStats> stats = builder.Build(out_dir);
  if (!stats.ok()) return RaiseError(stats.error());
  return NewStats(BuildStatsType(), {stats->docs, stats->ngrams, stats->fields});
}

size_t Size(const DatasetBuilder& builder) { return builder.size(); }

PyMethodDef kMethods[] = {
    MethodEntry<DatasetBuilder, &Add, BorrowGuard::kExclusive>(
        "add",
        "add($self, rank, text, record, facets=None)\n--\n\n"
        "Stages one record. `rank` orders results (higher first); `text` is\n"
        "tokenized into n-gram keys; `record` is the opaque bytes returned for a\n"
        "hit (use any encoding \xe2\x80\x94 JSON, msgpack, \xe2\x80\xa6); `facets` maps each field to the\n"
        "categories this record belongs to (e.g. `{\"year\": [\"2020\"]}`)."),
    MethodEntry<DatasetBuilder, &AddMany, BorrowGuard::kExclusive>(
        "add_many",
        "add_many($self, rows)\n--\n\n"
        "Stages a batch of records in one call \xe2\x80\x94 each `rows` entry is\n"
        "`(rank, text, record, facets)` with the same meaning as [`add`](Self::add) (the trailing\n"
        "`facets` is optional). Converting a whole batch at once saves the per-call overhead\n"
        "of calling `add` in a Python loop."),
    MethodEntry<DatasetBuilder, &Build, BorrowGuard::kShared>(
        "build",
        "build($self, out_dir)\n--\n\n"
        "Builds the dataset into `out_dir`, writing `index.hys`, `index.hyf`,\n"
        "`records.idx`, and `records.bin`. Doc IDs are assigned in descending rank,\n"
        "text is tokenized into the index, and facet memberships become the sidecar."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* BuilderType() {
  static PyObject* type;
  if (type == nullptr) {
    type = MakeClass<DatasetBuilder>(
        "halcyra.Builder",
        {
            {Py_tp_doc, const_cast<char*>("Builder(gram_size=3, head_boundary=65536)\n--\n\n"
                                          "Accumulates records, then writes a complete halcyra dataset.")},
            {Py_tp_new, reinterpret_cast<void*>(&Guarded<&New>::Call)},
            {Py_tp_methods, kMethods},
            {Py_mp_length, reinterpret_cast<void*>(&Guarded<&Length<DatasetBuilder, &Size>>::Call)},
            {0, nullptr},
        });
  }
  return type;
}

}  // namespace halcyra::py
