// The Python classes over halcyra::BatchSplitSetBuilder, one per kind of
// split body (SplitSetBuilder, TermSplitSetBuilder). They differ only in
// what a Kind supplies:
//
//   struct Kind {
//     static constexpr char kName[] = "SplitSetBuilder";
//     static constexpr auto kNewParams = MakeParams<SplitSetOptions>(...);  // the constructor's
//     static constexpr const char* kDoc = "...";     // the class docstring, after the signature
//     static constexpr const char* kAddDoc = "...";  // add's, which tells how a document is measured
//   };
#pragma once

#include "contents.h"
#include "halcyra/split_set_builder.h"
#include "stats.h"

namespace halcyra::py {

template <class Kind>
class SplitSetBuilderClass {
 public:
  // Created once per process on first use (a borrowed reference).
  static PyObject* Type() {
    static PyObject* type;
    if (type == nullptr) {
      static PyMethodDef methods[] = {
          MethodEntry<BatchSplitSetBuilder, kAdd, &Add, BorrowGuard::kExclusive>("add", Kind::kAddDoc),
          MethodEntry<BatchSplitSetBuilder, kAddFaceted, &AddFaceted, BorrowGuard::kExclusive>(
              "add_faceted",
              "As [`add`](Self::add), and files the document under every category of `facets`,\n"
              "a dict mapping each field to its categories (e.g. `{\"year\": [\"2020\"]}`)."),
          MethodEntry<BatchSplitSetBuilder, kDocCount, &DocCount, BorrowGuard::kShared>(
              "doc_count", "Documents added so far (0 once the builder has been built)."),
          MethodEntry<BatchSplitSetBuilder, kBuild, &Build, BorrowGuard::kExclusive>(
              "build",
              "Seals the last split and writes every split file, facet sidecar and the\n"
              "manifest `<manifest_name>.hyss` into `out_dir` (parent directories are created).\n"
              "Returns a [`SplitSetBuildStats`]. Consumes the builder, even when it fails."),
          {nullptr, nullptr, 0, nullptr},
      };
      type = MakeClass<BatchSplitSetBuilder, Kind::kNewParams, &New>(
          Named("halcyra.", ""), Kind::kDoc,
          {
              {Py_tp_methods, methods},
              {Py_mp_length, reinterpret_cast<void*>(&Guarded<&Length<BatchSplitSetBuilder, &Size>>::Call)},
              {0, nullptr},
          });
    }
    return type;
  }

 private:
  using Facets = Dict<std::string, std::vector<std::string>>;

  // The class name between `before` and `after` (kept).
  static const char* Named(const char* before, const char* after) {
    return Keep(before + std::string(Kind::kName) + after);
  }

  static PyObject* New(PyTypeObject* type, ArgsOf<Kind::kNewParams>& options) {
    Result<BatchSplitSetBuilder> builder = BatchSplitSetBuilder::Create(std::move(options));
    if (!builder.ok()) return RaiseError(builder.error());
    return NewObject(type, std::move(builder).value());
  }

  static PyObject* IdOrError(const Result<DocId>& id) {
    if (!id.ok()) return RaiseError(id.error());
    return PyLong_FromUnsignedLong(id.value());
  }

  struct AddArgs {
    std::string text;
  };
  static inline const auto kAdd = MakeParams<AddArgs>(Named("", ".add"), 1, Param{"text", &AddArgs::text});

  static PyObject* Add(BatchSplitSetBuilder& builder, AddArgs& a) {
    return IdOrError(WithoutGil([&] { return builder.Add(a.text); }));
  }

  struct AddFacetedArgs {
    std::string text;
    Facets facets;
  };
  static inline const auto kAddFaceted = MakeParams<AddFacetedArgs>(
      Named("", ".add_faceted"), 2, Param{"text", &AddFacetedArgs::text}, Param{"facets", &AddFacetedArgs::facets});

  static PyObject* AddFaceted(BatchSplitSetBuilder& builder, AddFacetedArgs& a) {
    return IdOrError(WithoutGil([&] { return builder.AddFaceted(a.text, a.facets.items); }));
  }

  static inline const auto kDocCount = MakeParams<NoArgs>(Named("", ".doc_count"), 0);

  static PyObject* DocCount(BatchSplitSetBuilder& builder, NoArgs&) {
    return PyLong_FromUnsignedLong(builder.doc_count());
  }

  struct BuildArgs {
    Path out_dir;
    Path manifest_name{"index"};
  };
  static inline const auto kBuild = MakeParams<BuildArgs>(Named("", ".build"), 1, Param{"out_dir", &BuildArgs::out_dir},
                                                          Param{"manifest_name", &BuildArgs::manifest_name});

  static PyObject* Build(BatchSplitSetBuilder& builder, BuildArgs& a) {
    // Consumes the builder whatever the outcome.
    Result<SplitSetBuildStats> stats =
        WithoutGil([&] { return std::move(builder).Build(a.out_dir.value, a.manifest_name.value); });
    if (!stats.ok()) return RaiseError(stats.error());
    return NewStats(SplitSetBuildStatsType(), {stats->splits, stats->docs, stats->total_bytes});
  }

  static size_t Size(const BatchSplitSetBuilder& builder) { return builder.doc_count(); }
};

}  // namespace halcyra::py
