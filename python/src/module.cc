// Module initialisation: registers the module's contents in their fixed
// order, each under its name and appended to __all__.
#include "contents.h"
#include "stats.h"

namespace halcyra::py {
namespace {

struct Entry {
  const char* name;
  PyObject* (*make)(PyObject* module);  // new reference, or nullptr with an error set
};

template <PyObject* (*Type)()>
PyObject* NewRefTo(PyObject*) {
  PyObject* type = Type();
  Py_XINCREF(type);
  return type;
}

constexpr Entry kContents[] = {
    {"Builder", NewRefTo<&BuilderType>},
    {"BuildStats", NewRefTo<&BuildStatsType>},
    {"VectorBuilder", NewRefTo<&VectorBuilderType>},
    {"VectorBuildStats", NewRefTo<&VectorBuildStatsType>},
    {"tokenize", NewTokenizeFunction},
    {"write_hyvi_from_faiss", NewWriteHyviFromFaissFunction},
    {"write_term_index", NewWriteTermIndexFunction},
    {"TermBuilder", NewRefTo<&TermBuilderType>},
    {"SplitSetBuilder", NewRefTo<&SplitSetBuilderType>},
    {"TermSplitSetBuilder", NewRefTo<&TermSplitSetBuilderType>},
    {"SplitSetBuildStats", NewRefTo<&SplitSetBuildStatsType>},
    {"SplitSetWriter", NewRefTo<&SplitSetWriterType>},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "halcyra",
    "",  // the module's docstring is empty
    0,        // no per-module state: the class types are process-wide
    nullptr,  // methods: functions are added with the classes, in order
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* Init() {
  Ref module(PyModule_Create(&kModule));
  if (!module) return nullptr;
  Ref all(PyList_New(0));
  if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;
  for (const Entry& entry : kContents) {
    Ref object(entry.make(module.get()));
    Ref name(PyUnicode_FromString(entry.name));
    if (!object || !name) return nullptr;
    if (PyModule_AddObjectRef(module.get(), entry.name, object.get()) < 0) return nullptr;
    if (PyList_Append(all.get(), name.get()) < 0) return nullptr;
  }
  return module.release();
}

}  // namespace
}  // namespace halcyra::py

PyMODINIT_FUNC PyInit_halcyra() { return halcyra::py::Guarded<&halcyra::py::Init>::Call(); }
