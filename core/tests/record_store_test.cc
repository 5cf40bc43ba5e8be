#include "records/record_store.h"

#include <gtest/gtest.h>

#include <string>

#include "test_util.h"

namespace halcyra {
namespace {

using testing::Bytes;
using testing::ReadFile;
using testing::RecordingSink;
using testing::TempDir;

std::unique_ptr<Sink> File(const std::string& path) {
  Result<std::unique_ptr<FileSink>> f = FileSink::Create(path);
  EXPECT_TRUE(f.ok());
  return f.ok() ? std::unique_ptr<Sink>(std::move(*f)) : nullptr;
}

TEST(RecordStore, EmptyStore) {
  TempDir dir;
  Result<RecordStoreWriter> w = BeginRecordStore(File(dir / "records.bin"), File(dir / "records.idx"), 0);
  ASSERT_TRUE(w.ok());
  ASSERT_TRUE(w->Finish().ok());
  EXPECT_EQ(ReadFile(dir / "records.bin"), "");
  EXPECT_EQ(ReadFile(dir / "records.idx"),
            Bytes({'H', 'Y', 'S', 'R', 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(RecordStore, OffsetsAccumulateLengths) {
  TempDir dir;
  Result<RecordStoreWriter> w = BeginRecordStore(File(dir / "records.bin"), File(dir / "records.idx"), 3);
  ASSERT_TRUE(w.ok());
  const std::string first("a\0\xFF", 3);  // NUL and invalid UTF-8 pass through
  ASSERT_TRUE(w->Append(first).ok());
  ASSERT_TRUE(w->Append("").ok());
  ASSERT_TRUE(w->Append("\x80xyz").ok());
  EXPECT_FALSE(w->Append("extra").ok());  // a fourth record is refused
  ASSERT_TRUE(w->Finish().ok());
  EXPECT_EQ(ReadFile(dir / "records.bin"), first + "\x80xyz");
  EXPECT_EQ(ReadFile(dir / "records.idx"), Bytes({'H', 'Y', 'S', 'R', 1, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0,  //
                                                  0, 0, 0, 0, 0, 0, 0, 0,   // 0
                                                  3, 0, 0, 0, 0, 0, 0, 0,   // 3
                                                  3, 0, 0, 0, 0, 0, 0, 0,   // 3
                                                  7, 0, 0, 0, 0, 0, 0, 0}));  // 7
}

TEST(RecordStore, CountIsEnforced) {
  int closes = 0;
  {
    Result<RecordStoreWriter> w = BeginRecordStore(std::make_unique<RecordingSink>(&closes),
                                                     std::make_unique<RecordingSink>(&closes), 2);
    ASSERT_TRUE(w.ok());
    ASSERT_TRUE(w->Append("x").ok());
    Status s = w->Finish();
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().code(), ErrorCode::kLimit);
    EXPECT_EQ(s.error().message(), "record store given fewer records than its header counts");
    EXPECT_EQ(closes, 2);
  }
  {
    Result<RecordStoreWriter> w = BeginRecordStore(std::make_unique<RecordingSink>(),
                                                     std::make_unique<RecordingSink>(), 0);
    ASSERT_TRUE(w.ok());
    Status s = w->Append("");
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().message(), "record store given more records than its header counts");
  }
  Result<RecordStoreWriter> w = BeginRecordStore(std::make_unique<RecordingSink>(),
                                                   std::make_unique<RecordingSink>(), uint64_t{1} << 32);
  ASSERT_FALSE(w.ok());
  EXPECT_EQ(w.error().code(), ErrorCode::kLimit);
  EXPECT_EQ(w.error().message(), "HYSR record count exceeds the 32-bit limit");
}

TEST(RecordStore, WriteErrorsAreReturned) {
  Result<RecordStoreWriter> header = BeginRecordStore(std::make_unique<RecordingSink>(),
                                                        std::make_unique<RecordingSink>(nullptr, 0), 1);
  ASSERT_FALSE(header.ok());
  EXPECT_EQ(header.error().message(), "No space left on device (os error 28)");

  Result<RecordStoreWriter> w = BeginRecordStore(std::make_unique<RecordingSink>(nullptr, 1),
                                                   std::make_unique<RecordingSink>(), 2);
  ASSERT_TRUE(w.ok());
  ASSERT_TRUE(w->Append("a").ok());
  Status s = w->Append("b");
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().code(), ErrorCode::kOs);
}

}  // namespace
}  // namespace halcyra
