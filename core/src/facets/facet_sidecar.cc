// The facet sidecar file. All integers little-endian, regions back to back:
//
//   header     24 B  "HYSF"  version u16 = 1  case-sensitive flag u16
//                    (0: keys made with case folding)  field count F u32
//                    category count C u32  blob length B u32  reserved u32 = 0
//   fields     F x 16 B, in field-name order:
//                    name offset u32  name length u16  reserved u16
//                    first category index u32  category count u32
//   categories C x 36 B, grouped by field; within a field by facet key
//                    ascending, equal keys in name order:
//                    facet key u64  postings offset u64 (absolute)
//                    head length u32  tail length u32  cardinality u32
//                    name offset u32  name length u16  reserved u16
//   blob       B bytes: each field's name, then its category names in name
//                    order (unterminated, not deduplicated)
//   postings   per category in table order: head bytes, then tail bytes
//                    (the head/tail encoding, roaring/postings.cc)
//
// See FORMATS.md (Facet sidecar) for the reader's side and a worked example.
#include "facets/facet_map.h"

#include <algorithm>
#include <string>
#include <vector>

#include "base/coding.h"
#include "base/format_limits.h"

namespace halcyra {
namespace {

constexpr size_t kHeaderSize = 24;
constexpr size_t kFieldEntrySize = 16;
constexpr size_t kCategoryEntrySize = 36;
constexpr size_t kChunk = 1 << 16;

struct Name {
  uint32_t offset;
  uint16_t length;
};

struct FieldRow {
  Name name;
  uint32_t first;  // index of the field's first category row
  uint32_t count;
};

struct CategoryRow {
  uint64_t key;
  Name name;
  uint32_t cardinality;
  HeadTail postings;
};

// Appends name to the blob and returns where it went.
Result<Name> Intern(std::string_view name, std::string* blob) {
  HALCYRA_RETURN_IF_ERROR(CheckSize32(blob->size(), "facet string blob"));
  if (name.size() > UINT16_MAX) return Error::Limit("facet name exceeds the 16-bit length limit");
  const Name n{static_cast<uint32_t>(blob->size()), static_cast<uint16_t>(name.size())};
  blob->append(name);
  return n;
}

// Interns every name, computes the keys and encodes every posting; each
// bitmap is released as soon as it is encoded.
Status Prepare(FacetMap& map, bool fold_case, uint32_t head_boundary, std::vector<FieldRow>* fields,
               std::vector<CategoryRow>* categories, std::string* blob) {
  if (map.size() > UINT32_MAX) return Error::Limit("HYSF field count exceeds the 32-bit limit");
  fields->reserve(map.size());
  for (auto& [field_name, field] : map.fields()) {
    Result<Name> name = Intern(field_name, blob);
    if (!name.ok()) return name.take_error();
    if (categories->size() + field.size() > UINT32_MAX) {
      return Error::Limit("HYSF category count exceeds the 32-bit limit");
    }
    const size_t first = categories->size();
    fields->push_back({*name, static_cast<uint32_t>(first), static_cast<uint32_t>(field.size())});
    for (auto it = field.begin(); it != field.end(); it = field.erase(it)) {
      Result<Name> category_name = Intern(it->first, blob);
      if (!category_name.ok()) return category_name.take_error();
      const uint64_t cardinality = it->second.Cardinality();
      if (cardinality > UINT32_MAX) return Error::Limit("HYSF category cardinality exceeds the 32-bit limit");
      Result<HeadTail> postings = EncodeHeadTail(it->second.roaring(), head_boundary);
      if (!postings.ok()) return postings.take_error();
      categories->push_back({FacetKey(field_name, it->first, fold_case), *category_name,
                             static_cast<uint32_t>(cardinality), std::move(*postings)});
    }
    std::stable_sort(categories->begin() + first, categories->end(),
                     [](const CategoryRow& a, const CategoryRow& b) { return a.key < b.key; });
  }
  // Each name's offset fits; the last one may still end past the limit.
  return CheckSize32(blob->size(), "facet string blob");
}

Status WriteSidecar(FacetMap& map, bool fold_case, uint32_t head_boundary, Sink& sink) {
  std::vector<FieldRow> fields;
  std::vector<CategoryRow> categories;
  std::string blob;
  HALCYRA_RETURN_IF_ERROR(Prepare(map, fold_case, head_boundary, &fields, &categories, &blob));

  std::string buf;
  buf.reserve(kChunk + kCategoryEntrySize);
  buf.append("HYSF", 4);
  PutFixed16(&buf, 1);
  PutFixed16(&buf, fold_case ? 0 : 1);
  PutFixed32(&buf, static_cast<uint32_t>(fields.size()));
  PutFixed32(&buf, static_cast<uint32_t>(categories.size()));
  PutFixed32(&buf, static_cast<uint32_t>(blob.size()));
  PutFixed32(&buf, 0);

  for (const FieldRow& f : fields) {
    PutFixed32(&buf, f.name.offset);
    PutFixed16(&buf, f.name.length);
    PutFixed16(&buf, 0);
    PutFixed32(&buf, f.first);
    PutFixed32(&buf, f.count);
    if (buf.size() >= kChunk) {
      HALCYRA_RETURN_IF_ERROR(sink.Append(buf));
      buf.clear();
    }
  }

  uint64_t offset = kHeaderSize + kFieldEntrySize * fields.size() + kCategoryEntrySize * categories.size() +
                    blob.size();
  for (const CategoryRow& c : categories) {
    PutFixed64(&buf, c.key);
    PutFixed64(&buf, offset);
    Status fits = CheckSize32(c.postings.head.size(), "HYSF head posting");
    if (fits.ok()) fits = CheckSize32(c.postings.tail.size(), "HYSF tail posting");
    if (!fits.ok()) {
      // The partial entry reaches the sink like everything before it.
      HALCYRA_RETURN_IF_ERROR(sink.Append(buf));
      return fits;
    }
    PutFixed32(&buf, static_cast<uint32_t>(c.postings.head.size()));
    PutFixed32(&buf, static_cast<uint32_t>(c.postings.tail.size()));
    PutFixed32(&buf, c.cardinality);
    PutFixed32(&buf, c.name.offset);
    PutFixed16(&buf, c.name.length);
    PutFixed16(&buf, 0);
    offset += c.postings.head.size() + c.postings.tail.size();
    if (buf.size() >= kChunk) {
      HALCYRA_RETURN_IF_ERROR(sink.Append(buf));
      buf.clear();
    }
  }
  HALCYRA_RETURN_IF_ERROR(sink.Append(buf));
  HALCYRA_RETURN_IF_ERROR(sink.Append(blob));

  for (const CategoryRow& c : categories) {
    HALCYRA_RETURN_IF_ERROR(sink.Append(c.postings.head));
    HALCYRA_RETURN_IF_ERROR(sink.Append(c.postings.tail));
  }
  return Status::Ok();
}

}  // namespace

Status WriteFacetSidecar(FacetMap map, bool fold_case, uint32_t head_boundary, Sink& sink) {
  Status written = WriteSidecar(map, fold_case, head_boundary, sink);
  Status closed = sink.Close();
  return written.ok() ? closed : written;
}

}  // namespace halcyra
