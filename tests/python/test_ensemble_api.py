"""RustEnsemble from Python: the class, load and its failures, the three
prediction methods, their argument errors and diagnostics."""
import inspect
import weakref

import pytest

import vesko
import tiny_models

RustEnsemble = vesko.RustEnsemble
EMAILS = [
    "Subject: free money\n\nFree money, click here! viagra",
    "Subject: meeting\n\nSee you at the meeting.",
    "",
]


@pytest.fixture(scope="module")
def model_dir(tmp_path_factory):
    return tiny_models.write(tmp_path_factory.mktemp("models"))


@pytest.fixture(scope="module")
def ensemble(model_dir):
    return RustEnsemble.load(str(model_dir))


def test_class_properties(ensemble):
    assert RustEnsemble.__name__ == "RustEnsemble"
    assert RustEnsemble.__module__ == "builtins"
    assert RustEnsemble.__doc__ == "Stacked ensemble of 4 models"
    assert RustEnsemble.load.__doc__ == "Load models from directory"
    assert str(inspect.signature(RustEnsemble.load)) == "(model_dir)"
    assert RustEnsemble.predict_batch.__text_signature__ == "($self, emails)"
    assert list(inspect.signature(RustEnsemble.predict_batch).parameters) == ["self", "emails"]
    assert RustEnsemble.predict_batch.__doc__ == (
        "Predict batch of emails\nReturns: Vec of (class, probability)"
    )
    assert RustEnsemble.predict_with_base_models.__doc__.startswith(
        "Predict with base model predictions exposed\n"
    )
    for args, kwargs in [((), {}), ((1, 2), {"x": 3})]:
        with pytest.raises(TypeError, match=r"^No constructor defined for RustEnsemble$"):
            RustEnsemble(*args, **kwargs)
    with pytest.raises(TypeError):
        type("Sub", (RustEnsemble,), {})
    with pytest.raises(AttributeError):
        ensemble.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(ensemble)


def test_load_on_instance_and_class_alike(model_dir, ensemble, capfd):
    other = ensemble.load(str(model_dir))
    assert capfd.readouterr().err == ""  # loading writes nothing
    assert type(other) is RustEnsemble and other is not ensemble
    assert other.predict_proba_batch(EMAILS) == ensemble.predict_proba_batch(EMAILS)
    assert ensemble.predict_batch(emails=EMAILS) == ensemble.predict_batch(tuple(EMAILS))


def test_empty_batches(ensemble, capfd):
    assert ensemble.predict_batch([]) == []
    assert ensemble.predict_proba_batch(()) == []
    assert ensemble.predict_with_base_models([]) == []
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda e: e.predict_batch(), "RustEnsemble.predict_batch() missing 1 required positional argument: 'emails'"),
        (lambda e: e.predict_batch([], []), "RustEnsemble.predict_batch() takes 1 positional arguments but 2 were given"),
        (lambda e: e.predict_proba_batch([], emails=[]), "RustEnsemble.predict_proba_batch() got multiple values for argument 'emails'"),
        (lambda e: e.predict_with_base_models(mails=[]), "RustEnsemble.predict_with_base_models() got an unexpected keyword argument 'mails'"),
        (lambda e: e.predict_batch("one email"), "argument 'emails': Can't extract `str` to `Vec`"),
        (lambda e: e.predict_batch({"a"}), "argument 'emails': 'set' object cannot be converted to 'Sequence'"),
        (lambda e: e.predict_batch(x for x in "ab"), "argument 'emails': 'generator' object cannot be converted to 'Sequence'"),
        (lambda e: e.predict_batch(b"ab"), "argument 'emails': 'int' object cannot be converted to 'PyString'"),
        (lambda e: e.predict_batch(["ok", None]), "argument 'emails': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda e: RustEnsemble.load(), "RustEnsemble.load() missing 1 required positional argument: 'model_dir'"),
        (lambda e: RustEnsemble.load(5), "argument 'model_dir': 'int' object cannot be converted to 'PyString'"),
        (lambda e: RustEnsemble.load(model_dir="a", other=1), "RustEnsemble.load() got an unexpected keyword argument 'other'"),
    ],
)
def test_argument_errors(ensemble, call, message):
    with pytest.raises(TypeError) as info:
        call(ensemble)
    assert type(info.value) is TypeError and str(info.value) == message


def test_lone_surrogate_is_not_wrapped(ensemble):
    with pytest.raises(UnicodeEncodeError):
        ensemble.predict_batch(["\ud800"])


def _debug_list(values):
    # The shortest digits that read back, as Python's repr writes the values
    # that occur here.
    return "[" + ", ".join(map(repr, values)) + "]"


def test_debug_lines_for_a_batch_of_one(ensemble, capfd):
    one = EMAILS[:1]
    ensemble.predict_with_base_models(one)
    trace = capfd.readouterr().err.splitlines()  # the boosted trees' trace alone
    assert trace[0].startswith("DEBUG XGBoost: Input features shape: 32, non-zero: ")
    assert trace[-1].startswith("DEBUG XGBoost: base_logit=")
    assert not any(line.startswith("DEBUG: ") for line in trace)

    ensemble.predict_batch(one)
    err = capfd.readouterr().err.splitlines()
    ensemble.predict_proba_batch(one)
    assert capfd.readouterr().err.splitlines() == err
    assert err[:len(trace)] == trace
    own = err[len(trace):]
    prefix = "DEBUG: Full meta-features (first 16): ["
    assert len(own) == 6 and own[5].startswith(prefix) and own[5].endswith("]")
    meta = [float(v) for v in own[5][len(prefix):-1].split(", ")]
    base, _ = ensemble.predict_with_base_models(one)[0]
    features = vesko.extract_features(one[0])
    assert meta[1:8:2] == [prob for _, prob in base] and meta[8:] == features[:8]
    assert own == [
        f"DEBUG: Model {m + 1} predictions: clean={meta[2 * m]:.6f}, spam={meta[2 * m + 1]:.6f}"
        for m in range(4)
    ] + [
        "DEBUG: Custom features (first 10): " + _debug_list(features[:10]),
        "DEBUG: Full meta-features (first 16): " + _debug_list(meta),
    ]

    capfd.readouterr()
    ensemble.predict_batch(EMAILS[:2])
    assert capfd.readouterr().err == ""


def test_files_in_order_and_first_failure_wins(tmp_path, capfd):
    d = tiny_models.write(tmp_path / "m")
    (d / "model3.msgpack").unlink()
    (d / "meta_classifier.msgpack").write_bytes(b"")
    with pytest.raises(RuntimeError) as info:
        RustEnsemble.load(str(d))
    assert str(info.value) == (
        f"Failed to open {d}/model3.msgpack: No such file or directory (os error 2)"
    )
    (d / "model1_tfidf.msgpack").unlink()
    (d / "model1.msgpack").write_bytes(b"\xc1")
    with pytest.raises(RuntimeError, match=r"model1_tfidf\.msgpack: No such file"):
        RustEnsemble.load(str(d))
    assert capfd.readouterr().err == ""  # a failed load writes nothing


def test_load_failure_texts(tmp_path, model_dir):
    d = tiny_models.write(tmp_path / "m", {"meta_classifier.msgpack": b""})
    with pytest.raises(RuntimeError) as info:
        RustEnsemble.load(str(d) + "/")
    assert str(info.value) == (
        f"Failed to deserialize {d}/meta_classifier.msgpack: "
        "IO error while reading marker: failed to fill whole buffer"
    )
    with pytest.raises(RuntimeError) as info:
        RustEnsemble.load(str(d) + "//")
    assert f"{d}//meta_classifier.msgpack" in str(info.value)

    a_file = model_dir / "model1.msgpack"
    with pytest.raises(RuntimeError) as info:
        RustEnsemble.load(str(a_file))
    assert str(info.value) == (
        f"Failed to open {a_file}/model1_tfidf.msgpack: Not a directory (os error 20)"
    )
    with pytest.raises(RuntimeError) as info:
        RustEnsemble.load("di\0r")
    assert str(info.value) == (
        "Failed to open di\0r/model1_tfidf.msgpack: file name contained an unexpected NUL byte"
    )

    bad = tiny_models.records()["model4.msgpack"]
    bad["trees"] = [{"nodeid": 0, "leaf": 1.0}, {"leaf": 2.0}]
    d = tiny_models.write(tmp_path / "tree", {"model4.msgpack": bad})
    with pytest.raises(RuntimeError) as info:
        RustEnsemble.load(str(d))
    assert str(info.value) == "Failed to deserialize tree: missing field `nodeid`"


def test_empty_model_dir_uses_the_current_directory(model_dir, monkeypatch):
    monkeypatch.chdir(model_dir)
    assert type(RustEnsemble.load("")) is RustEnsemble
