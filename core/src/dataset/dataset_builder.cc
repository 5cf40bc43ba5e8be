// dataset/: the DatasetBuilder pipeline that writes a single-directory dataset.
#include "halcyra/dataset_builder.h"

#include <algorithm>
#include <iterator>

#include "base/parallel.h"
#include "base/sink.h"
#include "facets/facet_map.h"
#include "halcyra/interrupt.h"
#include "ngram/ngram_index.h"
#include "ngram/ngram_tokenizer.h"
#include "ngram/posting_table.h"
#include "records/record_store.h"

namespace halcyra {
namespace {

// Positions of the records in DocId order: rank descending, equal ranks in
// staging order. Only (rank, position) pairs are sorted; records never move.
std::vector<uint32_t> RankOrder(const std::vector<StagedRecord>& records) {
  std::vector<std::pair<int64_t, uint32_t>> ranked(records.size());
  for (size_t i = 0; i < records.size(); ++i) ranked[i] = {records[i].rank, static_cast<uint32_t>(i)};
  std::sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first > b.first : a.second < b.second;
  });
  std::vector<uint32_t> order(ranked.size());
  for (size_t d = 0; d < ranked.size(); ++d) order[d] = ranked[d].second;
  return order;
}

Result<std::unique_ptr<Sink>> CreateFile(std::string_view dir, std::string_view name) {
  Result<std::unique_ptr<FileSink>> file = FileSink::Create(JoinPath(dir, name));
  if (!file.ok()) return file.take_error();
  return std::unique_ptr<Sink>(std::move(*file));
}

Status WriteIndexFile(std::string_view out_dir, NgramPostings entries, uint16_t gram_size) {
  Result<std::unique_ptr<Sink>> hys = CreateFile(out_dir, "index.hys");
  if (!hys.ok()) return hys.take_error();
  return WriteNgramIndex(std::move(entries), gram_size, /*stride=*/0, /*fold_case=*/true, **hys);
}

Status WriteFacetsAndRecords(std::string_view out_dir, const std::vector<StagedRecord>& records,
                             const std::vector<uint32_t>& order, uint32_t head_boundary, BuildStats* stats) {
  FacetMap facets;
  for (size_t d = 0; d < order.size(); ++d) {
    for (const auto& [field, categories] : records[order[d]].facets) {
      FacetCategories& f = facets.Field(field);
      for (const std::string& category : categories) FacetMap::Insert(f, category, static_cast<DocId>(d));
    }
  }
  stats->fields = facets.size();
  Result<std::unique_ptr<Sink>> hyf = CreateFile(out_dir, "index.hyf");
  if (!hyf.ok()) return hyf.take_error();
  HALCYRA_RETURN_IF_ERROR(WriteFacetSidecar(std::move(facets), /*fold_case=*/true, head_boundary, **hyf));

  Result<std::unique_ptr<Sink>> bin = CreateFile(out_dir, "records.bin");
  if (!bin.ok()) return bin.take_error();
  Result<std::unique_ptr<Sink>> idx = CreateFile(out_dir, "records.idx");
  if (!idx.ok()) return idx.take_error();
  Result<RecordStoreWriter> store = BeginRecordStore(std::move(*bin), std::move(*idx), order.size());
  if (!store.ok()) return store.take_error();
  for (uint32_t position : order) HALCYRA_RETURN_IF_ERROR(store->Append(records[position].record));
  return store->Finish();
}

}  // namespace

Result<DatasetBuilder> DatasetBuilder::Create(uint16_t gram_size, uint32_t head_boundary) {
  if (head_boundary % kHeadBoundaryUnit != 0) {
    return Error::InvalidArgument("head_boundary must be a multiple of " + std::to_string(kHeadBoundaryUnit) +
                                  ", got " + std::to_string(head_boundary));
  }
  return DatasetBuilder(std::max<uint16_t>(gram_size, 1), std::max(head_boundary, kHeadBoundaryUnit));
}

void DatasetBuilder::AddBatch(std::vector<StagedRecord> batch) {
  records_.insert(records_.end(), std::make_move_iterator(batch.begin()), std::make_move_iterator(batch.end()));
}

Result<BuildStats> DatasetBuilder::Build(std::string_view out_dir) const {
  // DocIds and the record store's count are 32-bit.
  if (records_.size() > UINT32_MAX) return Error::Limit("HYSR record count exceeds the 32-bit limit");
  HALCYRA_RETURN_IF_ERROR(CreateDirectories(out_dir));

  const std::vector<uint32_t> order = RankOrder(records_);
  // Documents are tokenized in ranges of whole blocks of 65536 ids, a few
  // ranges per thread taken in turn (so that unequal ranges even out), each
  // into a posting table of its own; the tables are then merged key by key,
  // which gives what one table of every document gives. No two ranges'
  // postings share a container, so merging them is splicing.
  constexpr size_t kBlock = size_t{1} << 16;
  constexpr size_t kRangesPerThread = 4;
  const size_t blocks = std::max<size_t>(1, (order.size() + kBlock - 1) / kBlock);
  const size_t count = std::min(blocks, kRangesPerThread * ThreadCount());
  const auto range_begin = [&](size_t r) { return std::min(order.size(), blocks * r / count * kBlock); };
  std::vector<SortedPostings> parts(count);
  std::vector<uint8_t> full(count, 0);  // a range met the key limit
  const bool tokenized = ParallelFor(count, [&](size_t r) {
    PostingTable postings;
    NgramTokenizer tokenizer;
    std::vector<NgramKey> keys;
    for (size_t d = range_begin(r); d < range_begin(r + 1); ++d) {
      if (StopRequested()) return;
      tokenizer.Tokenize(records_[order[d]].text, gram_size_, /*fold_case=*/true, &keys);
      for (NgramKey key : keys) {
        if (!postings.Add(key, static_cast<DocId>(d))) {
          full[r] = 1;
          return;
        }
      }
    }
    parts[r] = postings.TakeSorted();
  });
  if (!tokenized) return Error::Interrupted();
  if (std::find(full.begin(), full.end(), 1) != full.end()) return Error::Limit("HYS key count exceeds the 32-bit limit");
  Result<NgramPostings> entries = MergeSortedPostings(std::move(parts));
  if (!entries.ok()) return entries.take_error();
  if (entries->size() > UINT32_MAX) return Error::Limit("HYS key count exceeds the 32-bit limit");

  // The n-gram index on one thread, the facet sidecar and the record store
  // on another: separate files, written side by side.
  BuildStats stats;
  stats.docs = records_.size();
  stats.ngrams = entries->size();
  Status written[2];
  const bool finished = ParallelFor(2, [&](size_t task) {
    written[task] = task == 0 ? WriteIndexFile(out_dir, std::move(*entries), gram_size_)
                              : WriteFacetsAndRecords(out_dir, records_, order, head_boundary_, &stats);
  });
  for (Status& s : written) HALCYRA_RETURN_IF_ERROR(s);
  if (!finished) return Error::Interrupted();
  return stats;
}

}  // namespace halcyra
