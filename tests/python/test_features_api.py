"""extract_features and extract_features_batch from Python: values, order,
argument handling and refusals."""
import math
import random

import pytest

import vesko

EMAILS = [
    "",
    "Subject: hello\r\n\r\nSee you at the meeting tomorrow.",
    "WIN $$$ NOW!!! Click here: http://bit.ly/xyz <b>free</b> viagra",
    "ÉCOLE — café crème, ΟΔΟΣ ΣΑΣ. İstanbul ²³ \ufeff\u200b",
    "\n\n   \t",
]


def _check_vector(values):
    assert isinstance(values, list) and len(values) == 29
    for v in values:
        assert type(v) is float and math.isfinite(v) and v >= 0.0


def test_values_order_and_arguments():
    for text in EMAILS:
        _check_vector(vesko.extract_features(text))
    assert vesko.extract_features("") == [0.0] * 29
    f = vesko.extract_features("Wow!!!! Really?!")
    assert f[3] == 5 / 16 and f[4] == 1 / 16 and f[8] == 6 / 16
    assert f[17] == 1 / 16 and f[27] == 2.0
    assert vesko.extract_features("viagra viagra VIAGRA")[5] == 1.0  # lower-cased first
    assert vesko.extract_features("I know")[24] == 50.0

    texts = EMAILS * 20
    random.Random(7).shuffle(texts)
    batch = vesko.extract_features_batch(texts)
    assert batch == [vesko.extract_features(t) for t in texts]
    assert vesko.extract_features_batch(tuple(texts[:3])) == batch[:3]
    assert vesko.extract_features_batch([]) == vesko.extract_features_batch(()) == []

    class Text(str):
        pass

    assert vesko.extract_features(text="abc") == vesko.extract_features("abc")
    assert vesko.extract_features(Text("abc")) == vesko.extract_features("abc")
    assert vesko.extract_features_batch(texts=[Text("x")]) == [vesko.extract_features("x")]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: vesko.extract_features(), "extract_features() missing 1 required positional argument: 'text'"),
        (lambda: vesko.extract_features("a", "b"), "extract_features() takes 1 positional arguments but 2 were given"),
        (lambda: vesko.extract_features("a", "b", "c"), "extract_features() takes 1 positional arguments but 3 were given"),
        (lambda: vesko.extract_features("a", text="b"), "extract_features() got multiple values for argument 'text'"),
        (lambda: vesko.extract_features(txt="b"), "extract_features() got an unexpected keyword argument 'txt'"),
        (lambda: vesko.extract_features(None), "argument 'text': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda: vesko.extract_features(text=5), "argument 'text': 'int' object cannot be converted to 'PyString'"),
        (lambda: vesko.extract_features(b"abc"), "argument 'text': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: vesko.extract_features_batch(), "extract_features_batch() missing 1 required positional argument: 'texts'"),
        (lambda: vesko.extract_features_batch("abc"), "argument 'texts': Can't extract `str` to `Vec`"),
        (lambda: vesko.extract_features_batch(5), "argument 'texts': 'int' object cannot be converted to 'Sequence'"),
        (lambda: vesko.extract_features_batch({"a"}), "argument 'texts': 'set' object cannot be converted to 'Sequence'"),
        (lambda: vesko.extract_features_batch({"a": 1}), "argument 'texts': 'dict' object cannot be converted to 'Sequence'"),
        (lambda: vesko.extract_features_batch(t for t in ["a"]), "argument 'texts': 'generator' object cannot be converted to 'Sequence'"),
        (lambda: vesko.extract_features_batch(b"ab"), "argument 'texts': 'int' object cannot be converted to 'PyString'"),
        (lambda: vesko.extract_features_batch(["a", None]), "argument 'texts': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda: vesko.extract_features_batch(texts=["a"], other=1), "extract_features_batch() got an unexpected keyword argument 'other'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_nested_qualname_in_refusal():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError, match=r"^argument 'text': 'test_nested_qualname_in_refusal.<locals>.Outer.Inner' object"):
        vesko.extract_features(Outer.Inner())


def test_lone_surrogate_raises_unicode_encode_error_unwrapped():
    with pytest.raises(UnicodeEncodeError) as info:
        vesko.extract_features("a\ud800b")
    assert "argument" not in str(info.value)
    with pytest.raises(UnicodeEncodeError):
        vesko.extract_features_batch(["ok", "\udfff"])


class _RaisingSequence:
    def __init__(self, error):
        self.error = error

    def __len__(self):
        raise ValueError("no length")

    def __getitem__(self, index):
        if index == 0:
            return "first"
        raise self.error


def test_iterator_errors_pass_through_the_wrapping_rule():
    # The length may fail: the conversion goes on without it.
    with pytest.raises(KeyError):
        vesko.extract_features_batch(_RaisingSequence(KeyError("boom")))
    # An exact TypeError from the iterator is reworded for the parameter.
    with pytest.raises(TypeError) as info:
        vesko.extract_features_batch(_RaisingSequence(TypeError("bad item")))
    assert str(info.value) == "argument 'texts': bad item"
    # IndexError ends the legacy sequence iteration normally.
    assert len(vesko.extract_features_batch(_RaisingSequence(IndexError()))) == 1
