import pytest

from halcyra import tokenize


@pytest.mark.parametrize(
    "text, gram_size, keys",
    [
        ("abc", 3, [0x616263]),
        ("Hello, World!", 3, [0x68656C, 0x656C6C, 0x6C6C6F, 0x776F72, 0x6F726C, 0x726C64]),
        ("aaaa", 3, [0x616161]),
        ("e-mail", 3, [0x656D61, 0x6D6169, 0x61696C]),
        ("ab", 3, []),
        ("\u00e9te", 3, [0x87235F4F51709E6D]),
        ("ab", 2, [0x0000006100000062]),
        ("abcdefghi", 9, [0xE1E763E0C23D1304]),
        ("abc xabc", 3, [0x616263, 0x786162]),
        ("ABC", 3, [0x616263]),  # tokenize always folds case
        ("\u0130", 1, [0x69]),
        ("ab\u200bc", 3, [0x616263]),
        ("ab\u00a0cd", 2, [0x6100000062, 0x6300000064]),
        ("ab\u3000cd", 2, [0x6100000062, 0x6300000064]),
        ("don't", 3, tokenize("dont")),
        ("snake_case", 3, tokenize("snakecase")),
        ("2020", 3, [0x323032, 0x303230]),
        ("a.b", 3, []),
        ("ab\u00b2\u2160c", 3, [0x616263]),
    ],
)
def test_keys(text, gram_size, keys):
    assert tokenize(text, gram_size) == keys


def test_defaults_and_keywords():
    assert tokenize("abc") == [6382179]
    assert tokenize(text="abc", gram_size=3) == [6382179]
    assert tokenize(gram_size=1, text="ab") == [0x61, 0x62]


def test_empty_results():
    assert tokenize("") == []
    assert tokenize(" \t\n ") == []
    assert tokenize("abc", 0) == []
    assert tokenize("abc", 2**64 - 1) == []  # any machine-word gram size is accepted


def test_result_is_a_new_list_of_64_bit_ints():
    keys = tokenize("\u0436\u0443\u043a \u00e9t\u00e9")
    assert all(type(k) is int and 0 <= k < 2**64 for k in keys)
    assert tokenize("abc") is not tokenize("abc")


def test_str_subclass_and_index_objects_are_accepted():
    class Text(str):
        pass

    class Three:
        def __index__(self):
            return 3

    assert tokenize(Text("abc"), Three()) == [0x616263]
    assert tokenize("abc", True) == [0x61, 0x62, 0x63]


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((b"abc",), {}, TypeError, "argument 'text': 'bytes' object cannot be converted to 'PyString'"),
        ((None,), {}, TypeError, "argument 'text': 'NoneType' object cannot be converted to 'PyString'"),
        (("abc", -1), {}, OverflowError, "argument 'gram_size': can't convert negative int to unsigned"),
        (("abc", 2**64), {}, OverflowError, "argument 'gram_size': int too big to convert"),
        (("abc", 3.0), {}, TypeError, "argument 'gram_size': 'float' object cannot be interpreted as an integer"),
        (("abc", "3"), {}, TypeError, "argument 'gram_size': 'str' object cannot be interpreted as an integer"),
        (("abc", None), {}, TypeError, "argument 'gram_size': 'NoneType' object cannot be interpreted as an integer"),
        ((), {}, TypeError, "tokenize() missing 1 required positional argument: 'text'"),
        (("a", 3, 4), {}, TypeError, "tokenize() takes from 1 to 2 positional arguments but 3 were given"),
        (("a",), {"text": "b"}, TypeError, "tokenize() got multiple values for argument 'text'"),
        (("a",), {"size": 3}, TypeError, "tokenize() got an unexpected keyword argument 'size'"),
    ],
)
def test_bad_arguments(args, kwargs, exc, message):
    with pytest.raises(exc) as e:
        tokenize(*args, **kwargs)
    assert type(e.value) is exc
    assert str(e.value) == message


def test_lone_surrogate_raises_the_interpreters_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        tokenize("ab\udc80c")


def test_errors_raised_by_index_pass_through():
    class Bad:
        def __index__(self):
            raise KeyError("nope")

    with pytest.raises(KeyError):
        tokenize("abc", Bad())


def test_reentrant_call_from_index():
    class Reentrant:
        def __index__(self):
            assert tokenize("xyz") == [0x78797A]
            return 2

    assert tokenize("ab", Reentrant()) == [0x6100000062]
