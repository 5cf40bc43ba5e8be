// records/: the record store writer.
//
// The record store: the opaque payload of every document, in DocId order,
// in two files written strictly front to back. Byte layout at the top of
// record_store.cc.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "base/sink.h"
#include "halcyra/status.h"

namespace halcyra {

class RecordStoreWriter {
 public:
  RecordStoreWriter(RecordStoreWriter&&) = default;
  RecordStoreWriter& operator=(RecordStoreWriter&&) = default;
  // Closes both sinks if Finish was not reached, dropping their errors.
  ~RecordStoreWriter() = default;

  // Appends the next record's payload. Appending more records than the
  // header counts fails with Error::Limit.
  Status Append(std::string_view payload);
  // Closes both sinks. Fails with Error::Limit if fewer records than the
  // header counts were appended (the files are closed all the same).
  Status Finish();

 private:
  friend Result<RecordStoreWriter> BeginRecordStore(std::unique_ptr<Sink> bin, std::unique_ptr<Sink> idx,
                                                      uint64_t count);
  RecordStoreWriter(std::unique_ptr<Sink> bin, std::unique_ptr<Sink> idx, uint64_t count)
      : bin_(std::move(bin)), idx_(std::move(idx)), count_(count) {}

  std::unique_ptr<Sink> bin_;  // records.bin
  std::unique_ptr<Sink> idx_;  // records.idx
  uint64_t count_;             // records promised by the header
  uint64_t appended_ = 0;
  uint64_t total_ = 0;         // bytes of records.bin so far
};

// Takes ownership of the two sinks (records.bin and records.idx, freshly
// created) and writes the records.idx header for count records. A count
// beyond 32 bits fails with Error::Limit "HYSR record count exceeds the
// 32-bit limit" before anything is written; any failure closes both sinks.
Result<RecordStoreWriter> BeginRecordStore(std::unique_ptr<Sink> bin, std::unique_ptr<Sink> idx, uint64_t count);

}  // namespace halcyra
