"""Arguments of the five callables: each kind of TypeError once, errors that
pass through unwrapped, and arguments that ask for more memory than there is (a
len() that over-reports, strings or sequences too large to copy), each in a
child under a memory ceiling (isolated.run), so that a fault that aborts the
interpreter fails one test; the sound outcomes are the honest result and
MemoryError."""
import sys

import pytest

import isolated
import vesko

load = vesko.RustEnsemble.load
features, features_batch = vesko.extract_features, vesko.extract_features_batch


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize("call, message", [
    (lambda e: e.predict_batch(), "RustEnsemble.predict_batch() missing 1 required positional argument: 'emails'"),
    (lambda e: load(), "RustEnsemble.load() missing 1 required positional argument: 'model_dir'"),
    (lambda e: features(), "extract_features() missing 1 required positional argument: 'text'"),
    (lambda e: e.predict_batch([], []), "RustEnsemble.predict_batch() takes 1 positional arguments but 2 were given"),
    (lambda e: features("a", "b", "c"), "extract_features() takes 1 positional arguments but 3 were given"),
    (lambda e: e.predict_proba_batch([], emails=[]), "RustEnsemble.predict_proba_batch() got multiple values for argument 'emails'"),
    (lambda e: e.predict_with_base_models(mails=[]), "RustEnsemble.predict_with_base_models() got an unexpected keyword argument 'mails'"),
    (lambda e: load(model_dir="a", other=1), "RustEnsemble.load() got an unexpected keyword argument 'other'"),
    (lambda e: features_batch(texts=[], other=1), "extract_features_batch() got an unexpected keyword argument 'other'"),
    (lambda e: e.predict_batch("one email"), "argument 'emails': Can't extract `str` to `Vec`"),
    (lambda e: features_batch("abc"), "argument 'texts': Can't extract `str` to `Vec`"),
    (lambda e: e.predict_batch({"a"}), "argument 'emails': 'set' object cannot be converted to 'Sequence'"),
    (lambda e: features_batch({"a": 1}), "argument 'texts': 'dict' object cannot be converted to 'Sequence'"),
    (lambda e: e.predict_batch(x for x in "ab"), "argument 'emails': 'generator' object cannot be converted to 'Sequence'"),
    (lambda e: e.predict_batch(b"ab"), "argument 'emails': 'int' object cannot be converted to 'PyString'"),
    (lambda e: features_batch(["a", None]), "argument 'texts': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda e: load(5), "argument 'model_dir': 'int' object cannot be converted to 'PyString'"),
    (lambda e: features(b"abc"), "argument 'text': 'bytes' object cannot be converted to 'PyString'"),
    (lambda e: features(Outer.Inner()), "argument 'text': 'Outer.Inner' object cannot be converted to 'PyString'"),
])
def test_type_errors(ensemble, call, message):
    with pytest.raises(TypeError) as info:
        call(ensemble)
    assert type(info.value) is TypeError and str(info.value) == message


class _Items(list):
    """A list whose items are converted one by one as they come."""


class _RaisingSequence:
    """Yields "first", then raises `error`; its len() fails."""
    def __init__(self, error):
        self.error = error

    def __len__(self):
        raise ValueError("no length")

    def __getitem__(self, index):
        if index:
            raise self.error
        return "first"


def test_errors_of_items_and_iteration(ensemble):
    for call in (features, lambda text: ensemble.predict_batch([text])):
        with pytest.raises(UnicodeEncodeError) as info:  # not wrapped for the parameter
            call("a\ud800b")
        assert "argument" not in str(info.value)
    # Items fail in order, however the texts of lists and tuples are encoded:
    # a text that cannot be encoded before a non-str, the non-str before it;
    # also when the bad text comes late in a batch the pool is already at.
    texts = [f"caf\u00e9 {i} " * (i % 50) for i in range(400)]
    bad = "d\u00e9j\u00e0 \ud800"
    for container in (list, tuple, _Items):
        for call in (features_batch, ensemble.predict_batch, ensemble.predict_proba_batch,
                     ensemble.predict_with_base_models):
            for before, after, error in ((bad, 5, UnicodeEncodeError), (5, bad, TypeError)):
                with pytest.raises(error) as info:
                    call(container(texts[:300] + [before] + texts[300:] + [after]))
                if error is TypeError:
                    assert str(info.value) == (
                        "argument 'emails': 'int' object cannot be converted to 'PyString'"
                        if call is not features_batch else
                        "argument 'texts': 'int' object cannot be converted to 'PyString'")
                else:
                    assert str(info.value) == ("'utf-8' codec can't encode character '\\ud800' "
                                               "in position 5: surrogates not allowed")
    assert ensemble.predict_proba_batch(texts) == ensemble.predict_proba_batch(_Items(texts))
    # A failing len() is only a hint lost; the iteration's errors pass through,
    # an exact TypeError reworded for the parameter, and IndexError ends it.
    with pytest.raises(KeyError):
        features_batch(_RaisingSequence(KeyError("boom")))
    with pytest.raises(TypeError) as info:
        features_batch(_RaisingSequence(TypeError("bad item")))
    assert str(info.value) == "argument 'texts': bad item"
    assert len(features_batch(_RaisingSequence(IndexError()))) == 1


class _Text(str):
    pass


class _ClaimsAscii(str):
    def isascii(self):
        return True


class _ClaimsNotAscii(str):
    def isascii(self):
        return False


class _FreshTexts:
    """Builds each text when asked, so only the callee holds it."""
    def __len__(self):
        return 40

    def __getitem__(self, index):
        if index >= 40:
            raise IndexError(index)
        return f"Subject: offer {index}\n\n" + ("caf\u00e9 " if index % 2 else "free ") * 500


def test_texts_read_in_place_or_encoded_give_the_same_answers(ensemble):
    # ASCII texts may be read in place and others encoded; a subclass's own
    # isascii() must not decide which. Each batch row must equal the text
    # converted on its own, and no text may keep a UTF-8 copy attached
    # (which str.__sizeof__ would count).
    texts = ["", "plain ASCII, Subject: FREE money!!!", "caf\u00e9 \u03a3\u03a3 \U0001F600 na\u00efve",
             _Text("ASCII subclass <b>win</b>"), _Text("subclass \u00e9t\u00e9"),
             _ClaimsAscii("not ASCII: \u00fcber \u00e9l\u00e8ve"), _ClaimsNotAscii("ASCII after all"),
             "x" * 100_000 + " \u00c9"]
    sizes = [sys.getsizeof(t) for t in texts]
    assert features_batch(texts) == [features(t) for t in texts]
    assert ensemble.predict_proba_batch(texts) == [
        ensemble.predict_proba_batch([str(t)])[0] for t in texts]
    assert [sys.getsizeof(t) for t in texts] == sizes
    # Texts nothing else holds stay alive for the whole call.
    fresh = _FreshTexts()
    kept = [fresh[i] for i in range(len(fresh))]
    assert ensemble.predict_proba_batch(fresh) == ensemble.predict_proba_batch(kept)
    assert features_batch(fresh) == features_batch(kept)


class _Logged:
    """Logs when it is released."""
    def __init__(self, log, name):
        self.log, self.name = log, name

    def __del__(self):
        self.log.append(f"released {self.name}")


class _LoggedText(str):
    def __del__(self):
        self.log.append(f"released {self}")


class _LoggingSequence:
    """Makes each item when read (only the callee holds it) and logs the read."""
    def __init__(self, log, makers):
        self.log, self.makers = log, makers

    def __len__(self):
        return len(self.makers)

    def __getitem__(self, index):
        make = self.makers[index]  # IndexError ends the iteration
        self.log.append(f"read {index}")
        return make()


def test_items_and_errors_a_call_drops_are_released_by_its_end(ensemble):
    # What the callee alone holds is released by the time the call returns,
    # whether it succeeds or fails; an item that had to be encoded already
    # before the next is read, so a long lazy sequence never piles up.
    log = []

    def text(value):
        def make():
            item = _LoggedText(value)
            item.log = log
            return item
        return make

    def failing():
        raise TypeError("no text here", _Logged(log, "error"))

    for call in (features_batch, ensemble.predict_proba_batch):
        del log[:]
        call(_LoggingSequence(log, [text("caf\u00e9"), text("plain"), text("na\u00efve")]))
        assert log.index("released caf\u00e9") < log.index("read 1")
        assert log.index("released na\u00efve") > log.index("read 2")
        assert sorted(log) == ["read 0", "read 1", "read 2", "released caf\u00e9",
                               "released na\u00efve", "released plain"]
        for last, error in ((lambda: _Logged(log, "item"), "item"), (failing, "error")):
            del log[:]
            with pytest.raises(TypeError):
                call(_LoggingSequence(log, [text("plain"), text("caf\u00e9"), last]))
            assert sorted(log) == sorted(["read 0", "read 1", "read 2", "released caf\u00e9",
                                          "released plain", f"released {error}"])


def test_over_reported_length_is_not_trusted(tiny_dir):
    result = isolated.run(f"""
        import vesko

        class Claiming(list):
            __len__ = lambda self: self.claim

        emails = ["Subject: free money\\n\\nclick here", "see you at the meeting", ""]
        ensemble = vesko.RustEnsemble.load({str(tiny_dir)!r})
        for call in [vesko.extract_features_batch, ensemble.predict_batch,
                     ensemble.predict_proba_batch, ensemble.predict_with_base_models]:
            for claim in (2**40, 2**62):
                claiming = Claiming(emails)
                claiming.claim = claim
                assert call(claiming) == call(emails), (call, claim)
        print("ok")
    """)
    assert result.returncode == 0, result.stderr[-4000:]
    assert result.stdout.splitlines()[-1] == "ok"


# Each case makes its arguments, then lowers the address-space limit to what
# is in use plus a budget that holds Python's own temporary copy of one big
# string but not the module's copy of it as well, and makes two calls.
OUT_OF_MEMORY = {
    "one huge str": ("big = 'x' * (64 << 20)", 96 << 20,
                     ["vesko.extract_features(big)", "vesko.RustEnsemble.load(big)"]),
    # Non-ASCII: an ASCII str is read in place, these are encoded (8 MiB each).
    "many large strs": ("big = ['\\u00e9' * (4 << 20)] * 64", 100 << 20,
                        ["vesko.extract_features_batch(big)", "ensemble.predict_batch(big)"]),
    "a sequence without end": (
        """
        class Endless:
            item = 'z' * (1 << 20)
            __len__ = lambda self: 1
            __getitem__ = lambda self, index: self.item
        big = Endless()
        """, 64 << 20,
        ["ensemble.predict_proba_batch(big)", "vesko.extract_features_batch(big)"]),
    "a huge keyword name": ("big = {'k' * (64 << 20): 1}", 96 << 20,
                            ["vesko.extract_features(**big)",
                             "ensemble.predict_with_base_models(**big)"]),
}


@pytest.mark.skipif(isolated.SANITIZED, reason="AddressSanitizer aborts on a refused operator new")
@pytest.mark.parametrize("case", OUT_OF_MEMORY)
def test_running_out_of_memory_copying_arguments_raises_memory_error(tiny_dir, case):
    setup, budget, calls = OUT_OF_MEMORY[case]
    result = isolated.run(f"""
        import resource, textwrap
        import vesko

        def in_use():
            with open("/proc/self/status") as status:
                for line in status:
                    if line.startswith("VmSize:"):
                        return int(line.split()[1]) * 1024

        ensemble = vesko.RustEnsemble.load({str(tiny_dir)!r})
        ensemble.predict_batch(["warm up", "the pool"])
        vesko.extract_features_batch(["and the", "features"])
        exec(textwrap.dedent({setup!r}))
        _, ceiling = resource.getrlimit(resource.RLIMIT_AS)
        outcomes = []
        for call in {calls!r}:
            resource.setrlimit(resource.RLIMIT_AS, (in_use() + {budget}, ceiling))
            try:
                eval(call)
                outcomes.append("returned")
            except MemoryError:
                outcomes.append("MemoryError")
            resource.setrlimit(resource.RLIMIT_AS, (ceiling, ceiling))
        del big
        print(*outcomes, len(vesko.extract_features("still working")))
    """)
    assert result.returncode == 0, result.stderr[-4000:]
    assert result.stdout.split() == ["MemoryError", "MemoryError", "29"]
