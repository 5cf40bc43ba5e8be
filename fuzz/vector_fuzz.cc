// libFuzzer target for the buffers of a vector model trained elsewhere, as
// the Python binding and other C++ callers hand them over: the parameter
// checks, the little-endian array decoding, the model's
// assembly and its file written into memory. Every failure is an error with
// a message, never a crash or a read outside the buffers (the sanitizers
// watch), and a model that is assembled is written whole: the file holds the
// given arrays bit for bit and each vector's id and code in its list.
//
// Input:
//   shape u8     bit 7: wide parameters, bit 6: with opq, bits 0-4: dim
//   then, wide   dim u64, nlist u64, m u64
//         else   m selector u8 (bit 7: m is bits 0-3, else the selector picks
//                one of dim's divisors), nlist u8 (bits 0-3)
//   nbits u8
//   metric u8    below 0xC0 a known name, else a name of bits 0-3 bytes
//                that follow
//   five (six with opq) buffers, each a u16 length and its bytes, in the
//   order centroids, codebooks, ids, assignments, codes, opq; a buffer cut
//   short by the input's end keeps what there is
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/coding.h"
#include "base/sink.h"
#include "halcyra/vector_index.h"
#include "vector/hyvi_writer.h"

namespace {

using halcyra::Result;

void Check(bool ok) {
  if (!ok) std::abort();
}

// Reads the fuzz input front to back; past its end every read is zero or
// empty.
class Reader {
 public:
  explicit Reader(std::string_view data) : data_(data) {}
  uint8_t U8() { return data_.empty() ? 0 : static_cast<uint8_t>(Take(1)[0]); }
  uint16_t U16() { return Fixed<uint16_t>(2); }
  uint64_t U64() { return Fixed<uint64_t>(8); }
  std::string_view Bytes(size_t n) { return Take(n); }
  std::string_view Buffer() { return Take(U16()); }

 private:
  std::string_view Take(size_t n) {
    const std::string_view out = data_.substr(0, n);
    data_.remove_prefix(out.size());
    return out;
  }
  template <class T>
  T Fixed(size_t n) {
    const std::string_view b = Take(n);
    T v = 0;
    for (size_t i = b.size(); i-- > 0;) v = static_cast<T>(v << 8 | static_cast<uint8_t>(b[i]));
    return v;
  }
  std::string_view data_;
};

constexpr const char* kMetricNames[] = {"ip", "l2", "cosine", "dot", "inner_product", "euclidean", "L2", "Cosine"};

// The file written for a model, checked against the arrays it was assembled
// from (layout at the top of vector/hyvi_writer.cc).
void CheckFile(const std::string& file, uint64_t dim, uint64_t nlist, uint64_t m, uint8_t nbits,
               halcyra::Metric metric, std::string_view centroids, std::string_view codebooks,
               const std::vector<uint32_t>& ids, const std::vector<uint32_t>& assignments, std::string_view codes,
               std::optional<std::string_view> opq) {
  const uint64_t n = ids.size();
  const uint64_t ksub = uint64_t{1} << nbits;
  const uint64_t arrays = (opq ? opq->size() : 0) + centroids.size() + codebooks.size();
  const uint64_t first_list = 48 + arrays + 12 * nlist;
  Check(file.size() == first_list + 4 * n + n * m);
  const char* p = file.data();
  Check(file.compare(0, 4, "HYVI") == 0 && halcyra::DecodeFixed16(p + 4) == 1);
  Check(static_cast<uint8_t>(p[6]) == static_cast<uint8_t>(metric) && p[7] == (opq ? 1 : 0));
  Check(halcyra::DecodeFixed32(p + 8) == dim && halcyra::DecodeFixed32(p + 12) == nlist &&
        halcyra::DecodeFixed32(p + 16) == m && static_cast<uint8_t>(p[20]) == nbits &&
        halcyra::DecodeFixed64(p + 24) == n);
  Check(4 * ksub * dim == codebooks.size());
  std::string given;
  if (opq) given += *opq;
  given += centroids;
  given += codebooks;
  Check(file.compare(48, given.size(), given) == 0);

  // Each list: the vectors assigned to it, in input order.
  uint64_t offset = first_list;
  for (uint64_t c = 0; c < nlist; ++c) {
    const char* entry = p + 48 + arrays + 12 * c;
    Check(halcyra::DecodeFixed64(entry) == offset);
    const uint32_t count = halcyra::DecodeFixed32(entry + 8);
    const char* list_ids = p + offset;
    const char* list_codes = list_ids + 4 * uint64_t{count};
    uint32_t seen = 0;
    for (uint64_t i = 0; i < n; ++i) {
      if (assignments[i] != c) continue;
      Check(seen < count && halcyra::DecodeFixed32(list_ids + 4 * uint64_t{seen}) == ids[i]);
      Check(std::memcmp(list_codes + m * seen, codes.data() + m * i, m) == 0);
      ++seen;
    }
    Check(seen == count);
    offset += (4 + m) * count;
  }
  Check(offset == file.size());
}

void Fuzz(std::string_view data) {
  Reader in(data);
  const uint8_t shape = in.U8();
  const bool with_opq = (shape & 0x40) != 0;
  uint64_t dim = shape & 0x1F, nlist, m;
  if (shape & 0x80) {
    dim = in.U64();
    nlist = in.U64();
    m = in.U64();
  } else {
    const uint8_t pick = in.U8();
    nlist = in.U8() & 0x0F;
    if (pick & 0x80 || dim == 0) {
      m = pick & 0x0F;
    } else {
      std::vector<uint64_t> divisors;
      for (uint64_t d = 1; d <= dim; ++d) {
        if (dim % d == 0) divisors.push_back(d);
      }
      m = divisors[pick % divisors.size()];
    }
  }
  const uint8_t nbits = in.U8();
  const uint8_t name_pick = in.U8();
  const std::string metric_name = name_pick < 0xC0 ? kMetricNames[name_pick % std::size(kMetricNames)]
                                                   : std::string(in.Bytes(name_pick & 0x0F));
  const std::string_view centroids = in.Buffer(), codebooks = in.Buffer(), id_bytes = in.Buffer(),
                         assignment_bytes = in.Buffer(), codes = in.Buffer();
  std::optional<std::string_view> opq;
  if (with_opq) opq = in.Buffer();

  // As the binding does it, but the file goes into memory.
  Result<halcyra::Metric> metric = halcyra::CheckVectorParams(dim, nlist, m, nbits, metric_name);
  if (!metric.ok()) {
    Check(!metric.error().message().empty());
    return;
  }
  // dim and nlist fit 32 bits now, so none of these counts overflows.
  const uint64_t ksub = uint64_t{1} << nbits;
  // A decoded array holds its bytes exactly; a refused one says why.
  const auto decoded = [](const auto& values, std::string_view bytes) {
    Check(values.ok() ? values->size() * 4 == bytes.size() : !values.error().message().empty());
    return values.ok();
  };
  Result<std::vector<float>> centroid_values = halcyra::DecodeF32Array("centroids", centroids, nlist * dim);
  if (!decoded(centroid_values, centroids)) return;
  Result<std::vector<float>> codebook_values = halcyra::DecodeF32Array("codebooks", codebooks, ksub * dim);
  if (!decoded(codebook_values, codebooks)) return;
  std::optional<std::vector<float>> opq_floats;
  if (opq) {
    Result<std::vector<float>> values = halcyra::DecodeF32Array("opq", *opq, dim * dim);
    if (!decoded(values, *opq)) return;
    opq_floats = std::move(*values);
  }
  Result<std::vector<uint32_t>> id_values = halcyra::DecodeU32Array("ids", id_bytes);
  if (!decoded(id_values, id_bytes)) return;
  Result<std::vector<uint32_t>> assignment_values = halcyra::DecodeU32Array("assignments", assignment_bytes);
  if (!decoded(assignment_values, assignment_bytes)) return;

  const std::vector<uint32_t> ids = *id_values, assignments = *assignment_values;
  Result<halcyra::IvfPqIndex> model = halcyra::AssembleIvfPq(
      std::move(*centroid_values), std::move(*codebook_values), std::move(*id_values), std::move(*assignment_values),
      std::vector<uint8_t>(codes.begin(), codes.end()), std::move(opq_floats), dim, nlist, m, nbits, *metric);
  if (!model.ok()) {
    Check(!model.error().message().empty());
    return;
  }
  Check(model->n == ids.size() && model->list_ids.size() == nlist && model->list_codes.size() == nlist);
  halcyra::BufferSink sink;
  Check(halcyra::WriteHyvi(*model, sink).ok());
  CheckFile(sink.bytes(), dim, nlist, m, nbits, *metric, centroids, codebooks, ids, assignments, codes, opq);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Fuzz(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
