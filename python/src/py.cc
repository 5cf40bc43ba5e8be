#include "py.h"

#include <bit>
#include <cstring>
#include <deque>
#include <limits>
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

// ---------------------------------------------------------------------------
// Buffers

namespace {

static_assert(std::numeric_limits<float>::is_iec559 && sizeof(float) == 4);
static_assert(std::numeric_limits<double>::is_iec559 && sizeof(double) == 8);

// The kind of item a struct-module format names, 0 for the others: a single
// code, after at most a byte-order mark that means this machine's order.
unsigned ItemsOf(const char* format, Py_ssize_t itemsize) {
  if (format == nullptr) format = "B";  // what an exporter that names none means
  char order = '@';
  if (*format != '\0' && std::strchr("@=<>!", *format) != nullptr) order = *format++;
  if (format[0] == '\0' || format[1] != '\0') return 0;
  constexpr bool kLittle = std::endian::native == std::endian::little;
  const bool native = order == '@' || order == '=' || order == (kLittle ? '<' : '>') || (!kLittle && order == '!');
  switch (*format) {
    case 'B':
      return itemsize == 1 ? unsigned{PinnedBuffer::kUnsignedBytes} : 0u;
    case 'b':
      return itemsize == 1 ? unsigned{PinnedBuffer::kSignedBytes} : 0u;
    case 'f':
      return native && itemsize == 4 ? unsigned{PinnedBuffer::kFloat32} : 0u;
    case 'd':
      return native && itemsize == 8 ? unsigned{PinnedBuffer::kFloat64} : 0u;
    default:
      return 0;
  }
}

// Whether the sequence protocol gives o's buffer items as they are: its
// __getitem__ and __len__ are those of the type that exports its buffer, not
// redefined by a subclass in Python (a masked array or a memmap), and the
// buffer is not one a class exports from Python.
bool ItemsAreTheBuffer(PyTypeObject* type) {
  const getbufferproc get = type->tp_as_buffer->bf_getbuffer;
  PyTypeObject* root = type;
  while (root->tp_base != nullptr && root->tp_base->tp_as_buffer != nullptr &&
         root->tp_base->tp_as_buffer->bf_getbuffer == get) {
    root = root->tp_base;
  }
#if PY_VERSION_HEX >= 0x030C0000
  if (PyType_HasFeature(root, Py_TPFLAGS_HEAPTYPE)) {
    Ref dict(PyType_GetDict(root));
    PyObject* defined = dict ? PyDict_GetItemString(dict.get(), "__buffer__") : nullptr;
    if (defined != nullptr && !Py_IS_TYPE(defined, &PyWrapperDescr_Type)) return false;
  }
#endif
  if (root == type) return true;
  const PySequenceMethods* own = type->tp_as_sequence;
  const PySequenceMethods* base = root->tp_as_sequence;
  if (own == nullptr || base == nullptr) return own == base;
  return own->sq_item == base->sq_item && own->sq_length == base->sq_length;
}

}  // namespace

void PinnedBuffer::Release::operator()(Py_buffer* view) const {
  PyBuffer_Release(view);
  delete view;
}

bool PinnedBuffer::Pin(PyObject* o, unsigned items, bool flattened) {
  view_.reset();
  if (!PyObject_CheckBuffer(o) || !ItemsAreTheBuffer(Py_TYPE(o))) return false;
  auto* view = new Py_buffer;
  if (PyObject_GetBuffer(o, view, PyBUF_RECORDS_RO) != 0) {
    // An exporter that cannot give these flags: the sequence path decides.
    delete view;
    PyErr_Clear();
    return false;
  }
  std::unique_ptr<Py_buffer, Release> pinned(view);
  const unsigned kind = ItemsOf(view->format, view->itemsize) & items;
  if (kind == 0) return false;
  if (view->ndim == 1) {
    size_ = static_cast<size_t>(view->shape[0]);
    stride_ = view->strides != nullptr ? view->strides[0] : view->itemsize;
  } else if (view->ndim > 1 && flattened && PyBuffer_IsContiguous(view, 'C')) {
    size_ = static_cast<size_t>(view->len / view->itemsize);
    stride_ = view->itemsize;
  } else {
    return false;
  }
  items_ = static_cast<Items>(kind);
  data_ = static_cast<const char*>(view->buf);
  contiguous_ = stride_ == view->itemsize || size_ <= 1;
  view_ = std::move(pinned);
  return true;
}

namespace {

// Whether a pinned buffer of single bytes holds what the sequence path takes:
// a signed byte that is negative makes that path raise.
bool AreBytes(const PinnedBuffer& pinned) {
  if (pinned.items() == PinnedBuffer::kSignedBytes) {
    for (size_t i = 0; i < pinned.size(); ++i) {
      if (static_cast<signed char>(*pinned.at(i)) < 0) return false;
    }
  }
  return true;
}

void AppendBytes(const PinnedBuffer& pinned, std::string& out) {
  if (pinned.contiguous()) {
    out.append(pinned.at(0), pinned.size());
    return;
  }
  out.reserve(out.size() + pinned.size());
  for (size_t i = 0; i < pinned.size(); ++i) out.push_back(*pinned.at(i));
}

constexpr unsigned kByteItems = PinnedBuffer::kUnsignedBytes | PinnedBuffer::kSignedBytes;

// Whether pinned bytes of o stay the same while the lock is released: those
// of a memoryview of bytes (pinned, so not a released view).
bool ImmutableBytes(PyObject* o) {
  if (!PyMemoryView_Check(o)) return false;
  PyObject* base = PyMemoryView_GET_BASE(o);
  return base != nullptr && PyBytes_Check(base);
}

}  // namespace

bool From(PyObject* o, Bytes& out) {
  if (PyBytes_Check(o)) {
    out.value.assign(PyBytes_AS_STRING(o), static_cast<size_t>(PyBytes_GET_SIZE(o)));
    return true;
  }
  if (PyByteArray_Check(o)) {
    out.value.assign(PyByteArray_AS_STRING(o), static_cast<size_t>(PyByteArray_GET_SIZE(o)));
    return true;
  }
  PinnedBuffer pinned;
  if (pinned.Pin(o, kByteItems, /*flattened=*/true) && AreBytes(pinned)) {
    std::string value;
    AppendBytes(pinned, value);
    out.value = std::move(value);
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

bool BytesView::Convert(PyObject* o, BytesView& out, bool (*in_place)(PyObject*)) {
  out.owner_ = Ref();
  out.pinned_ = PinnedBuffer();
  out.copy_.value.clear();
  if (PyBytes_Check(o)) {
    out.owner_ = Ref::Borrow(o);
    return true;
  }
  PinnedBuffer pinned;
  if (pinned.Pin(o, kByteItems, /*flattened=*/true) && AreBytes(pinned)) {
    if (pinned.contiguous() && in_place(o)) {
      out.pinned_ = std::move(pinned);
    } else {
      AppendBytes(pinned, out.copy_.value);
    }
    return true;
  }
  return From(o, out.copy_);
}

bool From(PyObject* o, BytesView& out) {
  return BytesView::Convert(o, out, [](PyObject*) { return true; });
}

bool From(PyObject* o, FixedBytesView& out) { return BytesView::Convert(o, out, &ImmutableBytes); }

bool From(PyObject* o, std::vector<float>& out) {
  PinnedBuffer pinned;
  if (!pinned.Pin(o, PinnedBuffer::kFloat32 | PinnedBuffer::kFloat64, /*flattened=*/false)) return FromItems(o, out);
  std::vector<float> values(pinned.size());
  if (pinned.items() == PinnedBuffer::kFloat32) {
    for (size_t i = 0; i < values.size(); ++i) {
      uint32_t bits;
      std::memcpy(&bits, pinned.at(i), 4);
      // The sequence path widens each value to a Python float and narrows it
      // back, which quiets a signaling NaN.
      if ((bits & 0x7f800000u) == 0x7f800000u && (bits & 0x007fffffu) != 0) bits |= 0x00400000u;
      std::memcpy(&values[i], &bits, 4);
    }
  } else {
    for (size_t i = 0; i < values.size(); ++i) {
      double v;
      std::memcpy(&v, pinned.at(i), 8);
      values[i] = static_cast<float>(v);
    }
  }
  out = std::move(values);
  return true;
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
