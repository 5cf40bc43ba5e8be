// The binding layer under an embedded interpreter: every conversion's
// accepted values and exact failure, argument binding, the borrow flag, the
// error mapping and the stats objects.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "py.h"
#include "stats.h"

namespace halcyra::py {
namespace {

class Interpreter : public ::testing::Environment {
 public:
  void SetUp() override { Py_InitializeEx(0); }
  void TearDown() override { Py_FinalizeEx(); }
};
const auto* const kInterpreter = ::testing::AddGlobalTestEnvironment(new Interpreter);

// Evaluates a Python expression (with `Index` and `Mutator` helpers in scope).
Ref Eval(const char* expr) {
  static PyObject* globals = [] {
    PyObject* g = PyDict_New();
    PyDict_SetItemString(g, "__builtins__", PyEval_GetBuiltins());
    Ref r(PyRun_String(
        "class Index:\n"
        "    def __init__(self, v): self.v = v\n"
        "    def __index__(self): return self.v\n"
        "class Mutator:\n"
        "    def __init__(self, d): self.d = d\n"
        "    def __index__(self):\n"
        "        self.d['added'] = 1\n"
        "        return 1\n",
        Py_file_input, g, g));
    EXPECT_TRUE(r);
    return g;
  }();
  Ref r(PyRun_String(expr, Py_eval_input, globals, globals));
  EXPECT_TRUE(r) << expr;
  if (!r) PyErr_Print();
  return r;
}

// The pending exception as "TypeName: message", cleared.
std::string TakeError() {
  if (!PyErr_Occurred()) return "no error";
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Ref t(type), v(value), b(tb);
  Ref text(PyObject_Str(v.get()));
  std::string s = reinterpret_cast<PyTypeObject*>(t.get())->tp_name;
  s += ": ";
  s += text ? PyUnicode_AsUTF8(text.get()) : "?";
  return s;
}

// Converts `expr` as argument "x"; returns "ok" or the error.
template <class T>
std::string Convert(const char* expr, T& out) {
  Ref o = Eval(expr);
  if (!o) return "eval failed";
  if (ConvertArg(o.get(), "x", out)) return PyErr_Occurred() ? "ok with error set" : "ok";
  return TakeError();
}

template <class T>
std::string ConvertError(const char* expr) {
  T out{};
  return Convert(expr, out);
}

TEST(Conversion, Strings) {
  std::string s;
  EXPECT_EQ(Convert("'h\\u00e9llo'", s), "ok");
  EXPECT_EQ(s, "h\xc3\xa9llo");
  EXPECT_EQ(ConvertError<std::string>("b'abc'"), "TypeError: argument 'x': 'bytes' object cannot be converted to 'PyString'");
  EXPECT_EQ(ConvertError<std::string>("__import__('pathlib').Path('/tmp')"),
            "TypeError: argument 'x': 'PosixPath' object cannot be converted to 'PyString'");
  EXPECT_EQ(ConvertError<std::string>("'\\udc80'").rfind("UnicodeEncodeError: ", 0), 0u);
}

TEST(Conversion, IntegersOfEveryWidthAndSign) {
  uint16_t u16;
  EXPECT_EQ(Convert("65535", u16), "ok");
  EXPECT_EQ(u16, 65535);
  EXPECT_EQ(ConvertError<uint16_t>("65536"), "OverflowError: argument 'x': int too big to convert");
  EXPECT_EQ(ConvertError<uint16_t>("-1"), "OverflowError: argument 'x': can't convert negative int to unsigned");
  uint32_t u32;
  EXPECT_EQ(Convert("Index(4294967295)", u32), "ok");
  EXPECT_EQ(u32, 4294967295u);
  EXPECT_EQ(ConvertError<uint32_t>("2**32"), "OverflowError: argument 'x': int too big to convert");
  int64_t i64;
  EXPECT_EQ(Convert("-2**63", i64), "ok");
  EXPECT_EQ(i64, INT64_MIN);
  EXPECT_EQ(ConvertError<int64_t>("2**63"), "OverflowError: argument 'x': int too big to convert");
  EXPECT_EQ(ConvertError<int64_t>("-2**63 - 1"), "OverflowError: argument 'x': int too small to convert");
  uint64_t u64;
  EXPECT_EQ(Convert("2**64 - 1", u64), "ok");
  EXPECT_EQ(u64, UINT64_MAX);
  EXPECT_EQ(ConvertError<uint64_t>("2**64"), "OverflowError: argument 'x': int too big to convert");
  EXPECT_EQ(ConvertError<uint64_t>("-2**70"), "OverflowError: argument 'x': can't convert negative int to unsigned");
  uint8_t u8;
  EXPECT_EQ(Convert("True", u8), "ok");
  EXPECT_EQ(u8, 1);
  EXPECT_EQ(ConvertError<uint8_t>("1.0"), "TypeError: argument 'x': 'float' object cannot be interpreted as an integer");
  EXPECT_EQ(ConvertError<int32_t>("Index('no')"), "TypeError: argument 'x': __index__ returned non-int (type str)");
}

TEST(Conversion, BoolsAndFloats) {
  bool b = false;
  EXPECT_EQ(Convert("True", b), "ok");
  EXPECT_TRUE(b);
  EXPECT_EQ(ConvertError<bool>("1"), "TypeError: argument 'x': 'int' object cannot be converted to 'PyBool'");
  double d;
  EXPECT_EQ(Convert("2", d), "ok");
  EXPECT_EQ(d, 2.0);
  EXPECT_EQ(ConvertError<double>("'2'"), "TypeError: argument 'x': must be real number, not str");
}

TEST(Conversion, ByteStrings) {
  for (const char* expr : {"b'\\x00\\xffa'", "bytearray(b'\\x00\\xffa')", "[0, 255, 97]", "(0, Index(255), 97)"}) {
    Bytes b;
    EXPECT_EQ(Convert(expr, b), "ok") << expr;
    EXPECT_EQ(b.value, std::string("\x00\xff" "a", 3)) << expr;
  }
  EXPECT_EQ(ConvertError<Bytes>("'abc'"), "TypeError: argument 'x': Can't extract `str` to `Vec`");
  EXPECT_EQ(ConvertError<Bytes>("5"), "TypeError: argument 'x': 'int' object cannot be converted to 'Sequence'");
  EXPECT_EQ(ConvertError<Bytes>("{1: 2}"), "TypeError: argument 'x': 'dict' object cannot be converted to 'Sequence'");
  EXPECT_EQ(ConvertError<Bytes>("[1, 256]"), "OverflowError: argument 'x': int too big to convert");
  EXPECT_EQ(ConvertError<Bytes>("[1, -1]"), "OverflowError: argument 'x': can't convert negative int to unsigned");
  EXPECT_EQ(ConvertError<Bytes>("[1, 'a']"), "TypeError: argument 'x': 'str' object cannot be interpreted as an integer");
}

TEST(Conversion, ListsTuplesAndOptionals) {
  std::vector<std::string> strings;
  EXPECT_EQ(Convert("('a', 'b')", strings), "ok");
  EXPECT_EQ(strings, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(ConvertError<std::vector<std::string>>("'ab'"), "TypeError: argument 'x': Can't extract `str` to `Vec`");
  EXPECT_EQ(ConvertError<std::vector<std::string>>("['a', 1]"),
            "TypeError: argument 'x': 'int' object cannot be converted to 'PyString'");

  std::vector<std::tuple<int64_t, std::string>> rows;
  EXPECT_EQ(Convert("[(1, 'a'), (-2, 'b')]", rows), "ok");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(std::get<0>(rows[1]), -2);
  EXPECT_EQ(std::get<1>(rows[1]), "b");
  using Row = std::tuple<int64_t, std::string, std::optional<std::string>>;
  EXPECT_EQ(ConvertError<std::vector<Row>>("[(1, 'a')]"),
            "TypeError: argument 'x': expected tuple of length 3, but got tuple of length 2");
  EXPECT_EQ(ConvertError<std::vector<Row>>("[[1, 'a', None]]"),
            "TypeError: argument 'x': 'list' object cannot be converted to 'PyTuple'");

  std::optional<uint32_t> opt = 7;
  EXPECT_EQ(Convert("None", opt), "ok");
  EXPECT_FALSE(opt.has_value());
  EXPECT_EQ(Convert("9", opt), "ok");
  EXPECT_EQ(opt, 9u);
  EXPECT_EQ(ConvertError<std::optional<uint32_t>>("'9'"),
            "TypeError: argument 'x': 'str' object cannot be interpreted as an integer");
}

TEST(Conversion, Dicts) {
  Dict<std::string, std::vector<std::string>> d;
  EXPECT_EQ(Convert("{'year': ['2020', '2021'], 'tag': ()}", d), "ok");
  ASSERT_EQ(d.items.size(), 2u);
  EXPECT_EQ(d.items[0].first, "year");
  EXPECT_EQ(d.items[0].second, (std::vector<std::string>{"2020", "2021"}));
  EXPECT_TRUE(d.items[1].second.empty());
  EXPECT_EQ((ConvertError<Dict<std::string, std::vector<std::string>>>("{'year': '2020'}")),
            "TypeError: argument 'x': Can't extract `str` to `Vec`");
  EXPECT_EQ((ConvertError<Dict<std::string, int>>("[('a', 1)]")),
            "TypeError: argument 'x': 'list' object cannot be converted to 'PyDict'");
  EXPECT_EQ((ConvertError<Dict<std::string, int>>("(lambda d: (d.__setitem__('m', Mutator(d)), d)[1])({'a': 0})")),
            "RuntimeError: dictionary changed size during iteration");
}

// Evaluates `expr` and returns "ok" or the error it raises.
std::string Try(const char* expr) {
  Ref globals = Eval("globals()");
  Ref r(PyRun_String(expr, Py_eval_input, globals.get(), globals.get()));
  return r ? "ok" : TakeError();
}

const char* Address(std::string_view v) { return v.data(); }

TEST(Conversion, ByteBuffersReadInPlaceWhilePinned) {
  // A buffer read in place is pinned: the bytearray cannot be resized until
  // the view is gone.
  Ref ba = Eval("(ba := bytearray(b'abcdef'))");
  {
    BytesView v;
    ASSERT_EQ(ConvertArg(ba.get(), "x", v), true);
    EXPECT_EQ(Address(v.view()), PyByteArray_AS_STRING(ba.get()));
    EXPECT_EQ(v.view(), "abcdef");
    EXPECT_EQ(Try("ba.extend(b'g')"), "BufferError: Existing exports of data: object cannot be re-sized");
  }
  EXPECT_EQ(Try("ba.extend(b'g')"), "ok");

  // Where the core reads without the lock, only immutable bytes stay in
  // place: a bytearray is copied and left free.
  FixedBytesView fixed;
  ASSERT_EQ(ConvertArg(ba.get(), "x", fixed), true);
  EXPECT_NE(Address(fixed.view()), PyByteArray_AS_STRING(ba.get()));
  EXPECT_EQ(Try("ba.__setitem__(0, 120) or ba.extend(b'h')"), "ok");
  EXPECT_EQ(fixed.view(), "abcdefg");
  Ref b = Eval("(b := b'0123456789')");
  Ref mv = Eval("(mv := memoryview(b)[2:])");
  ASSERT_EQ(ConvertArg(mv.get(), "x", fixed), true);
  EXPECT_EQ(Address(fixed.view()), PyBytes_AS_STRING(b.get()) + 2);
  EXPECT_EQ(Try("mv.release()"), "BufferError: memoryview has 1 exported buffer");
  ASSERT_EQ(ConvertArg(Eval("memoryview(b)[2::3]").get(), "x", fixed), true);
  EXPECT_EQ(fixed.view(), "258");
}

// The bits of the floats `expr` converts to.
std::vector<uint32_t> FloatBits(const char* expr) {
  std::vector<float> v;
  EXPECT_EQ(Convert(expr, v), "ok") << expr;
  std::vector<uint32_t> bits(v.size());
  std::memcpy(bits.data(), v.data(), v.size() * 4);
  return bits;
}

TEST(Conversion, FloatBuffersGiveTheBitsOfTheSequencePath) {
  // Signaling and quiet NaNs with payloads, infinities, signed zeros,
  // subnormals; doubles that round, overflow and underflow.
  Eval("(f := __import__('array').array('f', bytes.fromhex("
       "'0100807f230180ff0000c07f0000807f00000080010000000000803fffff7f7f')))");
  Eval("(d := __import__('array').array('d', [0.1, 1e300, -1e-300, 3.4028235677973366e38, 2.0**-149 * 1.5, "
       "float('nan'), -0.0, float('-inf')] + [g(-1e6, 1e6) for g in [__import__('random').Random(5).uniform] "
       "for _ in range(1000)]))");
  for (const char* kind : {"f", "d"}) {
    const std::string buffer = kind, strided = std::string(kind) + "[::-2]";
    const std::string items = "list(" + buffer + ")", strided_items = "list(" + strided + ")";
    EXPECT_EQ(FloatBits(buffer.c_str()), FloatBits(items.c_str())) << kind;
    EXPECT_EQ(FloatBits(("memoryview(" + buffer + ")").c_str()), FloatBits(items.c_str())) << kind;
    EXPECT_EQ(FloatBits(("memoryview(" + buffer + ")[::-2]").c_str()), FloatBits(strided_items.c_str())) << kind;
  }
}

struct ThreeArgs {
  int64_t a = 0, b = 0, c = 0;
};
constexpr auto kThree = MakeParams<ThreeArgs>("Thing.do", 3, Param{"a", &ThreeArgs::a}, Param{"b", &ThreeArgs::b},
                                              Param{"c", &ThreeArgs::c});
struct OneArgs {
  int64_t a = 0;
};
constexpr auto kOne = MakeParams<OneArgs>("one", 1, Param{"a", &OneArgs::a});
constexpr auto kNone = MakeParams<NoArgs>("none", 0);

TEST(Binding, InterpretersWordingForBadCalls) {
  auto call = [](const char* args_expr, const char* kwargs_expr) {
    Ref args = Eval(args_expr), kwargs = Eval(kwargs_expr);
    ThreeArgs out;
    const bool ok = ParseArgs(kThree, Call::FromTuple(args.get(), kwargs.get()), out);
    return ok ? std::to_string(out.a) + "," + std::to_string(out.b) + "," + std::to_string(out.c) : TakeError();
  };
  EXPECT_EQ(call("(1,)", "{'c': 3, 'b': 2}"), "1,2,3");
  EXPECT_EQ(call("()", "{}"), "TypeError: Thing.do() missing 3 required positional arguments: 'a', 'b', and 'c'");
  EXPECT_EQ(call("(1,)", "{}"), "TypeError: Thing.do() missing 2 required positional arguments: 'b' and 'c'");
  EXPECT_EQ(call("(1, 2, 3, 4)", "{}"), "TypeError: Thing.do() takes 3 positional arguments but 4 were given");
  EXPECT_EQ(call("(1,)", "{'a': 1}"), "TypeError: Thing.do() got multiple values for argument 'a'");
  EXPECT_EQ(call("(1, 2, 3)", "{'d': 1}"), "TypeError: Thing.do() got an unexpected keyword argument 'd'");
  EXPECT_EQ(call("('1', 2, 3)", "{}"), "TypeError: argument 'a': 'str' object cannot be interpreted as an integer");

  Ref two = Eval("(1, 2)");
  OneArgs one;
  EXPECT_FALSE(ParseArgs(kOne, Call::FromTuple(two.get(), nullptr), one));
  EXPECT_EQ(TakeError(), "TypeError: one() takes 1 positional argument but 2 were given");
  Ref single = Eval("(1,)");
  NoArgs none;
  EXPECT_FALSE(ParseArgs(kNone, Call::FromTuple(single.get(), nullptr), none));
  EXPECT_EQ(TakeError(), "TypeError: none() takes 0 positional arguments but 1 was given");
}

struct TextArgs {
  std::string text;
  uint64_t size = 3;
};
constexpr auto kText = MakeParams<TextArgs>("f", 1, Param{"text", &TextArgs::text}, Param{"size", &TextArgs::size});

TEST(Binding, FastcallKeywordsAndDefaults) {
  Ref text = Eval("'abc'"), size = Eval("9"), names = Eval("('size',)");
  PyObject* args[] = {text.get(), size.get()};
  TextArgs a;
  ASSERT_TRUE(ParseArgs(kText, Call{args, 1, nullptr}, a));
  EXPECT_EQ(a.size, 3u);  // omitted: the default stays
  ASSERT_TRUE(ParseArgs(kText, Call{args, 1, names.get()}, a));
  EXPECT_EQ(a.text, "abc");
  EXPECT_EQ(a.size, 9u);
}

struct SampleArgs {
  std::string text;
  std::string mode = "fast";
  uint16_t size = 3;
  bool fold = true;
  std::optional<uint32_t> limit;
};
constexpr auto kSample = MakeParams<SampleArgs>("Thing.sample", 1, Param{"text", &SampleArgs::text},
                                                Param{"mode", &SampleArgs::mode}, Param{"size", &SampleArgs::size},
                                                Param{"fold", &SampleArgs::fold}, Param{"limit", &SampleArgs::limit});
PyObject* Sample(int&, SampleArgs&) { return nullptr; }

TEST(Binding, DocstringSignatureFromTheTable) {
  const PyMethodDef method = MethodEntry<int, kSample, &Sample, BorrowGuard::kShared>("sample", "Samples.");
  EXPECT_STREQ(method.ml_doc, "sample($self, text, mode=\"fast\", size=3, fold=True, limit=None)\n--\n\nSamples.");
}

TEST(Binding, BorrowFlag) {
  BorrowFlag flag;
  {
    BorrowGuard shared1(flag, BorrowGuard::kShared);
    BorrowGuard shared2(flag, BorrowGuard::kShared);
    EXPECT_TRUE(shared1.ok() && shared2.ok());
    BorrowGuard mut(flag, BorrowGuard::kExclusive);
    EXPECT_FALSE(mut.ok());
    EXPECT_EQ(TakeError(), "RuntimeError: Already borrowed");
  }
  {
    BorrowGuard mut(flag, BorrowGuard::kExclusive);
    EXPECT_TRUE(mut.ok());
    BorrowGuard again(flag, BorrowGuard::kExclusive);
    EXPECT_FALSE(again.ok());
    EXPECT_EQ(TakeError(), "RuntimeError: Already borrowed");
    BorrowGuard shared(flag, BorrowGuard::kShared);
    EXPECT_FALSE(shared.ok());
    EXPECT_EQ(TakeError(), "RuntimeError: Already mutably borrowed");
  }
  EXPECT_TRUE(flag.free());  // refused guards release nothing they did not take
}

TEST(Binding, ErrorMapping) {
  auto raise = [](const Error& e) {
    EXPECT_EQ(RaiseError(e), nullptr);
    return TakeError();
  };
  EXPECT_EQ(raise(Error::Os(2)), "OSError: No such file or directory (os error 2)");
  EXPECT_EQ(raise(Error::Os(13)), "OSError: Permission denied (os error 13)");
  EXPECT_EQ(raise(Error::Limit("write_index requires distinct n-gram keys")),
            "OSError: write_index requires distinct n-gram keys");
  EXPECT_EQ(raise(Error::Core("malformed index: short HYSS header")), "OSError: malformed index: short HYSS header");
  EXPECT_EQ(raise(Error::Fst("out of order")), "OSError: out of order");
  EXPECT_EQ(raise(Error::InvalidArgument("head_boundary must be a multiple of 65536, got 100")),
            "ValueError: head_boundary must be a multiple of 65536, got 100");
  EXPECT_EQ(raise(Error::Consumed("SplitSetBuilder already built")), "ValueError: SplitSetBuilder already built");
  EXPECT_EQ(raise(Error::Vector("bad")), "ValueError: bad");
  EXPECT_EQ(raise(Error::Internal("serialized size mismatch")), "InternalError: serialized size mismatch");

  // OSError carries the message as its only argument.
  RaiseError(Error::Os(2));
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Ref t(type), v(value), b(tb), args(PyObject_GetAttrString(value, "args"));
  EXPECT_EQ(PyTuple_Size(args.get()), 1);

  PyObject* internal = InternalErrorType();
  EXPECT_TRUE(PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(internal),
                               reinterpret_cast<PyTypeObject*>(PyExc_BaseException)));
  EXPECT_FALSE(PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(internal),
                                reinterpret_cast<PyTypeObject*>(PyExc_Exception)));
}

TEST(Stats, ReprAndReadOnlyAttributes) {
  Ref stats(NewStats(BuildStatsType(), {3, 17, 1}));
  ASSERT_TRUE(stats);
  Ref repr(PyObject_Repr(stats.get()));
  EXPECT_STREQ(PyUnicode_AsUTF8(repr.get()), "BuildStats(docs=3, ngrams=17, fields=1)");
  Ref docs(PyObject_GetAttrString(stats.get(), "docs"));
  EXPECT_TRUE(PyLong_CheckExact(docs.get()));
  EXPECT_EQ(PyLong_AsLong(docs.get()), 3);
  Ref one(PyLong_FromLong(1));
  EXPECT_EQ(PyObject_SetAttrString(stats.get(), "docs", one.get()), -1);
  EXPECT_EQ(TakeError().rfind("AttributeError: ", 0), 0u);

  Ref empty(NewStats(BuildStatsType(), {0, 0, 0}));
  Ref empty_repr(PyObject_Repr(empty.get()));
  EXPECT_STREQ(PyUnicode_AsUTF8(empty_repr.get()), "BuildStats(docs=0, ngrams=0, fields=0)");

  Ref vec(NewStats(VectorBuildStatsType(), {1000, 64, 16, 8, 8}));
  Ref vec_repr(PyObject_Repr(vec.get()));
  EXPECT_STREQ(PyUnicode_AsUTF8(vec_repr.get()), "VectorBuildStats(vectors=1000, dim=64, nlist=16, m=8, nbits=8)");

  Ref split(NewStats(SplitSetBuildStatsType(), {2, 10, UINT64_MAX}));
  Ref split_repr(PyObject_Repr(split.get()));
  EXPECT_STREQ(PyUnicode_AsUTF8(split_repr.get()),
               "SplitSetBuildStats(splits=2, docs=10, total_bytes=18446744073709551615)");
  Ref total(PyObject_GetAttrString(split.get(), "total_bytes"));
  EXPECT_EQ(PyLong_AsUnsignedLongLong(total.get()), UINT64_MAX);
}

}  // namespace
}  // namespace halcyra::py
