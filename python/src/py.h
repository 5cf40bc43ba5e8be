// The thin layer between the CPython C API and halcyra's classes: owning
// references, declarative argument parsing and conversion, the per-object
// borrow flag, and the mapping of core errors to Python exceptions.
//
// A binding function declares its parameters once: a struct whose member
// initialisers are the defaults, and a table naming each member, the first
// `required` of them without a default. The same table parses the call and
// renders the signature the docstring starts with:
//
//   struct TokenizeArgs {
//     std::string text;
//     size_t gram_size = kDefaultGramSize;  // kept when the argument is omitted
//   };
//   constexpr auto kTokenize = MakeParams<TokenizeArgs>(
//       "tokenize", 1, Param{"text", &TokenizeArgs::text}, Param{"gram_size", &TokenizeArgs::gram_size});
//   PyObject* Tokenize(TokenizeArgs& args);  // FunctionEntry<kTokenize, &Tokenize>("tokenize", "Returns ...")
//
// which gives the docstring "tokenize(text, gram_size=3)\n--\n\nReturns ...".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "halcyra/interrupt.h"
#include "halcyra/status.h"
#include "halcyra/types.h"

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

// A byte string: any sequence of ints 0..255 other than str. A buffer of
// single bytes is copied from the buffer, in C order (see PinnedBuffer).
struct Bytes {
  std::string value;
};

// The items of the buffer an object exports, pinned: while this holds them,
// the exporter can neither free nor resize them (a bytearray refuses to grow,
// a memoryview to be released), though a writable one can still be written.
// Released when destroyed, which must happen with the lock held, as every
// argument is destroyed. Moves keep the items where they are.
class PinnedBuffer {
 public:
  enum Items : unsigned { kUnsignedBytes = 1, kSignedBytes = 2, kFloat32 = 4, kFloat64 = 8 };

  // Pins o's buffer when its items are of one of the kinds in `items`, in
  // the machine's own layout, and are the very items the sequence protocol
  // gives (o's type does not redefine __getitem__ or __len__ in Python): in
  // one dimension, with any stride, or in several when `flattened` and they
  // are C-contiguous. Otherwise pins nothing and returns false, no error set.
  bool Pin(PyObject* o, unsigned items, bool flattened);
  explicit operator bool() const { return view_ != nullptr; }

  Items items() const { return items_; }
  size_t size() const { return size_; }  // in items
  bool contiguous() const { return contiguous_; }
  // The item at `i`, as raw bytes.
  const char* at(size_t i) const { return data_ + static_cast<Py_ssize_t>(i) * stride_; }

 private:
  struct Release {
    void operator()(Py_buffer* view) const;
  };
  std::unique_ptr<Py_buffer, Release> view_;
  Items items_ = kUnsignedBytes;
  const char* data_ = nullptr;
  size_t size_ = 0;
  Py_ssize_t stride_ = 0;
  bool contiguous_ = false;
};

class FixedBytesView;

// A byte string read in place: a bytes object, kept alive by the reference
// held here, or any buffer of single bytes that is contiguous, pinned. A
// writable buffer (bytearray, numpy array) can still be written by Python
// code while this lives, so it is for inputs read with the lock held. Other
// buffers and sequences are copied.
class BytesView {
 public:
  std::string_view view() const {
    if (owner_) return {PyBytes_AS_STRING(owner_.get()), static_cast<size_t>(PyBytes_GET_SIZE(owner_.get()))};
    if (pinned_) return {pinned_.at(0), pinned_.size()};
    return copy_.value;
  }

 private:
  friend bool From(PyObject* o, BytesView& out);
  friend bool From(PyObject* o, FixedBytesView& out);
  // In place when o is bytes, or a contiguous buffer of bytes for which
  // in_place(o) holds; copied otherwise.
  static bool Convert(PyObject* o, BytesView& out, bool (*in_place)(PyObject*));
  Ref owner_;
  PinnedBuffer pinned_;
  Bytes copy_;
};

// A byte string whose bytes cannot change while the core reads them without
// the lock: read in place from a bytes object or a memoryview of one, copied
// once from any other buffer. Another thread could write into a bytearray or
// a numpy array between the core's checks of what it parses and its reads.
class FixedBytesView : public BytesView {};

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

// A str naming a file or directory. One holding a NUL is refused with
// ValueError "embedded null byte", as the interpreter's own open() refuses
// it, before anything is created.
struct Path {
  std::string value;
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
bool From(PyObject* o, Path& out);
bool From(PyObject* o, bool& out);
bool From(PyObject* o, Bytes& out);
bool From(PyObject* o, BytesView& out);
bool From(PyObject* o, FixedBytesView& out);
// A vector of floats: a one-dimensional buffer of float32 or float64 read
// from the buffer, any other sequence item by item, with the same values.
bool From(PyObject* o, std::vector<float>& out);
bool From(PyObject* o, StrView& out);
bool From(PyObject* o, double& out);
bool From(PyObject* o, float& out);
// A (name, number, flag) tuple.
bool From(PyObject* o, Sortcol& out);

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

// A sequence converted item by item.
template <class T>
bool FromItems(PyObject* o, std::vector<T>& out) {
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
bool From(PyObject* o, std::vector<T>& out) {
  return FromItems(o, out);
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

// One parameter: its name and the member of the argument struct it fills.
template <class C, class T>
struct Param {
  const char* name;
  T C::*member;
};

// The parameters of one function, in declaration order, over the struct A
// they fill. The first `required` have no default; every other one defaults
// to its member's initialiser in a value-initialised A.
template <class A, class... T>
struct Params {
  using Args = A;
  const char* function;  // as errors name it: "tokenize", "Builder.add"
  size_t required;
  std::array<const char*, sizeof...(T)> names;
  std::tuple<T A::*...> members;
};

// The table of (name, member) pairs; a member may be one of a base of A, so
// that a function's arguments can extend a core options struct.
template <class A, class... C, class... T>
constexpr Params<A, T...> MakeParams(const char* function, size_t required, Param<C, T>... params) {
  return {function, required, {params.name...}, {params.member...}};
}

// The arguments of a function without parameters.
struct NoArgs {};

template <const auto& P>
using ArgsOf = typename std::remove_cvref_t<decltype(P)>::Args;

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

// Binds and converts every argument, in declaration order. An omitted
// optional argument leaves its member untouched, so `out` starts out
// value-initialised: holding the defaults.
template <class A, class... T>
bool ParseArgs(const Params<A, T...>& params, const Call& call, A& out) {
  PyObject* slots[sizeof...(T) > 0 ? sizeof...(T) : 1] = {};
  if (!BindArgs(params.function, params.names.data(), sizeof...(T), params.required, call, slots)) return false;
  size_t i = 0;
  auto convert = [&](auto member) {
    const size_t at = i++;
    return slots[at] == nullptr || ConvertArg(slots[at], params.names[at], out.*member);
  };
  return std::apply([&](auto... members) { return (convert(members) && ...); }, params.members);
}

// ---------------------------------------------------------------------------
// Docstrings: "name(parameters)\n--\n\n" and the text. The interpreter takes
// the first part as __text_signature__, where "$self" stands for the bound
// instance, and the rest as __doc__.

// A default as Python source: a str in double quotes, an integer in decimal,
// True or False, None for an empty optional. Other kinds (bytes, sequences,
// dicts) have none, so parameters of those kinds must be required.
template <class T>
std::string PyText(const T&) {
  throw std::logic_error("a parameter default of a kind that has no Python text");
}
inline std::string PyText(const std::string& s) { return '"' + s + '"'; }
inline std::string PyText(const Path& p) { return PyText(p.value); }
inline std::string PyText(bool b) { return b ? "True" : "False"; }
template <std::integral T>
  requires(!std::same_as<T, bool>)
std::string PyText(const T& v) {
  return std::to_string(v);
}
template <class T>
std::string PyText(const std::optional<T>& v) {
  return v ? PyText(*v) : "None";
}

// The parameter list, "$self" first for a method: "$self, text, gram_size=3".
template <class A, class... T>
std::string Signature(const Params<A, T...>& params, bool self = false) {
  const A defaults{};
  std::string s = self ? "$self" : "";
  size_t i = 0;
  auto append = [&](auto member) {
    if (!s.empty()) s += ", ";
    s += params.names[i];
    if (i++ >= params.required) s += "=" + PyText(defaults.*member);
  };
  std::apply([&](auto... members) { (append(members), ...); }, params.members);
  return s;
}

// Keeps `text` for the life of the process: the names and docstrings that
// types and method tables point at.
const char* Keep(std::string text);

// The docstring "name(params)\n--\n\n" + text (kept).
const char* Doc(std::string_view name, std::string_view params, std::string_view text);

// ---------------------------------------------------------------------------
// Functions: F(A& args) receives the arguments parsed with P, whose table
// also gives the docstring its signature.

template <const auto& P, PyObject* (*F)(ArgsOf<P>&)>
PyObject* Function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ArgsOf<P> a{};
  if (!ParseArgs(P, Call{args, nargs, kwnames}, a)) return nullptr;
  return F(a);
}

// The definition of a module function.
template <const auto& P, PyObject* (*F)(ArgsOf<P>&)>
PyMethodDef FunctionEntry(const char* name, const char* text) {
  return {name, Fastcall<&Function<P, F>>(), METH_FASTCALL | METH_KEYWORDS, Doc(name, Signature(P), text)};
}

// ---------------------------------------------------------------------------
// Classes: a Python object that owns one C++ value and guards it with a
// borrow flag. Methods are plain functions of the value and their arguments;
// the wrappers below take the borrow before the arguments are converted, so a
// conversion that re-enters the object is refused.

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

template <class T, const auto& P, PyObject* (*F)(T&, ArgsOf<P>&), BorrowGuard::Mode M>
PyObject* Method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  BorrowGuard guard(reinterpret_cast<Object<T>*>(self)->borrow, M);
  if (!guard.ok()) return nullptr;
  ArgsOf<P> a{};
  if (!ParseArgs(P, Call{args, nargs, kwnames}, a)) return nullptr;
  return F(ValueOf<T>(self), a);
}

// A method-table entry for F(T& value, A& args).
template <class T, const auto& P, PyObject* (*F)(T&, ArgsOf<P>&), BorrowGuard::Mode M>
PyMethodDef MethodEntry(const char* name, const char* text) {
  return {name, Fastcall<&Method<T, P, F, M>>(), METH_FASTCALL | METH_KEYWORDS,
          Doc(name, Signature(P, /*self=*/true), text)};
}

// A method-table entry for a static method F(A& args): it has no instance,
// so there is no borrow to take.
template <const auto& P, PyObject* (*F)(ArgsOf<P>&)>
PyMethodDef StaticMethodEntry(const char* name, const char* text) {
  PyMethodDef def = FunctionEntry<P, F>(name, text);
  def.ml_flags |= METH_STATIC;
  return def;
}

// The tp_new slot for a constructor F(type, A& args).
template <const auto& P, PyObject* (*F)(PyTypeObject*, ArgsOf<P>&)>
PyObject* Construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  ArgsOf<P> a{};
  if (!ParseArgs(P, Call::FromTuple(args, kwargs), a)) return nullptr;
  return F(type, a);
}

// The len() slot, reading the value under a shared borrow.
template <class T, size_t (*F)(const T&)>
Py_ssize_t Length(PyObject* self) {
  BorrowGuard guard(reinterpret_cast<Object<T>*>(self)->borrow, BorrowGuard::kShared);
  if (!guard.ok()) return -1;
  return static_cast<Py_ssize_t>(F(ValueOf<T>(self)));
}

// Creates a class whose instances are Object<T>, made by New(type, args)
// from the constructor arguments parsed with P; the docstring is the class
// name with P's signature, then `text`. `slots` ends with {0, nullptr} and
// sets none of Py_tp_dealloc, Py_tp_new and Py_tp_doc (they are added here).
template <class T, const auto& P, PyObject* (*New)(PyTypeObject*, ArgsOf<P>&)>
PyObject* MakeClass(const char* qualified_name, const char* text, std::vector<PyType_Slot> slots) {
  const char* dot = std::strrchr(qualified_name, '.');
  const char* doc = Doc(dot ? dot + 1 : qualified_name, Signature(P), text);
  slots.insert(slots.begin(), {
                                  {Py_tp_dealloc, reinterpret_cast<void*>(&Dealloc<T>)},
                                  {Py_tp_new, reinterpret_cast<void*>(&Guarded<&Construct<P, New>>::Call)},
                                  {Py_tp_doc, const_cast<char*>(doc)},
                              });
  PyType_Spec type_spec = {qualified_name, static_cast<int>(sizeof(Object<T>)), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots.data()};
  return PyType_FromSpec(&type_spec);
}

// ---------------------------------------------------------------------------
// The interpreter lock. The core's long work runs without it, so that the
// application's other threads go on meanwhile; it touches no Python object
// then, but inside Held(). Ctrl-C still reaches it: the core polls an
// interrupt check on this thread (at most every ~100 ms) that takes the lock
// briefly to run the signal handlers, and a handler that raises
// (KeyboardInterrupt) stops the call with Error::Interrupted, the exception
// set.

class Unlocked {
 public:
  Unlocked() : state_(PyEval_SaveThread()), check_(&CheckSignals, this) {}
  ~Unlocked() { PyEval_RestoreThread(state_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

  // Runs f() with the lock held, for the Python objects the work makes.
  template <class F>
  auto Held(F f) -> decltype(f()) {
    PyEval_RestoreThread(state_);
    struct Release {
      Unlocked* self;
      ~Release() { self->state_ = PyEval_SaveThread(); }
    } release{this};
    return f();
  }

 private:
  static bool CheckSignals(void* self) {
    return static_cast<Unlocked*>(self)->Held([] { return PyErr_CheckSignals() != 0; });
  }

  PyThreadState* state_;
  ScopedInterruptCheck check_;
};

// Runs f() without the interpreter lock (see Unlocked); f may take the
// Unlocked, to run what needs the lock in Held().
template <class F>
auto WithoutGil(F f) {
  Unlocked unlocked;
  if constexpr (std::is_invocable_v<F, Unlocked&>) {
    return f(unlocked);
  } else {
    return f();
  }
}

// ---------------------------------------------------------------------------
// Results

inline PyObject* ToPy(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

// A new list of ints.
PyObject* ToPyList(const std::vector<uint64_t>& values);

}  // namespace halcyra::py
