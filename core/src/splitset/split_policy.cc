#include "splitset/split_policy.h"

#include <algorithm>
#include <cstdio>

namespace halcyra {
namespace {

constexpr int kMinNumberDigits = 5;

void AppendHexEscape(uint32_t code_point, std::string* out) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "\\u{%x}", code_point);
  out->append(buf);
}

// name in double quotes with quote, backslash and control characters
// (U+0000 to U+001F and U+007F to U+009F) escaped; other bytes unchanged.
std::string Quote(std::string_view name) {
  std::string out = "\"";
  for (size_t i = 0; i < name.size(); ++i) {
    const uint8_t b = static_cast<uint8_t>(name[i]);
    switch (b) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\t': out += "\\t"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    if (b < 0x20 || b == 0x7F) {
      AppendHexEscape(b, &out);
    } else if (b == 0xC2 && i + 1 < name.size() && static_cast<uint8_t>(name[i + 1]) >= 0x80 &&
               static_cast<uint8_t>(name[i + 1]) <= 0x9F) {
      AppendHexEscape(static_cast<uint8_t>(name[++i]), &out);  // U+0080 to U+009F
    } else {
      out.push_back(static_cast<char>(b));
    }
  }
  out += '"';
  return out;
}

}  // namespace

Result<SplitPolicy> ParseSplitPolicy(std::string_view name) {
  std::string lower(name);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  if (lower == "rank" || lower == "tiered" || lower == "rank_tiered") return SplitPolicy::kTiered;
  if (lower == "stable" || lower == "ingest" || lower == "stablekey" || lower == "stable_key") {
    return SplitPolicy::kStableKey;
  }
  return Error::InvalidArgument("unknown policy " + Quote(lower) + "; use 'tiered' or 'stable_key'");
}

uint64_t SplitByteCap(uint64_t byte_cap, uint64_t byte_cap_max, uint64_t index) {
  if (byte_cap_max == 0) return byte_cap;
  const uint64_t ceiling = std::max(byte_cap, byte_cap_max);
  const unsigned shift = static_cast<unsigned>(std::min<uint64_t>(index, 63));
  if (byte_cap > (ceiling >> shift)) return ceiling;  // byte_cap << shift would pass the ceiling
  return byte_cap << shift;
}

Status CheckFileNamePart(std::string_view value, const char* what) {
  if (value.find('\0') != std::string_view::npos) return Error::InvalidArgument("embedded null byte");
  if (value.find('/') != std::string_view::npos) return Error::InvalidArgument(std::string(what) + " may not contain '/'");
  return Status::Ok();
}

std::string SplitFileName(std::string_view prefix, char kind, uint64_t number, std::string_view extension) {
  std::string digits = std::to_string(number);
  std::string name(prefix);
  name += '-';
  name += kind;
  if (digits.size() < kMinNumberDigits) name.append(kMinNumberDigits - digits.size(), '0');
  name += digits;
  name += extension;
  return name;
}

}  // namespace halcyra
