// The thin layer between the CPython C API and halcyra's classes: owning
// references, declarative argument parsing and conversion, the per-object
// borrow flag, and the mapping of core errors to Python exceptions.
//
// A binding function declares its parameters once, in a `Params` table, and
// receives plain C++ values:
//
//   static constexpr Params<2> kParams{"tokenize", {"text", "gram_size"}, 1};
//   std::string text;
//   size_t gram_size = 3;  // the default, kept when the argument is omitted
//   if (!ParseArgs(kParams, Call{args, nargs, kwnames}, text, gram_size)) return nullptr;
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <concepts>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "halcyra/status.h"

namespace halcyra::py {

// An owned (strong) reference; releases it when destroyed.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : p_(owned) {}  // steals `owned`
  static Ref Borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return Ref(borrowed);
  }
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref&& o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------------------
// Errors

// Raises the Python exception for a core error and returns nullptr:
// OS errors, writer limits, core-format and FST errors become IOError;
// argument checks, consumed builders and vector errors become ValueError;
// internal invariant violations become halcyra's InternalError.
PyObject* RaiseError(const Error& error);
// Raises InternalError (derived from BaseException) with `message`.
PyObject* RaiseInternal(const char* message);
// The InternalError type, created once per process.
PyObject* InternalErrorType();

// The name of an object's type as Python prints it ("int", "BuildStats").
const char* TypeName(PyObject* o);

// Catches what C++ may throw (allocation failure above all) at the edge of
// every function the interpreter calls.
template <auto F>
struct Guarded;

template <class R, class... A, R (*F)(A...)>
struct Guarded<F> {
  static R Call(A... a) noexcept {
    try {
      return F(a...);
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::exception& e) {
      RaiseInternal(e.what());
    }
    if constexpr (std::is_pointer_v<R>) {
      return nullptr;
    } else {
      return static_cast<R>(-1);
    }
  }
};

using FastcallFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// A METH_FASTCALL | METH_KEYWORDS entry point for a method table.
template <FastcallFn F>
PyCFunction Fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Guarded<F>::Call));
}

// ---------------------------------------------------------------------------
// Borrow flag: every object guards its state so that a call re-entering the
// same object (from Python code run during the first call) is refused.

class BorrowFlag {
 public:
  bool exclusive() const { return count_ < 0; }
  bool free() const { return count_ == 0; }

 private:
  friend class BorrowGuard;
  int count_ = 0;  // -1: exclusively borrowed; n > 0: n shared borrows
};

class BorrowGuard {
 public:
  enum Mode { kShared, kExclusive };
  // On refusal sets RuntimeError ("Already borrowed" for an exclusive borrow,
  // "Already mutably borrowed" for a shared one) and ok() is false.
  BorrowGuard(BorrowFlag& flag, Mode mode);
  ~BorrowGuard();
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;
  bool ok() const { return flag_ != nullptr; }

 private:
  BorrowFlag* flag_ = nullptr;
  Mode mode_;
};

// ---------------------------------------------------------------------------
// Argument conversion. Each From() accepts one declared kind, or sets
// TypeError / OverflowError (or lets the interpreter's own error through) and
// returns false.

// A byte string: any sequence of ints 0..255 other than str.
struct Bytes {
  std::string value;
};

// A byte string read in place when it is a bytes object, which is immutable
// and kept alive by the reference held here; any other sequence is copied.
// For large inputs that are only read.
class BytesView {
 public:
  std::string_view view() const {
    if (owner_) return {PyBytes_AS_STRING(owner_.get()), static_cast<size_t>(PyBytes_GET_SIZE(owner_.get()))};
    return copy_.value;
  }

 private:
  friend bool From(PyObject* o, BytesView& out);
  Ref owner_;
  Bytes copy_;
};

// A str read in place: the UTF-8 form the str keeps (its own bytes when it
// is ASCII; otherwise encoded once and cached in the object by the
// interpreter) stays valid while the reference held here keeps the str
// alive. For texts that are only read.
class StrView {
 public:
  std::string_view view() const { return view_; }

 private:
  friend bool From(PyObject* o, StrView& out);
  Ref owner_;
  std::string_view view_;
};

// A dict, converted to its (key, value) pairs in iteration order.
template <class K, class V>
struct Dict {
  std::vector<std::pair<K, V>> items;
};

// Containers convert their items with the other From() overloads, so all of
// them are declared before any is defined.
template <std::integral T>
  requires(!std::same_as<T, bool>)
bool From(PyObject* o, T& out);
template <class T>
bool From(PyObject* o, std::vector<T>& out);
template <class T>
bool From(PyObject* o, std::optional<T>& out);
template <class... T>
bool From(PyObject* o, std::tuple<T...>& out);
template <class K, class V>
bool From(PyObject* o, Dict<K, V>& out);

bool From(PyObject* o, std::string& out);
bool From(PyObject* o, bool& out);
bool From(PyObject* o, Bytes& out);
bool From(PyObject* o, BytesView& out);
bool From(PyObject* o, StrView& out);
bool From(PyObject* o, double& out);
bool From(PyObject* o, float& out);

// Integers of any width and sign, from an int or anything with __index__.
bool IndexToLongLong(PyObject* o, bool is_signed, long long* s, unsigned long long* u);
// OverflowError for a value outside the target's range; returns false.
bool RaiseIntRange(bool negative, bool is_signed);

template <std::integral T>
  requires(!std::same_as<T, bool>)
bool From(PyObject* o, T& out) {
  long long s = 0;
  unsigned long long u = 0;
  if (!IndexToLongLong(o, std::is_signed_v<T>, &s, &u)) return false;
  if constexpr (std::is_signed_v<T>) {
    if (s < std::numeric_limits<T>::min() || s > std::numeric_limits<T>::max()) return RaiseIntRange(s < 0, true);
    out = static_cast<T>(s);
  } else {
    if (u > std::numeric_limits<T>::max()) return RaiseIntRange(false, false);
    out = static_cast<T>(u);
  }
  return true;
}

// Iterates a sequence (not str) item by item; `convert` is called with each
// borrowed item. Sets the "Can't extract `str` to `Vec`" error for str.
bool ForEachItem(PyObject* seq, bool (*convert)(PyObject* item, void* ctx), void* ctx);

template <class T>
bool From(PyObject* o, std::vector<T>& out) {
  std::vector<T> items;
  auto convert = [](PyObject* item, void* ctx) {
    auto* v = static_cast<std::vector<T>*>(ctx);
    v->emplace_back();
    return From(item, v->back());
  };
  if (!ForEachItem(o, convert, &items)) return false;
  out = std::move(items);
  return true;
}

template <class T>
bool From(PyObject* o, std::optional<T>& out) {
  if (o == Py_None) {
    out.reset();
    return true;
  }
  T value{};
  if (!From(o, value)) return false;
  out = std::move(value);
  return true;
}

// Checks that o is a tuple of exactly n items.
bool CheckTuple(PyObject* o, Py_ssize_t n);

template <class... T>
bool From(PyObject* o, std::tuple<T...>& out) {
  if (!CheckTuple(o, sizeof...(T))) return false;
  return std::apply(
      [o](T&... items) {
        Py_ssize_t i = 0;
        return (From(PyTuple_GET_ITEM(o, i++), items) && ...);
      },
      out);
}

// Iterates a dict, raising "dictionary changed size during iteration" if a
// conversion mutates it.
bool ForEachEntry(PyObject* dict, bool (*convert)(PyObject* key, PyObject* value, void* ctx), void* ctx);

template <class K, class V>
bool From(PyObject* o, Dict<K, V>& out) {
  Dict<K, V> d;
  auto convert = [](PyObject* key, PyObject* value, void* ctx) {
    auto* items = &static_cast<Dict<K, V>*>(ctx)->items;
    items->emplace_back();
    return From(key, items->back().first) && From(value, items->back().second);
  };
  if (!ForEachEntry(o, convert, &d)) return false;
  out = std::move(d);
  return true;
}

// ---------------------------------------------------------------------------
// Argument binding: positional and keyword arguments to parameter slots, with
// the interpreter's wording for missing, duplicated and unexpected arguments.

// The arguments of one call, either vectorcall style (args, nargs, kwnames)
// or tuple-and-dict style (constructors).
struct Call {
  PyObject* const* args;
  Py_ssize_t nargs;
  PyObject* kwnames = nullptr;  // tuple of names; values follow args[nargs - 1]
  PyObject* kwargs = nullptr;   // or a dict of keyword arguments

  static Call FromTuple(PyObject* args, PyObject* kwargs) {
    return Call{&PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), nullptr, kwargs};
  }
};

template <size_t N>
struct Params {
  const char* function;              // as errors name it: "tokenize", "Builder.add"
  std::array<const char*, N> names;  // in declaration order
  size_t required;                   // the first `required` parameters have no default
};

// Fills slots[0..n) with borrowed references (nullptr for omitted arguments).
bool BindArgs(const char* function, const char* const* names, size_t n, size_t required, const Call& call,
              PyObject** slots);

// Converts one argument; TypeError and OverflowError get the prefix
// "argument '<name>': ".
template <class T>
bool ConvertArg(PyObject* o, const char* name, T& out) {
  if (From(o, out)) return true;
  if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_OverflowError)) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref text(value ? PyObject_Str(value) : nullptr);
    if (text) PyErr_Format(type, "argument '%s': %U", name, text.get());
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
  }
  return false;
}

// Binds and converts every argument. An omitted optional argument leaves its
// output untouched, so outputs are initialised with the defaults.
template <size_t N, class... T>
bool ParseArgs(const Params<N>& params, const Call& call, T&... out) {
  static_assert(N == sizeof...(T), "one output per parameter");
  PyObject* slots[N > 0 ? N : 1] = {};
  if (!BindArgs(params.function, params.names.data(), N, params.required, call, slots)) return false;
  size_t i = 0;
  bool ok = true;
  ((ok = ok && (slots[i] == nullptr || ConvertArg(slots[i], params.names[i], out)), ++i), ...);
  return ok;
}

// ---------------------------------------------------------------------------
// Classes: a Python object that owns one C++ value and guards it with a
// borrow flag. Methods are plain functions of the value; the wrappers below
// take the borrow before the arguments are converted, so a conversion that
// re-enters the object is refused.

template <class T>
struct Object {
  PyObject_HEAD
  BorrowFlag borrow;
  T value;
};

template <class T>
T& ValueOf(PyObject* self) {
  return reinterpret_cast<Object<T>*>(self)->value;
}

// A new instance of `type` owning `value`.
template <class T>
PyObject* NewObject(PyTypeObject* type, T value) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  auto* o = reinterpret_cast<Object<T>*>(self);
  new (&o->borrow) BorrowFlag();
  new (&o->value) T(std::move(value));
  return self;
}

template <class T>
void Dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Object<T>*>(self)->value.~T();
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

template <class T, PyObject* (*F)(T&, const Call&), BorrowGuard::Mode M>
PyObject* Method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  BorrowGuard guard(reinterpret_cast<Object<T>*>(self)->borrow, M);
  if (!guard.ok()) return nullptr;
  return F(ValueOf<T>(self), Call{args, nargs, kwnames});
}

// A method-table entry for F(T& value, const Call& call).
template <class T, PyObject* (*F)(T&, const Call&), BorrowGuard::Mode M>
PyMethodDef MethodEntry(const char* name, const char* doc) {
  return {name, Fastcall<&Method<T, F, M>>(), METH_FASTCALL | METH_KEYWORDS, doc};
}

template <PyObject* (*F)(const Call&)>
PyObject* StaticMethod(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return F(Call{args, nargs, kwnames});
}

// A method-table entry for a static method F(const Call& call): it has no
// instance, so there is no borrow to take.
template <PyObject* (*F)(const Call&)>
PyMethodDef StaticMethodEntry(const char* name, const char* doc) {
  return {name, Fastcall<&StaticMethod<F>>(), METH_FASTCALL | METH_KEYWORDS | METH_STATIC, doc};
}

// The len() slot, reading the value under a shared borrow.
template <class T, size_t (*F)(const T&)>
Py_ssize_t Length(PyObject* self) {
  BorrowGuard guard(reinterpret_cast<Object<T>*>(self)->borrow, BorrowGuard::kShared);
  if (!guard.ok()) return -1;
  return static_cast<Py_ssize_t>(F(ValueOf<T>(self)));
}

// Creates a class whose instances are Object<T>. `slots` ends with {0, nullptr}
// and must not set Py_tp_dealloc (it is added here).
template <class T>
PyObject* MakeClass(const char* qualified_name, std::vector<PyType_Slot> slots) {
  slots.insert(slots.begin(), {Py_tp_dealloc, reinterpret_cast<void*>(&Dealloc<T>)});
  PyType_Spec type_spec = {qualified_name, static_cast<int>(sizeof(Object<T>)), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots.data()};
  return PyType_FromSpec(&type_spec);
}

// ---------------------------------------------------------------------------
// Results

inline PyObject* ToPy(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

// A new list of ints.
PyObject* ToPyList(const std::vector<uint64_t>& values);

}  // namespace halcyra::py
