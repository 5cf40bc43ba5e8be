// libFuzzer target for the manifest parser. Any input either parses or fails
// with a message, without reading outside the input (the sanitizers watch);
// whatever parses writes back into a manifest that parses to the same value.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "splitset/manifest.h"

namespace {

// Names and summaries may overlap inside their blobs, so the rewritten
// manifest can be far larger than the input; past this it is not rewritten.
constexpr uint64_t kMaxRewrite = uint64_t{1} << 26;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  halcyra::Result<halcyra::Manifest> parsed = halcyra::ParseManifest(bytes);
  if (!parsed.ok()) {
    if (parsed.error().message().empty()) std::abort();
    return 0;
  }
  uint64_t copied = 0;
  for (const halcyra::SplitEntry& e : parsed->splits) copied += e.name.size() + e.summary.size();
  if (copied > kMaxRewrite) return 0;

  halcyra::Result<std::string> written = halcyra::WriteManifest(parsed->header, parsed->splits);
  if (!written.ok()) std::abort();
  halcyra::Result<halcyra::Manifest> again = halcyra::ParseManifest(*written);
  if (!again.ok() || again->header != parsed->header || again->splits != parsed->splits) std::abort();
  return 0;
}
