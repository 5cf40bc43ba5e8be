// Vector-index file, version 1. Little-endian, packed, no alignment.
//
//   offset  size  field
//   0       4     magic "HYVI"
//   4       2     version = 1
//   6       1     metric: 0 inner product, 1 L2
//   7       1     has_opq: 0 or 1
//   8       4     dim
//   12      4     nlist
//   16      4     m
//   20      1     nbits
//   21      3     reserved, zero
//   24      8     n, vectors over all lists
//   32      16    reserved, zero
//   48            [opq]       dim * dim f32, row-major, only if has_opq
//                 centroids   nlist * dim f32, row-major
//                 codebooks   m * ksub * dsub f32, index (j * ksub + c) * dsub + t
//                 directory   nlist * { u64 absolute list offset, u32 count }
//                 lists       per cluster: count u32 ids, then count * m code bytes
//
// ksub = 2^nbits, dsub = dim / m. An empty list has the offset of the next
// one (the file length for the last), and the file ends with the last list.
//
// See VECTORS.md for what the numbers mean and FORMATS.md (Vector index) for a
// worked example.
#include "vector/hyvi_writer.h"

#include <cassert>
#include <filesystem>
#include <limits>

#include "base/coding.h"

namespace halcyra {
namespace {

constexpr size_t kHeaderSize = 48;
constexpr uint16_t kVersion = 1;

bool Multiplies(uint64_t a, uint64_t b, size_t length) {
  uint64_t p;
  return !__builtin_mul_overflow(a, b, &p) && p == length;
}

// Both producers guarantee the shape; a violation would write a file whose
// directory disagrees with its data.
Status CheckShape(const IvfPqIndex& model) {
  auto bad = [](const std::string& what) { return Error::Internal("HYVI model is inconsistent: " + what); };
  if (model.m == 0 || model.dim % model.m != 0) return bad("m does not divide dim");
  if (model.nbits < 1 || model.nbits > 8) return bad("nbits outside 1..8");
  if (!Multiplies(model.nlist, model.dim, model.centroids.size())) return bad("centroids length");
  // m * ksub * dsub = ksub * dim.
  if (!Multiplies(uint64_t{1} << model.nbits, model.dim, model.codebooks.size())) {
    return bad("codebooks length");
  }
  if (model.opq.has_value() && !Multiplies(model.dim, model.dim, model.opq->size())) return bad("opq length");
  if (model.list_ids.size() != model.nlist || model.list_codes.size() != model.nlist) {
    return bad("list count != nlist");
  }
  uint64_t total = 0;
  for (size_t c = 0; c < model.nlist; ++c) {
    if (!Multiplies(model.list_ids[c].size(), model.m, model.list_codes[c].size())) {
      return bad("list codes length");
    }
    total += model.list_ids[c].size();
  }
  if (total != model.n) return bad("list lengths do not sum to n");
  return Status::Ok();
}

Status CheckLimits(const IvfPqIndex& model) {
  constexpr uint64_t kMax = std::numeric_limits<uint32_t>::max();
  if (model.dim > kMax) return Error::Limit("HYVI dim exceeds the 32-bit limit");
  if (model.nlist > kMax) return Error::Limit("HYVI nlist exceeds the 32-bit limit");
  if (model.m > kMax) return Error::Limit("HYVI m exceeds the 32-bit limit");
  for (const std::vector<DocId>& ids : model.list_ids) {
    if (ids.size() > kMax) return Error::Limit("HYVI list length exceeds the 32-bit limit");
  }
  return Status::Ok();
}

// The array as little-endian bytes, appended to the sink in one piece.
Status AppendFloats(const std::vector<float>& values, Sink& sink) {
  std::string buf;
  buf.reserve(4 * values.size());
  for (float v : values) PutFloat32(&buf, v);
  return sink.Append(buf);
}

Status WriteModel(const IvfPqIndex& model, Sink& sink) {
  HALCYRA_RETURN_IF_ERROR(CheckLimits(model));
  HALCYRA_RETURN_IF_ERROR(CheckShape(model));
  const uint64_t dim = model.dim;
  const uint64_t nlist = model.nlist;
  const uint64_t ksub = uint64_t{1} << model.nbits;
  const uint64_t has_opq = model.opq.has_value() ? 1 : 0;
  // m * ksub * dsub codebook floats = ksub * dim.
  const uint64_t first_list = kHeaderSize + has_opq * 4 * dim * dim + 4 * nlist * dim + 4 * ksub * dim +
                              12 * nlist;

  std::string header;
  header.append("HYVI", 4);
  PutFixed16(&header, kVersion);
  PutFixed8(&header, static_cast<uint8_t>(model.metric));
  PutFixed8(&header, static_cast<uint8_t>(has_opq));
  PutFixed32(&header, static_cast<uint32_t>(dim));
  PutFixed32(&header, static_cast<uint32_t>(nlist));
  PutFixed32(&header, static_cast<uint32_t>(model.m));
  PutFixed8(&header, model.nbits);
  header.append(3, '\0');
  PutFixed64(&header, model.n);
  header.append(16, '\0');
  assert(header.size() == kHeaderSize);
  HALCYRA_RETURN_IF_ERROR(sink.Append(header));

  if (model.opq.has_value()) HALCYRA_RETURN_IF_ERROR(AppendFloats(*model.opq, sink));
  HALCYRA_RETURN_IF_ERROR(AppendFloats(model.centroids, sink));
  HALCYRA_RETURN_IF_ERROR(AppendFloats(model.codebooks, sink));

  std::string directory;
  directory.reserve(12 * nlist);
  uint64_t offset = first_list;
  for (size_t c = 0; c < nlist; ++c) {
    PutFixed64(&directory, offset);
    PutFixed32(&directory, static_cast<uint32_t>(model.list_ids[c].size()));
    offset += 4 * model.list_ids[c].size() + model.list_codes[c].size();
  }
  HALCYRA_RETURN_IF_ERROR(sink.Append(directory));

  std::string ids;
  for (size_t c = 0; c < nlist; ++c) {
    ids.clear();
    for (DocId id : model.list_ids[c]) PutFixed32(&ids, id);
    HALCYRA_RETURN_IF_ERROR(sink.Append(ids));
    const std::vector<uint8_t>& codes = model.list_codes[c];
    HALCYRA_RETURN_IF_ERROR(sink.Append(std::string_view(reinterpret_cast<const char*>(codes.data()), codes.size())));
  }
  return Status::Ok();
}

}  // namespace

Status WriteHyvi(const IvfPqIndex& model, Sink& sink) {
  Status written = WriteModel(model, sink);
  Status closed = sink.Close();
  return written.ok() ? closed : written;
}

Status WriteHyviFile(const IvfPqIndex& model, const std::string& path) {
  HALCYRA_RETURN_IF_ERROR(CreateDirectories(std::filesystem::path(path).parent_path().native()));
  Result<std::unique_ptr<FileSink>> file = FileSink::Create(path);
  if (!file.ok()) return file.take_error();
  return WriteHyvi(model, **file);
}

}  // namespace halcyra
