// SplitSetWriter: the streaming base+delta life of an n-gram split set; every
// split and manifest goes back to the caller as bytes.
#include "contents.h"
#include "halcyra/split_set_writer.h"

namespace halcyra::py {
namespace {

using SortcolArg = std::tuple<std::string, uint16_t, bool>;
using InputArg = std::tuple<std::string, BytesView>;

PyObject* NewStr(const std::string& s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

PyObject* NewBytes(const std::string& s) { return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }

// A new tuple that steals every item; nullptr if any is nullptr.
PyObject* NewTuple(std::initializer_list<PyObject*> items) {
  std::vector<Ref> owned;
  for (PyObject* item : items) owned.emplace_back(item);
  for (const Ref& item : owned) {
    if (!item) return nullptr;
  }
  Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(owned.size())));
  if (!tuple) return nullptr;
  for (size_t i = 0; i < owned.size(); ++i) PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), owned[i].release());
  return tuple.release();
}

PyObject* New(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr Params<10> kParams{"SplitSetWriter.__new__",
                                      {"gram_size", "byte_cap", "name_prefix", "policy", "head_boundary", "stride",
                                       "tier_count", "sortcol", "bloom_bits_per_key", "case_sensitive"},
                                      0};
  SplitSetWriterOptions o;
  std::optional<SortcolArg> sortcol;
  if (!ParseArgs(kParams, Call::FromTuple(args, kwargs), o.gram_size, o.byte_cap, o.name_prefix, o.policy,
                 o.head_boundary, o.stride, o.tier_count, sortcol, o.bloom_bits_per_key, o.case_sensitive)) {
    return nullptr;
  }
  if (sortcol) {
    auto& [name, number, flag] = *sortcol;
    o.sortcol = Sortcol{std::move(name), number, flag};
  }
  Result<SplitSetWriter> writer = SplitSetWriter::Create(std::move(o));
  if (!writer.ok()) return RaiseError(writer.error());
  return NewObject(type, std::move(writer).value());
}

PyObject* Resume(const Call& call) {
  static constexpr Params<6> kParams{
      "SplitSetWriter.resume",
      {"manifest", "gram_size", "head_boundary", "stride", "name_prefix", "bloom_bits_per_key"},
      1};
  Bytes manifest;
  SplitSetResumeOptions o;
  if (!ParseArgs(kParams, call, manifest, o.gram_size, o.head_boundary, o.stride, o.name_prefix,
                 o.bloom_bits_per_key)) {
    return nullptr;
  }
  Result<SplitSetWriter> writer = SplitSetWriter::Resume(manifest.value, std::move(o));
  if (!writer.ok()) return RaiseError(writer.error());
  return NewObject(reinterpret_cast<PyTypeObject*>(SplitSetWriterType()), std::move(writer).value());
}

PyObject* Add(SplitSetWriter& writer, const Call& call) {
  static constexpr Params<1> kParams{"SplitSetWriter.add", {"text"}, 1};
  std::string text;
  if (!ParseArgs(kParams, call, text)) return nullptr;
  Result<DocId> id = writer.Add(text);
  if (!id.ok()) return RaiseError(id.error());
  return PyLong_FromUnsignedLong(*id);
}

PyObject* Delete(SplitSetWriter& writer, const Call& call) {
  static constexpr Params<1> kParams{"SplitSetWriter.delete", {"doc_id"}, 1};
  DocId id = 0;
  if (!ParseArgs(kParams, call, id)) return nullptr;
  if (Status s = writer.Delete(id); !s.ok()) return RaiseError(s.error());
  Py_RETURN_NONE;
}

PyObject* MemtableBytes(SplitSetWriter& writer, const Call& call) {
  static constexpr Params<0> kParams{"SplitSetWriter.memtable_bytes", {}, 0};
  if (!ParseArgs(kParams, call)) return nullptr;
  return ToPy(writer.memtable_bytes());
}

PyObject* MemtableDocCount(SplitSetWriter& writer, const Call& call) {
  static constexpr Params<0> kParams{"SplitSetWriter.memtable_doc_count", {}, 0};
  if (!ParseArgs(kParams, call)) return nullptr;
  return PyLong_FromUnsignedLong(writer.memtable_doc_count());
}

PyObject* DocCount(SplitSetWriter& writer, const Call& call) {
  static constexpr Params<0> kParams{"SplitSetWriter.doc_count", {}, 0};
  if (!ParseArgs(kParams, call)) return nullptr;
  return PyLong_FromUnsignedLong(writer.doc_count());
}

PyObject* Flush(SplitSetWriter& writer, const Call& call) {
  static constexpr Params<0> kParams{"SplitSetWriter.flush", {}, 0};
  if (!ParseArgs(kParams, call)) return nullptr;
  Result<std::optional<FlushedSplit>> flushed = writer.Flush();
  if (!flushed.ok()) return RaiseError(flushed.error());
  if (!flushed->has_value()) Py_RETURN_NONE;
  const FlushedSplit& f = **flushed;
  return NewTuple({NewStr(f.name), NewBytes(f.split), NewBytes(f.manifest)});
}

// The compacted split written straight into the bytes object returned, not
// copied there from a string: allocated at the merge's bound of its size,
// then shrunk to the size (the tail past it is never written).
class BytesBuffer final : public SplitBuffer {
 public:
  char* Allocate(size_t capacity) override {
    bytes_ = Ref(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity)));
    if (!bytes_) throw std::bad_alloc();
    return PyBytes_AS_STRING(bytes_.get());
  }
  void Shrink(size_t size) override {
    PyObject* bytes = bytes_.release();
    if (_PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(size)) != 0) throw std::bad_alloc();
    bytes_ = Ref(bytes);
  }
  PyObject* release() { return bytes_.release(); }

 private:
  Ref bytes_;
};

PyObject* Compact(SplitSetWriter& writer, const Call& call) {
  static constexpr Params<1> kParams{"SplitSetWriter.compact", {"inputs"}, 1};
  std::vector<InputArg> inputs;
  if (!ParseArgs(kParams, call, inputs)) return nullptr;
  std::vector<CompactionInput> views;
  views.reserve(inputs.size());
  for (const auto& [name, bytes] : inputs) views.push_back({name, bytes.view()});
  BytesBuffer split;
  Result<CompactedSplit> compacted = writer.Compact(views, split);
  if (!compacted.ok()) return RaiseError(compacted.error());
  Ref removed(PyList_New(static_cast<Py_ssize_t>(compacted->removed.size())));
  if (!removed) return nullptr;
  for (size_t i = 0; i < compacted->removed.size(); ++i) {
    PyObject* name = NewStr(compacted->removed[i]);
    if (name == nullptr) return nullptr;
    PyList_SET_ITEM(removed.get(), static_cast<Py_ssize_t>(i), name);
  }
  return NewTuple({NewStr(compacted->name), split.release(), NewBytes(compacted->manifest), removed.release()});
}

PyMethodDef kMethods[] = {
    StaticMethodEntry<&Resume>(
        "resume",
        "resume(manifest, gram_size=3, head_boundary=0, stride=0, name_prefix=\"split\", bloom_bits_per_key=10)\n"
        "--\n\n"
        "A writer that continues the split set of `manifest` (the bytes of its current\n"
        "manifest): every split is carried forward, ids continue after the largest one in\n"
        "use (tombstoned ones included), the epoch and split numbers after the largest\n"
        "ones named. `gram_size` must be the manifest's; `head_boundary` is ignored."),
    MethodEntry<SplitSetWriter, &Add, BorrowGuard::kExclusive>(
        "add",
        "add($self, text)\n--\n\n"
        "Tokenizes `text` into the memtable and returns its global doc ID. Never flushes."),
    MethodEntry<SplitSetWriter, &Delete, BorrowGuard::kExclusive>(
        "delete",
        "delete($self, doc_id)\n--\n\n"
        "Deletes an assigned doc ID: the next [`flush`](Self::flush) writes it as a tombstone."),
    MethodEntry<SplitSetWriter, &MemtableBytes, BorrowGuard::kShared>(
        "memtable_bytes",
        "memtable_bytes($self)\n--\n\n"
        "An upper bound of the delta split the memtable would make; compare it with your\n"
        "own cap to decide when to flush."),
    MethodEntry<SplitSetWriter, &MemtableDocCount, BorrowGuard::kShared>(
        "memtable_doc_count",
        "memtable_doc_count($self)\n--\n\n"
        "Documents added since the last flush."),
    MethodEntry<SplitSetWriter, &DocCount, BorrowGuard::kShared>(
        "doc_count",
        "doc_count($self)\n--\n\n"
        "The next global doc ID: documents ever added to the set."),
    MethodEntry<SplitSetWriter, &Flush, BorrowGuard::kExclusive>(
        "flush",
        "flush($self)\n--\n\n"
        "Seals the memtable and pending deletes into one delta split. Returns\n"
        "`(split_name, split_bytes, manifest_bytes)`, or None when there is nothing to\n"
        "flush. Store the split first, then the manifest."),
    MethodEntry<SplitSetWriter, &Compact, BorrowGuard::kExclusive>(
        "compact",
        "compact($self, inputs)\n--\n\n"
        "Merges delta splits, given as `(name, split_bytes)` pairs, into one split of\n"
        "absolute IDs without their deleted documents. Returns `(split_name, split_bytes,\n"
        "manifest_bytes, removed)`; delete the `removed` splits once the manifest is stored."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* SplitSetWriterType() {
  static PyObject* type;
  if (type == nullptr) {
    type = MakeClass<SplitSetWriter>(
        "halcyra.SplitSetWriter",
        {
            {Py_tp_doc,
             const_cast<char*>(
                 "SplitSetWriter(gram_size=3, byte_cap=33554432, name_prefix=\"split\", policy=\"stable_key\", "
                 "head_boundary=0, stride=0, tier_count=0, sortcol=None, bloom_bits_per_key=10, "
                 "case_sensitive=False)\n--\n\n"
                 "A pure `HYSS` ingestion writer \xe2\x80\x94 the streaming base+delta lifecycle. `add`/`delete` into an\n"
                 "in-RAM memtable; [`flush`](Self::flush) seals it into one immutable delta split plus a new\n"
                 "manifest, **returned as bytes** so the caller owns transport and durability (PUT the split,\n"
                 "then the manifest = atomic cutover). [`compact`](Self::compact) merges delta splits into one.\n\n"
                 "```python\n"
                 "import halcyra as hy\n"
                 "w = hy.SplitSetWriter.resume(previous_manifest, gram_size=3, name_prefix=\"corpus\")\n"
                 "for text in new_texts:\n"
                 "    w.add(text)\n"
                 "    if w.memtable_bytes() > cap:\n"
                 "        name, split, manifest = w.flush()\n"
                 "        put(name, split)              # the split first,\n"
                 "        put(\"index.hyss\", manifest)   # then the manifest: the atomic cutover\n"
                 "```")},
            {Py_tp_new, reinterpret_cast<void*>(&Guarded<&New>::Call)},
            {Py_tp_methods, kMethods},
            {0, nullptr},
        });
  }
  return type;
}

}  // namespace halcyra::py
