#include "halcyra/vector_index.h"
#include "vector/training.h"

#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "base/coding.h"

namespace halcyra {
namespace {

// The name in double quotes, with quotes, backslashes and control characters
// escaped, so that an odd name shows as exactly what was given.
std::string Quoted(std::string_view s) {
  std::string q = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': q += "\\\""; break;
      case '\\': q += "\\\\"; break;
      case '\n': q += "\\n"; break;
      case '\r': q += "\\r"; break;
      case '\t': q += "\\t"; break;
      case '\0': q += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[12];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          q += buf;
        } else {
          q += static_cast<char>(c);
        }
    }
  }
  return q + "\"";
}

}  // namespace

Result<Metric> CheckVectorParams(uint64_t dim, uint64_t nlist, uint64_t m, uint8_t nbits,
                                 std::string_view metric_name) {
  if (dim == 0 || m == 0 || dim % m != 0) return Error::InvalidArgument("need dim > 0, m > 0, and m to divide dim");
  if (nbits < 1 || nbits > 8) return Error::InvalidArgument("nbits must be in 1..=8");
  if (nlist == 0) return Error::InvalidArgument("nlist must be >= 1");
  std::string lower(metric_name);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
  }
  const std::optional<Metric> metric = MetricFromName(lower);
  if (!metric) return Error::InvalidArgument("unknown metric " + Quoted(lower) + "; use 'ip' (cosine) or 'l2'");
  // The file stores these in 32 bits: refuse them here rather than fail after
  // training, or write a file that says something else.
  constexpr uint64_t kMax = std::numeric_limits<uint32_t>::max();
  if (dim > kMax) return Error::InvalidArgument("dim exceeds the 32-bit limit of the vector-index file");
  if (nlist > kMax) return Error::InvalidArgument("nlist exceeds the 32-bit limit of the vector-index file");
  return *metric;
}

Result<std::vector<float>> DecodeF32Array(std::string_view name, std::string_view bytes, uint64_t count) {
  if (count > bytes.size() / 4 || bytes.size() != count * 4) {
    // 4 * count may pass 2^64: print it from 128 bits.
    unsigned __int128 expected = static_cast<unsigned __int128>(count) * 4;
    std::string digits;
    do {
      digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(expected % 10)));
      expected /= 10;
    } while (expected != 0);
    return Error::InvalidArgument(std::string(name) + ": expected " + digits + " bytes (" + std::to_string(count) +
                                  " f32), got " + std::to_string(bytes.size()));
  }
  std::vector<float> out(count);
  for (uint64_t i = 0; i < count; ++i) {
    const uint32_t bits = DecodeFixed32(bytes.data() + 4 * i);
    std::memcpy(&out[i], &bits, 4);
  }
  return out;
}

Result<std::vector<uint32_t>> DecodeU32Array(std::string_view name, std::string_view bytes) {
  if (bytes.size() % 4 != 0) {
    return Error::InvalidArgument(std::string(name) + ": byte length " + std::to_string(bytes.size()) +
                                  " is not a multiple of 4");
  }
  std::vector<uint32_t> out(bytes.size() / 4);
  for (size_t i = 0; i < out.size(); ++i) out[i] = DecodeFixed32(bytes.data() + 4 * i);
  return out;
}

}  // namespace halcyra
