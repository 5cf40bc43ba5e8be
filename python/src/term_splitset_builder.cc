// TermSplitSetBuilder: byte-capped split sets of term indexes with a manifest,
// built in one batch.
#include "split_set_builder_class.h"

namespace halcyra::py {
namespace {

struct TermSplits {
  static constexpr char kName[] = "TermSplitSetBuilder";
  static constexpr auto kNewParams = MakeParams<TermSplitSetOptions>(
      "TermSplitSetBuilder.__new__", 0, Param{"policy", &TermSplitSetOptions::policy},
      Param{"byte_cap", &TermSplitSetOptions::byte_cap}, Param{"head_boundary", &TermSplitSetOptions::head_boundary},
      Param{"name_prefix", &TermSplitSetOptions::name_prefix}, Param{"sortcol", &TermSplitSetOptions::sortcol},
      Param{"language", &TermSplitSetOptions::language}, Param{"stem", &TermSplitSetOptions::stem},
      Param{"stopwords", &TermSplitSetOptions::stopwords}, Param{"byte_cap_max", &TermSplitSetOptions::byte_cap_max},
      Param{"case_sensitive", &TermSplitSetOptions::case_sensitive});
  static constexpr const char* kDoc =
      "The term/FST (`HYTI`) analogue of [`SplitSetBuilder`]: each sealed split is a term index\n"
      "rather than a trigram `HYS`, for a head-to-head comparison over the same corpus. `language`\n"
      "enables Snowball stemming (`\"english\"`); `stopwords` drops stop words. There is no\n"
      "`gram_size`/`bloom_bits_per_key` \xe2\x80\x94 the body tokenizes whole terms and term-Bloom pruning is\n"
      "deferred. Splits are named `\xe2\x80\xb9prefix\xe2\x80\xba-s00000.hyt`.";
  static constexpr const char* kAddDoc =
      "Stages one document and returns its global doc ID (0, 1, 2, ... in call order).\n"
      "The open split is sealed first when adding the document's terms would push its size\n"
      "estimate past the byte cap; a document is never divided between splits.";
};

}  // namespace

PyObject* TermSplitSetBuilderType() { return SplitSetBuilderClass<TermSplits>::Type(); }

}  // namespace halcyra::py
