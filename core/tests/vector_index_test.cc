#include "halcyra/vector_index.h"
#include "vector/hyvi_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "base/coding.h"
#include "test_util.h"
#include "vector_reference.h"

namespace halcyra {
namespace {

using testing::ReadFile;
using testing::RecordingSink;
using testing::TempDir;
using testing::WriteFile;

// Writes through WriteHyvi into memory and returns the bytes.
std::string WriteToBytes(const IvfPqIndex& model) {
  BufferSink sink;
  Status s = WriteHyvi(model, sink);
  EXPECT_TRUE(s.ok()) << (s.ok() ? "" : s.error().message());
  return sink.Release();
}

// The message of a write that must fail, after checking that it wrote
// nothing and closed the sink once.
std::string RefusedWrite(const IvfPqIndex& model) {
  RecordingSink sink;
  Status s = WriteHyvi(model, sink);
  EXPECT_FALSE(s.ok());
  EXPECT_EQ(sink.bytes(), "");
  EXPECT_EQ(sink.closes(), 1);
  return s.ok() ? std::string() : s.error().message();
}

// A reader of the format, as a range-fetching client would parse it: fixed
// header, model arrays, directory, then each list at its directory offset.
struct Parsed {
  uint16_t version;
  uint8_t metric, has_opq, nbits;
  uint32_t dim, nlist, m;
  uint64_t n;
  std::vector<float> opq, centroids, codebooks;
  std::vector<uint64_t> offsets;
  std::vector<uint32_t> counts;
  std::vector<std::vector<DocId>> ids;
  std::vector<std::vector<uint8_t>> codes;
};

std::vector<float> Floats(const std::string& bytes, size_t* pos, size_t count) {
  std::vector<float> out(count);
  for (size_t i = 0; i < count; ++i, *pos += 4) {
    const uint32_t bits = DecodeFixed32(bytes.data() + *pos);
    std::memcpy(&out[i], &bits, 4);
  }
  return out;
}

Parsed Parse(const std::string& b) {
  Parsed p;
  EXPECT_GE(b.size(), 48u);
  EXPECT_EQ(b.substr(0, 4), "HYVI");
  p.version = DecodeFixed16(b.data() + 4);
  p.metric = static_cast<uint8_t>(b[6]);
  p.has_opq = static_cast<uint8_t>(b[7]);
  p.dim = DecodeFixed32(b.data() + 8);
  p.nlist = DecodeFixed32(b.data() + 12);
  p.m = DecodeFixed32(b.data() + 16);
  p.nbits = static_cast<uint8_t>(b[20]);
  p.n = DecodeFixed64(b.data() + 24);
  EXPECT_EQ(b.substr(21, 3), std::string(3, '\0'));
  EXPECT_EQ(b.substr(32, 16), std::string(16, '\0'));
  const size_t ksub = size_t{1} << p.nbits;
  size_t pos = 48;
  if (p.has_opq) p.opq = Floats(b, &pos, size_t{p.dim} * p.dim);
  p.centroids = Floats(b, &pos, size_t{p.nlist} * p.dim);
  p.codebooks = Floats(b, &pos, ksub * p.dim);
  for (uint32_t c = 0; c < p.nlist; ++c, pos += 12) {
    p.offsets.push_back(DecodeFixed64(b.data() + pos));
    p.counts.push_back(DecodeFixed32(b.data() + pos + 8));
  }
  // Lists are packed in cluster order right after the directory.
  uint64_t total = 0;
  for (uint32_t c = 0; c < p.nlist; ++c) {
    EXPECT_EQ(p.offsets[c], pos) << "list " << c;
    std::vector<DocId> ids;
    for (uint32_t k = 0; k < p.counts[c]; ++k, pos += 4) ids.push_back(DecodeFixed32(b.data() + pos));
    const size_t code_bytes = size_t{p.counts[c]} * p.m;
    p.ids.push_back(ids);
    p.codes.emplace_back(b.begin() + static_cast<long>(pos), b.begin() + static_cast<long>(pos + code_bytes));
    pos += code_bytes;
    total += p.counts[c];
  }
  EXPECT_EQ(pos, b.size());
  EXPECT_EQ(total, p.n);
  return p;
}

void ExpectRoundTrip(const IvfPqIndex& model, const Parsed& p) {
  EXPECT_EQ(p.version, 1);
  EXPECT_EQ(p.metric, static_cast<uint8_t>(model.metric));
  EXPECT_EQ(p.has_opq, model.opq.has_value() ? 1 : 0);
  EXPECT_EQ(p.dim, model.dim);
  EXPECT_EQ(p.nlist, model.nlist);
  EXPECT_EQ(p.m, model.m);
  EXPECT_EQ(p.nbits, model.nbits);
  EXPECT_EQ(p.n, model.n);
  if (model.opq.has_value()) {
    EXPECT_TRUE(reference::SameBits(p.opq, *model.opq));
  }
  EXPECT_TRUE(reference::SameBits(p.centroids, model.centroids));
  EXPECT_TRUE(reference::SameBits(p.codebooks, model.codebooks));
  EXPECT_EQ(p.ids, model.list_ids);
  EXPECT_EQ(p.codes, model.list_codes);
}

// dim 4, m 2, nbits 2, nlist 1, 3 vectors; floats chosen to be readable in hex.
IvfPqIndex SmallModel() {
  IvfPqIndex model;
  model.dim = 4;
  model.nlist = 1;
  model.m = 2;
  model.nbits = 2;
  model.n = 3;
  model.metric = Metric::kL2;
  model.centroids = {1.0f, -2.0f, 0.5f, 0.0f};
  for (int i = 0; i < 16; ++i) model.codebooks.push_back(static_cast<float>(i));
  model.list_ids = {{0x01020304, 7, 0xFFFFFFFF}};
  model.list_codes = {{0, 1, 2, 3, 3, 0}};
  return model;
}

TEST(WriteHyvi, SmallModelByteExact) {
  const std::string bytes = WriteToBytes(SmallModel());
  ASSERT_EQ(bytes.size(), 158u);  // header 48, centroids 16, codebooks 64, directory 12, list 12 + 6
  const unsigned char header[48] = {
      'H', 'Y', 'V', 'I', 1, 0,  // magic, version 1
      1, 0,                      // metric L2, no OPQ
      4, 0, 0, 0,                // dim
      1, 0, 0, 0,                // nlist
      2, 0, 0, 0,                // m
      2, 0, 0, 0,                // nbits, reserved
      3, 0, 0, 0, 0, 0, 0, 0,    // n
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(bytes.substr(0, 48), std::string(reinterpret_cast<const char*>(header), 48));
  // Centroids: 1.0 = 0x3F800000, -2.0 = 0xC0000000, 0.5 = 0x3F000000, 0.0.
  EXPECT_EQ(bytes.substr(48, 16), std::string("\x00\x00\x80\x3F\x00\x00\x00\xC0\x00\x00\x00\x3F\x00\x00\x00\x00", 16));
  // Codebook float 1 is 1.0, float 15 is 15.0 = 0x41700000.
  EXPECT_EQ(bytes.substr(68, 4), std::string("\x00\x00\x80\x3F", 4));
  EXPECT_EQ(bytes.substr(124, 4), std::string("\x00\x00\x70\x41", 4));
  // Directory: offset 140, count 3.
  EXPECT_EQ(bytes.substr(128, 12), std::string("\x8C\x00\x00\x00\x00\x00\x00\x00\x03\x00\x00\x00", 12));
  // List: ids, then the codes grouped by vector.
  EXPECT_EQ(bytes.substr(140), std::string("\x04\x03\x02\x01\x07\x00\x00\x00\xFF\xFF\xFF\xFF"
                                           "\x00\x01\x02\x03\x03\x00",
                                           18));
}

TEST(WriteHyvi, OpqShiftsEverySectionAndOffset) {
  IvfPqIndex model = SmallModel();
  model.metric = Metric::kInnerProduct;
  model.opq = std::vector<float>(16);
  for (int i = 0; i < 16; ++i) (*model.opq)[i] = static_cast<float>(i) * 0.5f;
  const std::string bytes = WriteToBytes(model);
  ASSERT_EQ(bytes.size(), 158u + 64);
  EXPECT_EQ(bytes[6], 0);
  EXPECT_EQ(bytes[7], 1);
  EXPECT_EQ(DecodeFixed64(bytes.data() + 128 + 64), 140u + 64);
  ExpectRoundTrip(model, Parse(bytes));
}

TEST(WriteHyvi, EmptyListsShareTheNextOffset) {
  // Lists 0, 2 and 4 empty; the last one's offset is the file length.
  IvfPqIndex model;
  model.dim = 2;
  model.nlist = 5;
  model.m = 1;
  model.nbits = 1;
  model.n = 3;
  model.metric = Metric::kL2;
  model.centroids.assign(10, 0.0f);
  model.codebooks.assign(4, 1.0f);
  model.list_ids = {{}, {5, 6}, {}, {9}, {}};
  model.list_codes = {{}, {1, 0}, {}, {1}, {}};
  const std::string bytes = WriteToBytes(model);
  Parsed p = Parse(bytes);
  ExpectRoundTrip(model, p);
  const uint64_t first = 48 + 40 + 16 + 60;
  EXPECT_EQ(p.offsets, std::vector<uint64_t>({first, first, first + 10, first + 10, first + 15}));
  EXPECT_EQ(p.offsets.back(), bytes.size());

  // No vectors at all: every offset is the file length.
  for (auto& ids : model.list_ids) ids.clear();
  for (auto& codes : model.list_codes) codes.clear();
  model.n = 0;
  const std::string empty = WriteToBytes(model);
  Parsed e = Parse(empty);
  EXPECT_EQ(empty.size(), first);
  EXPECT_EQ(e.offsets, std::vector<uint64_t>(5, first));
  EXPECT_EQ(e.counts, std::vector<uint32_t>(5, 0));
}

TEST(WriteHyvi, TrainedModelRoundTripsAndIsDeterministic) {
  std::mt19937 gen(8);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<StagedVector> items;
  for (uint32_t i = 0; i < 300; ++i) {
    StagedVector item{i * 3, std::vector<float>(24)};
    for (float& v : item.vector) v = normal(gen);
    items.push_back(std::move(item));
  }
  IvfPqParams params;
  params.dim = 24;
  params.nlist = 10;
  params.m = 6;
  params.nbits = 5;
  params.kmeans_iters = 4;
  params.seed = 0x4851564948595649u;
  params.metric = Metric::kInnerProduct;

  Result<IvfPqIndex> a = TrainIvfPq(items, params);
  ASSERT_TRUE(a.ok());
  const std::string first = WriteToBytes(*a);
  ExpectRoundTrip(*a, Parse(first));
  EXPECT_EQ(first.size(), 48 + 4 * 10 * 24 + 4 * 32 * 24 + 12 * 10 + (4 + 6) * 300);
  // Retraining the same input writes the same bytes.
  Result<IvfPqIndex> b = TrainIvfPq(items, params);
  ASSERT_TRUE(b.ok());
  EXPECT_EQ(WriteToBytes(*b), first);
}

TEST(WriteHyvi, TrainedNlistIsTheClampedCount) {
  std::vector<StagedVector> items;
  for (uint32_t i = 0; i < 5; ++i) items.push_back({i, {static_cast<float>(i), 1.0f, -1.0f, 0.5f}});
  IvfPqParams params;
  params.dim = 4;
  params.nlist = 100;
  params.m = 2;
  params.nbits = 8;
  params.kmeans_iters = 2;
  params.seed = 5;
  params.metric = Metric::kL2;
  Result<IvfPqIndex> model = TrainIvfPq(items, params);
  ASSERT_TRUE(model.ok());
  const std::string bytes = WriteToBytes(*model);
  EXPECT_EQ(DecodeFixed32(bytes.data() + 12), 5u);
  EXPECT_EQ(bytes.size(), 48 + 4 * 5 * 4 + 4 * 256 * 4 + 12 * 5 + (4 + 2) * 5);
  ExpectRoundTrip(*model, Parse(bytes));
}

TEST(WriteHyvi, LimitsAreCheckedBeforeWriting) {
  IvfPqIndex model = SmallModel();
  model.dim = uint64_t{1} << 32;
  EXPECT_EQ(RefusedWrite(model), "HYVI dim exceeds the 32-bit limit");
  model = SmallModel();
  model.nlist = uint64_t{1} << 32;
  EXPECT_EQ(RefusedWrite(model), "HYVI nlist exceeds the 32-bit limit");
  model = SmallModel();
  model.m = uint64_t{1} << 32;
  EXPECT_EQ(RefusedWrite(model), "HYVI m exceeds the 32-bit limit");

  RecordingSink sink;
  Status s = WriteHyvi(model, sink);
  EXPECT_EQ(s.error().code(), ErrorCode::kLimit);
}

TEST(WriteHyvi, InconsistentModelIsRefused) {
  IvfPqIndex model = SmallModel();
  model.list_codes[0].pop_back();
  EXPECT_EQ(RefusedWrite(model), "HYVI model is inconsistent: list codes length");
  model = SmallModel();
  model.n = 4;
  EXPECT_EQ(RefusedWrite(model), "HYVI model is inconsistent: list lengths do not sum to n");
  model = SmallModel();
  model.list_ids.emplace_back();
  EXPECT_EQ(RefusedWrite(model), "HYVI model is inconsistent: list count != nlist");
  model = SmallModel();
  model.codebooks.pop_back();
  EXPECT_EQ(RefusedWrite(model), "HYVI model is inconsistent: codebooks length");
}

TEST(WriteHyvi, FailedAppendEndsTheWriteAndClosesTheSink) {
  // The small model with an OPQ matrix is appended in 7 pieces: header, OPQ,
  // centroids, codebooks, directory, ids, codes. Failing any one of them
  // returns that error at once: the sink holds exactly the pieces before it.
  IvfPqIndex model = SmallModel();
  model.opq = std::vector<float>(16, 2.0f);
  const std::string whole = WriteToBytes(model);
  const size_t ends[] = {48, 112, 128, 192, 204, 216, 222};
  ASSERT_EQ(whole.size(), ends[6]);
  for (int fail_at = 0; fail_at < 7; ++fail_at) {
    RecordingSink sink(nullptr, fail_at);
    Status s = WriteHyvi(model, sink);
    ASSERT_FALSE(s.ok()) << fail_at;
    EXPECT_EQ(s.error().message(), "No space left on device (os error 28)");
    EXPECT_EQ(sink.bytes(), whole.substr(0, fail_at == 0 ? 0 : ends[fail_at - 1])) << fail_at;
    EXPECT_EQ(sink.closes(), 1);
  }
  RecordingSink sink(nullptr, 7);
  EXPECT_TRUE(WriteHyvi(model, sink).ok());
  EXPECT_EQ(sink.closes(), 1);
}

TEST(WriteHyviFile, WriteFailureIsTheOsError) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  // Small enough to stay in the file buffer: the error surfaces on close.
  Status s = WriteHyviFile(SmallModel(), "/dev/full");
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().code(), ErrorCode::kOs);
  EXPECT_EQ(s.error().message(), "No space left on device (os error 28)");
  // Large enough to pass the buffer: the error surfaces on an append.
  IvfPqIndex big = SmallModel();
  big.nlist = 1 << 16;
  big.centroids.assign(big.nlist * big.dim, 1.0f);
  big.list_ids.resize(big.nlist);
  big.list_codes.resize(big.nlist);
  s = WriteHyviFile(big, "/dev/full");
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(), "No space left on device (os error 28)");
}

TEST(WriteHyviFile, CreatesParentsAndTruncates) {
  TempDir dir;
  const std::string path = dir / "a/b/c/model.hyvi";
  WriteFile(dir / "x.hyvi", std::string(1000, 'x'));
  ASSERT_TRUE(WriteHyviFile(SmallModel(), path).ok());
  EXPECT_EQ(ReadFile(path), WriteToBytes(SmallModel()));
  ASSERT_TRUE(WriteHyviFile(SmallModel(), dir / "x.hyvi").ok());
  EXPECT_EQ(ReadFile(dir / "x.hyvi"), ReadFile(path));
  // A bare file name has no parent to create.
  const std::string cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  Status bare = WriteHyviFile(SmallModel(), "bare.hyvi");
  std::filesystem::current_path(cwd);
  ASSERT_TRUE(bare.ok());
  EXPECT_EQ(ReadFile(dir / "bare.hyvi").size(), 158u);

  // A parent that is a regular file.
  Status s = WriteHyviFile(SmallModel(), dir / "x.hyvi/sub/model.hyvi");
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().code(), ErrorCode::kOs);
  EXPECT_EQ(s.error().message(), "Not a directory (os error 20)");
  // A path that is a directory.
  s = WriteHyviFile(SmallModel(), dir / "a");
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(), "Is a directory (os error 21)");
}

}  // namespace
}  // namespace halcyra
