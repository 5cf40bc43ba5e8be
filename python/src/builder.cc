// Builder: stages records, then writes a single-directory dataset.
#include "contents.h"
#include "halcyra/dataset_builder.h"
#include "stats.h"

namespace halcyra::py {
namespace {

// Rows are read in place: the views hold references to the strs and bytes
// objects they read, which cannot change, so a batch is copied into the
// builder without the interpreter lock.
using Facets = Dict<StrView, std::vector<StrView>>;
using Row = std::tuple<int64_t, StrView, FixedBytesView, std::optional<Facets>>;

StagedRecord Stage(int64_t rank, const StrView& text, const FixedBytesView& record,
                   const std::optional<Facets>& facets) {
  StagedRecord r;
  r.rank = rank;
  r.text = text.view();
  r.record = record.view();
  if (facets) {
    r.facets.reserve(facets->items.size());
    for (const auto& [field, categories] : facets->items) {
      std::vector<std::string>& names = r.facets.emplace_back(field.view(), std::vector<std::string>()).second;
      names.reserve(categories.size());
      for (const StrView& category : categories) names.emplace_back(category.view());
    }
  }
  return r;
}

struct NewArgs {
  uint16_t gram_size = kDefaultGramSize;
  uint32_t head_boundary = kDefaultHeadBoundary;
};
constexpr auto kNew = MakeParams<NewArgs>("Builder.__new__", 0, Param{"gram_size", &NewArgs::gram_size},
                                          Param{"head_boundary", &NewArgs::head_boundary});

PyObject* New(PyTypeObject* type, NewArgs& a) {
  Result<DatasetBuilder> builder = DatasetBuilder::Create(a.gram_size, a.head_boundary);
  if (!builder.ok()) return RaiseError(builder.error());
  return NewObject(type, std::move(builder).value());
}

struct AddArgs {
  int64_t rank = 0;
  StrView text;
  FixedBytesView record;
  std::optional<Facets> facets;
};
constexpr auto kAdd =
    MakeParams<AddArgs>("Builder.add", 3, Param{"rank", &AddArgs::rank}, Param{"text", &AddArgs::text},
                        Param{"record", &AddArgs::record}, Param{"facets", &AddArgs::facets});

PyObject* Add(DatasetBuilder& builder, AddArgs& a) {
  builder.Add(Stage(a.rank, a.text, a.record, a.facets));
  Py_RETURN_NONE;
}

struct AddManyArgs {
  std::vector<Row> rows;  // every row converts before any is staged
};
constexpr auto kAddMany = MakeParams<AddManyArgs>("Builder.add_many", 1, Param{"rows", &AddManyArgs::rows});

PyObject* AddMany(DatasetBuilder& builder, AddManyArgs& a) {
  WithoutGil([&] {
    for (const auto& [rank, text, record, facets] : a.rows) builder.Add(Stage(rank, text, record, facets));
  });
  Py_RETURN_NONE;
}

struct BuildArgs {
  Path out_dir;
};
constexpr auto kBuild = MakeParams<BuildArgs>("Builder.build", 1, Param{"out_dir", &BuildArgs::out_dir});

PyObject* Build(DatasetBuilder& builder, BuildArgs& a) {
  Result<BuildStats> stats = WithoutGil([&] { return builder.Build(a.out_dir.value); });
  if (!stats.ok()) return RaiseError(stats.error());
  return NewStats(BuildStatsType(), {stats->docs, stats->ngrams, stats->fields});
}

size_t Size(const DatasetBuilder& builder) { return builder.size(); }

}  // namespace

PyObject* BuilderType() {
  static PyObject* type;
  if (type == nullptr) {
    static PyMethodDef methods[] = {
        MethodEntry<DatasetBuilder, kAdd, &Add, BorrowGuard::kExclusive>(
            "add",
            "Stages one record. `rank` orders results (higher first); `text` is\n"
            "tokenized into n-gram keys; `record` is the opaque bytes returned for a\n"
            "hit (use any encoding \xe2\x80\x94 JSON, msgpack, \xe2\x80\xa6); `facets` maps each field to the\n"
            "categories this record belongs to (e.g. `{\"year\": [\"2020\"]}`)."),
        MethodEntry<DatasetBuilder, kAddMany, &AddMany, BorrowGuard::kExclusive>(
            "add_many",
            "Stages a batch of records in one call \xe2\x80\x94 each `rows` entry is\n"
            "`(rank, text, record, facets)` with the same meaning as [`add`](Self::add) (the trailing\n"
            "`facets` is optional). Converting a whole batch at once saves the per-call overhead\n"
            "of calling `add` in a Python loop."),
        MethodEntry<DatasetBuilder, kBuild, &Build, BorrowGuard::kShared>(
            "build",
            "Builds the dataset into `out_dir`, writing `index.hys`, `index.hyf`,\n"
            "`records.idx`, and `records.bin`. Doc IDs are assigned in descending rank,\n"
            "text is tokenized into the index, and facet memberships become the sidecar."),
        {nullptr, nullptr, 0, nullptr},
    };
    type = MakeClass<DatasetBuilder, kNew, &New>(
        "halcyra.Builder", "Accumulates records, then writes a complete halcyra dataset.",
        {
            {Py_tp_methods, methods},
            {Py_mp_length, reinterpret_cast<void*>(&Guarded<&Length<DatasetBuilder, &Size>>::Call)},
            {0, nullptr},
        });
  }
  return type;
}

}  // namespace halcyra::py
