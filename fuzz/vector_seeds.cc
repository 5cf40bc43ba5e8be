// Writes seeds for the vector fuzzer into the directory given as the
// argument: consistent models of several shapes, with and without a rotation,
// and a few that each break one rule (input layout in vector_fuzz.cc).
// Regenerate the in-tree seeds with: build-fuzz/fuzz/vector_seeds fuzz/corpus/vector
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "base/coding.h"

namespace {

bool Save(const std::string& dir, const std::string& name, const std::string& bytes) {
  const std::string path = dir + "/" + name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

// Metric selectors of the fuzzer's name table.
constexpr uint8_t kIp = 0, kL2 = 1, kCosine = 2;

struct Model {
  uint32_t dim = 4, nlist = 3, m = 2;
  uint8_t nbits = 2;
  uint8_t metric = kL2;
  std::vector<uint32_t> ids = {7, 3, 100, 4000000000u, 0};
  std::vector<uint32_t> assignments = {0, 2, 2, 1, 0};
  std::vector<uint8_t> codes;  // m per vector; made below 2^nbits when empty
  bool opq = false;
  bool wide = false;  // parameters as u64

  std::string Encode() const {
    const uint64_t ksub = uint64_t{1} << (nbits > 8 ? 8 : nbits);
    std::string out;
    halcyra::PutFixed8(&out, static_cast<uint8_t>((wide ? 0x80 : dim & 0x1F) | (opq ? 0x40 : 0)));
    if (wide) {
      halcyra::PutFixed64(&out, dim);
      halcyra::PutFixed64(&out, nlist);
      halcyra::PutFixed64(&out, m);
    } else {
      halcyra::PutFixed8(&out, static_cast<uint8_t>(0x80 | m));
      halcyra::PutFixed8(&out, static_cast<uint8_t>(nlist));
    }
    halcyra::PutFixed8(&out, nbits);
    halcyra::PutFixed8(&out, metric);
    const auto buffer = [&out](const std::string& bytes) {
      halcyra::PutFixed16(&out, static_cast<uint16_t>(bytes.size()));
      out += bytes;
    };
    const auto floats = [](uint64_t count, float scale) {
      std::string bytes;
      for (uint64_t i = 0; i < count; ++i) halcyra::PutFloat32(&bytes, scale * static_cast<float>(i % 7) - 1.5f);
      return bytes;
    };
    const auto words = [](const std::vector<uint32_t>& values) {
      std::string bytes;
      for (uint32_t v : values) halcyra::PutFixed32(&bytes, v);
      return bytes;
    };
    buffer(wide ? std::string() : floats(uint64_t{nlist} * dim, 0.25f));
    buffer(wide ? std::string() : floats(ksub * dim, 0.5f));
    buffer(words(ids));
    buffer(words(assignments));
    std::string code_bytes(codes.begin(), codes.end());
    if (codes.empty()) {
      for (size_t i = 0; i < ids.size() * m; ++i) code_bytes += static_cast<char>((i * 5 + 1) % ksub);
    }
    buffer(code_bytes);
    if (opq) buffer(floats(uint64_t{dim} * dim, 0.125f));
    return out;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s corpus-dir\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  bool ok = true;

  Model plain;
  ok &= Save(dir, "model-l2", plain.Encode());

  Model rotated;
  rotated.opq = true;
  rotated.metric = kIp;
  ok &= Save(dir, "model-ip-opq", rotated.Encode());

  // Eight-bit codes over two one-component sub-spaces.
  Model bytes;
  bytes.dim = 2;
  bytes.m = 2;
  bytes.nlist = 1;
  bytes.nbits = 8;
  bytes.metric = kCosine;
  bytes.ids = {1, 2, 3};
  bytes.assignments = {0, 0, 0};
  bytes.codes = {0, 255, 128, 7, 254, 1};
  ok &= Save(dir, "model-8-bit-codes", bytes.Encode());

  // No vectors; more lists than any vector uses; one bit per code.
  Model empty;
  empty.dim = 6;
  empty.m = 3;
  empty.nlist = 15;
  empty.nbits = 1;
  empty.ids = {};
  empty.assignments = {};
  ok &= Save(dir, "model-no-vectors", empty.Encode());

  Model rotated_wide = plain;
  rotated_wide.dim = 16;
  rotated_wide.m = 4;
  rotated_wide.nlist = 2;
  rotated_wide.nbits = 3;
  rotated_wide.opq = true;
  rotated_wide.assignments = {1, 0, 1, 1, 0};
  ok &= Save(dir, "model-dim-16-opq", rotated_wide.Encode());

  // Each breaks one rule.
  Model far = plain;
  far.assignments = {0, 1, 2, 3, 0};
  ok &= Save(dir, "bad-assignment", far.Encode());
  Model code = plain;
  code.codes = {0, 1, 2, 3, 4, 0, 0, 0, 0, 0};
  ok &= Save(dir, "bad-code", code.Encode());
  Model short_ids = plain;
  short_ids.ids.pop_back();
  ok &= Save(dir, "bad-id-count", short_ids.Encode());
  Model bits = plain;
  bits.nbits = 9;
  ok &= Save(dir, "bad-nbits", bits.Encode());
  Model wide;
  wide.wide = true;
  wide.dim = 0xFFFFFFFF;
  wide.m = 1;
  wide.nlist = 0xFFFFFFFF;
  ok &= Save(dir, "bad-wide-sizes", wide.Encode());
  std::string metric = plain.Encode();
  metric[4] = static_cast<char>(0xC9);
  metric.insert(5, "manhattan");
  ok &= Save(dir, "bad-metric", metric);
  return ok ? 0 : 1;
}
