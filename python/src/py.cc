#include "py.h"

#include <cstring>
#include <deque>
#include <string>
#include <string_view>

namespace halcyra::py {
namespace {

// Sets `type` with a UTF-8 message; undecodable bytes never hide the error.
void SetError(PyObject* type, std::string_view message) {
  Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
}

}  // namespace

// ---------------------------------------------------------------------------
// Errors

PyObject* InternalErrorType() {
  // Created on first use and kept for the process's lifetime, like the class types.
  static PyObject* type;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "halcyra.InternalError",
        "An invariant of halcyra was violated: a bug, not a problem with the input.\n"
        "Derived from BaseException so that `except Exception` does not swallow it.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

PyObject* RaiseInternal(const char* message) {
  PyObject* type = InternalErrorType();
  if (type != nullptr) SetError(type, message);  // else the creation error stands
  return nullptr;
}

PyObject* RaiseError(const Error& error) {
  switch (error.code()) {
    case ErrorCode::kOs:
    case ErrorCode::kLimit:
    case ErrorCode::kCore:
    case ErrorCode::kFst:
      SetError(PyExc_OSError, error.message());
      return nullptr;
    case ErrorCode::kInvalidArgument:
    case ErrorCode::kConsumed:
    case ErrorCode::kVector:
      SetError(PyExc_ValueError, error.message());
      return nullptr;
    case ErrorCode::kInternal:
      return RaiseInternal(error.message().c_str());
    case ErrorCode::kInterrupted:
      // The interrupt check ran the signal handlers, which raised.
      if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
      return nullptr;
  }
  return RaiseInternal("unknown error code");
}

const char* TypeName(PyObject* o) {
  const char* name = Py_TYPE(o)->tp_name;
  const char* dot = std::strrchr(name, '.');
  return dot ? dot + 1 : name;
}

// ---------------------------------------------------------------------------
// Borrow flag

BorrowGuard::BorrowGuard(BorrowFlag& flag, Mode mode) : mode_(mode) {
  if (mode == kExclusive) {
    if (flag.count_ != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return;
    }
    flag.count_ = -1;
  } else {
    if (flag.count_ < 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return;
    }
    ++flag.count_;
  }
  flag_ = &flag;
}

BorrowGuard::~BorrowGuard() {
  if (flag_ == nullptr) return;
  if (mode_ == kExclusive) {
    flag_->count_ = 0;
  } else {
    --flag_->count_;
  }
}

// ---------------------------------------------------------------------------
// Conversion

bool From(PyObject* o, std::string& out) {
  if (!PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyString'", TypeName(o));
    return false;
  }
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);  // lone surrogates raise here
  if (utf8 == nullptr) return false;
  out.assign(utf8, static_cast<size_t>(size));
  return true;
}

bool From(PyObject* o, Path& out) {
  if (!From(o, out.value)) return false;
  if (out.value.find('\0') == std::string::npos) return true;
  PyErr_SetString(PyExc_ValueError, "embedded null byte");
  return false;
}

bool From(PyObject* o, StrView& out) {
  if (!PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyString'", TypeName(o));
    return false;
  }
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);  // lone surrogates raise here
  if (utf8 == nullptr) return false;
  out.owner_ = Ref::Borrow(o);
  out.view_ = std::string_view(utf8, static_cast<size_t>(size));
  return true;
}

bool From(PyObject* o, bool& out) {
  if (!PyBool_Check(o)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyBool'", TypeName(o));
    return false;
  }
  out = o == Py_True;
  return true;
}

bool From(PyObject* o, double& out) {
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool From(PyObject* o, float& out) {
  double v;
  if (!From(o, v)) return false;
  out = static_cast<float>(v);
  return true;
}

bool From(PyObject* o, Bytes& out) {
  if (PyBytes_Check(o)) {
    out.value.assign(PyBytes_AS_STRING(o), static_cast<size_t>(PyBytes_GET_SIZE(o)));
    return true;
  }
  if (PyByteArray_Check(o)) {
    out.value.assign(PyByteArray_AS_STRING(o), static_cast<size_t>(PyByteArray_GET_SIZE(o)));
    return true;
  }
  std::string value;
  auto convert = [](PyObject* item, void* ctx) {
    uint8_t byte;
    if (!From(item, byte)) return false;
    static_cast<std::string*>(ctx)->push_back(static_cast<char>(byte));
    return true;
  };
  if (!ForEachItem(o, convert, &value)) return false;
  out.value = std::move(value);
  return true;
}

bool From(PyObject* o, BytesView& out) {
  if (PyBytes_CheckExact(o)) {
    out.owner_ = Ref::Borrow(o);
    out.copy_.value.clear();
    return true;
  }
  out.owner_ = Ref();
  return From(o, out.copy_);
}

bool RaiseIntRange(bool negative, bool is_signed) {
  PyErr_SetString(PyExc_OverflowError, !negative   ? "int too big to convert"
                                       : is_signed ? "int too small to convert"
                                                   : "can't convert negative int to unsigned");
  return false;
}

bool IndexToLongLong(PyObject* o, bool is_signed, long long* s, unsigned long long* u) {
  if (!PyIndex_Check(o)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be interpreted as an integer", TypeName(o));
    return false;
  }
  Ref v(PyNumber_Index(o));  // runs __index__, which may raise or re-enter
  if (!v) return false;
  int overflow = 0;
  const long long x = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
  if (x == -1 && overflow == 0 && PyErr_Occurred()) return false;
  const bool negative = overflow < 0 || (overflow == 0 && x < 0);
  if (is_signed) {
    if (overflow != 0) return RaiseIntRange(negative, true);
    *s = x;
    return true;
  }
  if (negative) return RaiseIntRange(true, false);
  if (overflow == 0) {
    *u = static_cast<unsigned long long>(x);
    return true;
  }
  const unsigned long long big = PyLong_AsUnsignedLongLong(v.get());
  if (big == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return RaiseIntRange(false, false);
  }
  *u = big;
  return true;
}

bool ForEachItem(PyObject* seq, bool (*convert)(PyObject* item, void* ctx), void* ctx) {
  if (PyUnicode_Check(seq)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(seq)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'", TypeName(seq));
    return false;
  }
  // The length is read again at every step: converting an item may run Python
  // code that changes the sequence.
  for (Py_ssize_t i = 0;; ++i) {
    const Py_ssize_t n = PySequence_Size(seq);
    if (n < 0) return false;
    if (i >= n) return true;
    Ref item(PySequence_GetItem(seq, i));
    if (!item || !convert(item.get(), ctx)) return false;
  }
}

bool CheckTuple(PyObject* o, Py_ssize_t n) {
  if (!PyTuple_Check(o)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyTuple'", TypeName(o));
    return false;
  }
  if (PyTuple_GET_SIZE(o) != n) {
    PyErr_Format(PyExc_TypeError, "expected tuple of length %zd, but got tuple of length %zd", n,
                 PyTuple_GET_SIZE(o));
    return false;
  }
  return true;
}

bool From(PyObject* o, Sortcol& out) {
  std::tuple<std::string, uint16_t, bool> fields;
  if (!From(o, fields)) return false;
  auto& [name, number, flag] = fields;
  out = Sortcol{std::move(name), number, flag};
  return true;
}

bool ForEachEntry(PyObject* dict, bool (*convert)(PyObject* key, PyObject* value, void* ctx), void* ctx) {
  if (!PyDict_Check(dict)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyDict'", TypeName(dict));
    return false;
  }
  const Py_ssize_t size = PyDict_GET_SIZE(dict);
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    // Converting may run Python code that mutates the dict and drops the
    // entry: hold both objects until the conversion is done.
    Ref k = Ref::Borrow(key), v = Ref::Borrow(value);
    if (!convert(k.get(), v.get(), ctx)) return false;
    if (PyDict_GET_SIZE(dict) != size) {
      PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Binding

namespace {

std::string QuotedList(const std::vector<const char*>& names) {
  // 'a'; 'a' and 'b'; 'a', 'b', and 'c' -- the interpreter's own wording.
  std::string s;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) s += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    s += '\'';
    s += names[i];
    s += '\'';
  }
  return s;
}

bool BindKeyword(const char* function, const char* const* names, size_t n, PyObject* key, PyObject* value,
                 PyObject** slots) {
  for (size_t j = 0; j < n; ++j) {
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, names[j]) == 0) {
      if (slots[j] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, names[j]);
        return false;
      }
      slots[j] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function, key);
  return false;
}

}  // namespace

bool BindArgs(const char* function, const char* const* names, size_t n, size_t required, const Call& call,
              PyObject** slots) {
  const size_t given = static_cast<size_t>(call.nargs);
  for (size_t i = 0; i < given && i < n; ++i) slots[i] = call.args[i];

  if (call.kwnames != nullptr) {
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(call.kwnames); ++k) {
      if (!BindKeyword(function, names, n, PyTuple_GET_ITEM(call.kwnames, k), call.args[call.nargs + k], slots)) {
        return false;
      }
    }
  }
  if (call.kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(call.kwargs, &pos, &key, &value)) {
      if (!BindKeyword(function, names, n, key, value, slots)) return false;
    }
  }

  if (given > n) {
    const std::string takes = required < n
                                  ? "from " + std::to_string(required) + " to " + std::to_string(n)
                                  : std::to_string(n);
    PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %zu %s given", function, takes.c_str(),
                 required < n || n != 1 ? "s" : "", given, given == 1 ? "was" : "were");
    return false;
  }

  std::vector<const char*> missing;
  for (size_t i = 0; i < required; ++i) {
    if (slots[i] == nullptr) missing.push_back(names[i]);
  }
  if (!missing.empty()) {
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", function, missing.size(),
                 missing.size() == 1 ? "" : "s", QuotedList(missing).c_str());
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Docstrings

const char* Keep(std::string text) {
  static std::deque<std::string> kept;  // elements stay where they are as it grows
  return kept.emplace_back(std::move(text)).c_str();
}

const char* Doc(std::string_view name, std::string_view params, std::string_view text) {
  std::string doc(name);
  doc += '(';
  doc += params;
  doc += ")\n--\n\n";
  doc += text;
  return Keep(std::move(doc));
}

// ---------------------------------------------------------------------------
// Results

PyObject* ToPyList(const std::vector<uint64_t>& values) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* v = ToPy(values[i]);
    if (v == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), v);
  }
  return list.release();
}

}  // namespace halcyra::py
