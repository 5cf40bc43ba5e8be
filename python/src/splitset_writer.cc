// SplitSetWriter: the streaming base+delta life of an n-gram split set; every
// split and manifest goes back to the caller as bytes.
#include "contents.h"
#include "halcyra/split_set_writer.h"

namespace halcyra::py {
namespace {

// Split and manifest bytes are parsed without the lock: only immutable ones
// are read in place.
using InputArg = std::tuple<std::string, FixedBytesView>;

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

constexpr auto kNew = MakeParams<SplitSetWriterOptions>(
    "SplitSetWriter.__new__", 0, Param{"gram_size", &SplitSetWriterOptions::gram_size},
    Param{"byte_cap", &SplitSetWriterOptions::byte_cap}, Param{"name_prefix", &SplitSetWriterOptions::name_prefix},
    Param{"policy", &SplitSetWriterOptions::policy}, Param{"head_boundary", &SplitSetWriterOptions::head_boundary},
    Param{"stride", &SplitSetWriterOptions::stride}, Param{"tier_count", &SplitSetWriterOptions::tier_count},
    Param{"sortcol", &SplitSetWriterOptions::sortcol},
    Param{"bloom_bits_per_key", &SplitSetWriterOptions::bloom_bits_per_key},
    Param{"case_sensitive", &SplitSetWriterOptions::case_sensitive});

PyObject* New(PyTypeObject* type, SplitSetWriterOptions& options) {
  Result<SplitSetWriter> writer = SplitSetWriter::Create(std::move(options));
  if (!writer.ok()) return RaiseError(writer.error());
  return NewObject(type, std::move(writer).value());
}

struct ResumeArgs : SplitSetResumeOptions {
  FixedBytesView manifest;
};
constexpr auto kResume = MakeParams<ResumeArgs>(
    "SplitSetWriter.resume", 1, Param{"manifest", &ResumeArgs::manifest}, Param{"gram_size", &ResumeArgs::gram_size},
    Param{"head_boundary", &ResumeArgs::head_boundary}, Param{"stride", &ResumeArgs::stride},
    Param{"name_prefix", &ResumeArgs::name_prefix}, Param{"bloom_bits_per_key", &ResumeArgs::bloom_bits_per_key});

PyObject* Resume(ResumeArgs& a) {
  // Passes the options: the arguments less the manifest.
  Result<SplitSetWriter> writer = WithoutGil([&] { return SplitSetWriter::Resume(a.manifest.view(), std::move(a)); });
  if (!writer.ok()) return RaiseError(writer.error());
  return NewObject(reinterpret_cast<PyTypeObject*>(SplitSetWriterType()), std::move(writer).value());
}

struct AddArgs {
  std::string text;
};
constexpr auto kAdd = MakeParams<AddArgs>("SplitSetWriter.add", 1, Param{"text", &AddArgs::text});

PyObject* Add(SplitSetWriter& writer, AddArgs& a) {
  Result<DocId> id = WithoutGil([&] { return writer.Add(a.text); });
  if (!id.ok()) return RaiseError(id.error());
  return PyLong_FromUnsignedLong(*id);
}

struct DeleteArgs {
  DocId doc_id = 0;
};
constexpr auto kDelete = MakeParams<DeleteArgs>("SplitSetWriter.delete", 1, Param{"doc_id", &DeleteArgs::doc_id});

PyObject* Delete(SplitSetWriter& writer, DeleteArgs& a) {
  if (Status s = writer.Delete(a.doc_id); !s.ok()) return RaiseError(s.error());
  Py_RETURN_NONE;
}

constexpr auto kMemtableBytes = MakeParams<NoArgs>("SplitSetWriter.memtable_bytes", 0);

PyObject* MemtableBytes(SplitSetWriter& writer, NoArgs&) { return ToPy(writer.memtable_bytes()); }

constexpr auto kMemtableDocCount = MakeParams<NoArgs>("SplitSetWriter.memtable_doc_count", 0);

PyObject* MemtableDocCount(SplitSetWriter& writer, NoArgs&) {
  return PyLong_FromUnsignedLong(writer.memtable_doc_count());
}

constexpr auto kDocCount = MakeParams<NoArgs>("SplitSetWriter.doc_count", 0);

PyObject* DocCount(SplitSetWriter& writer, NoArgs&) { return PyLong_FromUnsignedLong(writer.doc_count()); }

// A new split written straight into the bytes object returned, not copied
// there from a string: allocated at the writer's bound of its size, then
// shrunk to the size (the tail past it is never written). The writer works
// without the interpreter lock, which these two take back briefly.
class BytesBuffer final : public SplitBuffer {
 public:
  explicit BytesBuffer(Unlocked& unlocked) : unlocked_(unlocked) {}
  ~BytesBuffer() override { unlocked_.Held([this] { bytes_ = Ref(); }); }

  char* Allocate(size_t capacity) override {
    return unlocked_.Held([&] {
      bytes_ = Ref(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity)));
      if (!bytes_) throw std::bad_alloc();
      return PyBytes_AS_STRING(bytes_.get());
    });
  }
  void Shrink(size_t size) override {
    unlocked_.Held([&] {
      PyObject* bytes = bytes_.release();
      if (_PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(size)) != 0) throw std::bad_alloc();
      bytes_ = Ref(bytes);
    });
  }
  // The bytes, once the lock is held again.
  PyObject* release() { return bytes_.release(); }

 private:
  Unlocked& unlocked_;
  Ref bytes_;
};

// flush and compact change the writer only once every object of their
// result exists: a failure before (MemoryError included) leaves it as it was.
PyObject* CommitWith(SplitSetWriter& writer, SplitSetChange& change, PyObject* result) {
  if (result == nullptr) return nullptr;
  writer.Commit(std::move(change));
  return result;
}

constexpr auto kFlush = MakeParams<NoArgs>("SplitSetWriter.flush", 0);

PyObject* Flush(SplitSetWriter& writer, NoArgs&) {
  Ref split;
  Result<std::optional<SplitSetChange>> change = WithoutGil([&](Unlocked& unlocked) {
    BytesBuffer buffer(unlocked);
    auto prepared = writer.PrepareFlush(buffer);
    unlocked.Held([&] { split = Ref(buffer.release()); });
    return prepared;
  });
  if (!change.ok()) return RaiseError(change.error());
  if (!change->has_value()) Py_RETURN_NONE;
  SplitSetChange& c = **change;
  return CommitWith(writer, c, NewTuple({NewStr(c.name), split.release(), NewBytes(c.manifest)}));
}

struct CompactArgs {
  std::vector<InputArg> inputs;
};
constexpr auto kCompact = MakeParams<CompactArgs>("SplitSetWriter.compact", 1, Param{"inputs", &CompactArgs::inputs});

PyObject* Compact(SplitSetWriter& writer, CompactArgs& a) {
  std::vector<CompactionInput> views;
  views.reserve(a.inputs.size());
  for (const auto& [name, bytes] : a.inputs) views.push_back({name, bytes.view()});
  Ref split;
  Result<SplitSetChange> change = WithoutGil([&](Unlocked& unlocked) {
    BytesBuffer buffer(unlocked);
    auto prepared = writer.PrepareCompact(views, buffer);
    unlocked.Held([&] { split = Ref(buffer.release()); });
    return prepared;
  });
  if (!change.ok()) return RaiseError(change.error());
  Ref removed(PyList_New(static_cast<Py_ssize_t>(change->removed.size())));
  if (!removed) return nullptr;
  for (size_t i = 0; i < change->removed.size(); ++i) {
    PyObject* name = NewStr(change->removed[i]);
    if (name == nullptr) return nullptr;
    PyList_SET_ITEM(removed.get(), static_cast<Py_ssize_t>(i), name);
  }
  return CommitWith(writer, *change,
                    NewTuple({NewStr(change->name), split.release(), NewBytes(change->manifest), removed.release()}));
}

}  // namespace

PyObject* SplitSetWriterType() {
  static PyObject* type;
  if (type == nullptr) {
    static PyMethodDef methods[] = {
        StaticMethodEntry<kResume, &Resume>(
            "resume",
            "A writer that continues the split set of `manifest` (the bytes of its current\n"
            "manifest): every split is carried forward, ids continue after the largest one in\n"
            "use (tombstoned ones included), the epoch and split numbers after the largest\n"
            "ones named. `gram_size` must be the manifest's; `head_boundary` is ignored."),
        MethodEntry<SplitSetWriter, kAdd, &Add, BorrowGuard::kExclusive>(
            "add", "Tokenizes `text` into the memtable and returns its global doc ID. Never flushes."),
        MethodEntry<SplitSetWriter, kDelete, &Delete, BorrowGuard::kExclusive>(
            "delete", "Deletes an assigned doc ID: the next [`flush`](Self::flush) writes it as a tombstone."),
        MethodEntry<SplitSetWriter, kMemtableBytes, &MemtableBytes, BorrowGuard::kShared>(
            "memtable_bytes",
            "An upper bound of the delta split the memtable would make; compare it with your\n"
            "own cap to decide when to flush."),
        MethodEntry<SplitSetWriter, kMemtableDocCount, &MemtableDocCount, BorrowGuard::kShared>(
            "memtable_doc_count", "Documents added since the last flush."),
        MethodEntry<SplitSetWriter, kDocCount, &DocCount, BorrowGuard::kShared>(
            "doc_count", "The next global doc ID: documents ever added to the set."),
        MethodEntry<SplitSetWriter, kFlush, &Flush, BorrowGuard::kExclusive>(
            "flush",
            "Seals the memtable and pending deletes into one delta split. Returns\n"
            "`(split_name, split_bytes, manifest_bytes)`, or None when there is nothing to\n"
            "flush. Store the split first, then the manifest."),
        MethodEntry<SplitSetWriter, kCompact, &Compact, BorrowGuard::kExclusive>(
            "compact",
            "Merges delta splits, given as `(name, split_bytes)` pairs, into one split of\n"
            "absolute IDs without their deleted documents. Returns `(split_name, split_bytes,\n"
            "manifest_bytes, removed)`; delete the `removed` splits once the manifest is stored."),
        {nullptr, nullptr, 0, nullptr},
    };
    type = MakeClass<SplitSetWriter, kNew, &New>(
        "halcyra.SplitSetWriter",
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
        "```",
        {
            {Py_tp_methods, methods},
            {0, nullptr},
        });
  }
  return type;
}

}  // namespace halcyra::py
