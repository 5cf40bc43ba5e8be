// The record store, two files, all integers little-endian:
//
//   records.bin  the payloads back to back
//   records.idx  "HYSR"  version u16 = 1  reserved u16 = 0  record count N u32
//                reserved u32 = 0  then N + 1 offsets u64 into records.bin:
//                0, then the running total after each payload
//
// Record d is bytes [offset d, offset d + 1) of records.bin. Both files are
// written one payload and one offset per record.
//
// See FORMATS.md (Record store) for the reader's side and a worked example.
#include "records/record_store.h"

#include <string>

#include "base/coding.h"

namespace halcyra {

Result<RecordStoreWriter> BeginRecordStore(std::unique_ptr<Sink> bin, std::unique_ptr<Sink> idx, uint64_t count) {
  // Returning early drops the sinks, which closes them.
  if (count > UINT32_MAX) return Error::Limit("HYSR record count exceeds the 32-bit limit");
  std::string header;
  header.append("HYSR", 4);
  PutFixed16(&header, 1);
  PutFixed16(&header, 0);
  PutFixed32(&header, static_cast<uint32_t>(count));
  PutFixed32(&header, 0);
  PutFixed64(&header, 0);  // offset of record 0
  HALCYRA_RETURN_IF_ERROR(idx->Append(header));
  return RecordStoreWriter(std::move(bin), std::move(idx), count);
}

Status RecordStoreWriter::Append(std::string_view payload) {
  if (appended_ == count_) return Error::Limit("record store given more records than its header counts");
  HALCYRA_RETURN_IF_ERROR(bin_->Append(payload));
  total_ += payload.size();
  std::string offset;
  PutFixed64(&offset, total_);
  HALCYRA_RETURN_IF_ERROR(idx_->Append(offset));
  ++appended_;
  return Status::Ok();
}

Status RecordStoreWriter::Finish() {
  Status bin = bin_->Close();
  Status idx = idx_->Close();
  if (appended_ != count_) return Error::Limit("record store given fewer records than its header counts");
  return bin.ok() ? idx : bin;
}

}  // namespace halcyra
