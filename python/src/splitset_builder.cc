// SplitSetBuilder: byte-capped n-gram split sets with a manifest, built in one
// batch.
#include "split_set_builder_class.h"

namespace halcyra::py {
namespace {

struct NgramSplits {
  static constexpr char kName[] = "SplitSetBuilder";
  static constexpr auto kNewParams = MakeParams<SplitSetOptions>(
      "SplitSetBuilder.__new__", 0, Param{"policy", &SplitSetOptions::policy},
      Param{"byte_cap", &SplitSetOptions::byte_cap}, Param{"gram_size", &SplitSetOptions::gram_size},
      Param{"head_boundary", &SplitSetOptions::head_boundary}, Param{"stride", &SplitSetOptions::stride},
      Param{"name_prefix", &SplitSetOptions::name_prefix}, Param{"sortcol", &SplitSetOptions::sortcol},
      Param{"bloom_bits_per_key", &SplitSetOptions::bloom_bits_per_key},
      Param{"byte_cap_max", &SplitSetOptions::byte_cap_max}, Param{"case_sensitive", &SplitSetOptions::case_sensitive});
  static constexpr const char* kDoc =
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
      "```";
  static constexpr const char* kAddDoc =
      "Stages one document and returns its global doc ID (0, 1, 2, ... in call order).\n"
      "The open split is sealed first when adding the document would push its size\n"
      "estimate past the byte cap; a document is never divided between splits.";
};

}  // namespace

PyObject* SplitSetBuilderType() { return SplitSetBuilderClass<NgramSplits>::Type(); }

}  // namespace halcyra::py
