#include "stats.h"

#include <structmember.h>

#include <cstddef>
#include <cstring>
#include <iterator>
#include <string>

namespace halcyra::py {
namespace {

constexpr size_t kMaxFields = 5;

struct StatsObject {
  PyObject_HEAD
  uint64_t values[kMaxFields];
};

struct Field {
  const char* name;
  const char* doc;
};

PyObject* NoConstructor(PyTypeObject* type, PyObject*, PyObject*) {
  const char* dot = std::strrchr(type->tp_name, '.');
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", dot ? dot + 1 : type->tp_name);
  return nullptr;
}

// "Name(a=1, b=2)": every member in declaration order, in decimal.
PyObject* Repr(PyObject* self) {
  const auto* stats = reinterpret_cast<const StatsObject*>(self);
  std::string s = TypeName(self);
  s += '(';
  size_t i = 0;
  for (const PyMemberDef* m = Py_TYPE(self)->tp_members; m->name != nullptr; ++m, ++i) {
    if (i > 0) s += ", ";
    s += m->name;
    s += '=';
    s += std::to_string(stats->values[i]);
  }
  s += ')';
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// `members` is the type's own storage for N + 1 entries; like the type, it
// lives as long as the process.
template <size_t N>
PyObject* MakeType(const char* qualified_name, const char* doc, const Field (&fields)[N], PyMemberDef* members) {
  static_assert(N <= kMaxFields);
  members[N] = PyMemberDef{};
  for (size_t i = 0; i < N; ++i) {
    members[i] = PyMemberDef{fields[i].name, T_ULONGLONG,
                             static_cast<Py_ssize_t>(offsetof(StatsObject, values) + i * sizeof(uint64_t)),
                             READONLY, fields[i].doc};
  }
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_tp_members, members},
      {Py_tp_repr, reinterpret_cast<void*>(&Guarded<&Repr>::Call)},
      {Py_tp_new, reinterpret_cast<void*>(&NoConstructor)},
      {0, nullptr},
  };
  PyType_Spec type_spec = {qualified_name, static_cast<int>(sizeof(StatsObject)), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  return PyType_FromSpec(&type_spec);
}

}  // namespace

PyObject* BuildStatsType() {
  static constexpr Field kFields[] = {
      {"docs", "Number of records written."},
      {"ngrams", "Number of distinct n-gram keys in the text index."},
      {"fields", "Number of facet fields written."},
  };
  static PyMemberDef members[std::size(kFields) + 1];
  static PyObject* type;
  if (type == nullptr) {
    type = MakeType("halcyra.BuildStats", "Summary of a completed build, returned by [`Builder::build`].", kFields,
                    members);
  }
  return type;
}

PyObject* VectorBuildStatsType() {
  static constexpr Field kFields[] = {
      {"vectors", "Number of vectors indexed."},
      {"dim", "Vector dimensionality."},
      {"nlist", "Coarse (IVF) clusters actually trained (clamped to the vector count)."},
      {"m", "PQ subquantizers."},
      {"nbits", "Bits per PQ code."},
  };
  static PyMemberDef members[std::size(kFields) + 1];
  static PyObject* type;
  if (type == nullptr) {
    type = MakeType("halcyra.VectorBuildStats",
                    "Summary of a completed vector-index build, returned by [`VectorBuilder::build`].", kFields,
                    members);
  }
  return type;
}

PyObject* SplitSetBuildStatsType() {
  static constexpr Field kFields[] = {
      {"splits", "Number of splits written."},
      {"docs", "Number of documents indexed."},
      {"total_bytes", "Total bytes across every split file."},
  };
  static PyMemberDef members[std::size(kFields) + 1];
  static PyObject* type;
  if (type == nullptr) {
    type = MakeType("halcyra.SplitSetBuildStats",
                    "Summary of a completed split-set build, returned by [`SplitSetBuilder::build`].", kFields,
                    members);
  }
  return type;
}

PyObject* NewStats(PyObject* type, std::initializer_list<uint64_t> values) {
  auto* t = reinterpret_cast<PyTypeObject*>(type);
  PyObject* self = t->tp_alloc(t, 0);
  if (self == nullptr) return nullptr;
  auto* stats = reinterpret_cast<StatsObject*>(self);
  size_t i = 0;
  for (uint64_t v : values) stats->values[i++] = v;
  return self;
}

}  // namespace halcyra::py
