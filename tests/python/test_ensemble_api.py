"""RustEnsemble from Python: the class, load and its failures, the three
prediction methods and their diagnostics."""
import inspect
import weakref

import pytest

import tiny_models
import vesko

RustEnsemble = vesko.RustEnsemble
EMAILS = [
    "Subject: free money\n\nFree money, click here! viagra",
    "Subject: meeting\n\nSee you at the meeting.",
    "",
]


def test_class_properties(ensemble):
    assert (RustEnsemble.__name__, RustEnsemble.__module__, RustEnsemble.__doc__) == (
        "RustEnsemble", "builtins", "Stacked ensemble of 4 models")
    assert (RustEnsemble.load.__doc__, str(inspect.signature(RustEnsemble.load))) == (
        "Load models from directory", "(model_dir)")
    assert (RustEnsemble.predict_batch.__doc__, RustEnsemble.predict_batch.__text_signature__) == (
        "Predict batch of emails\nReturns: Vec of (class, probability)", "($self, emails)")
    assert RustEnsemble.predict_with_base_models.__doc__.startswith(
        "Predict with base model predictions exposed\n")
    with pytest.raises(TypeError, match=r"^No constructor defined for RustEnsemble$"):
        RustEnsemble(1, 2, x=3)
    with pytest.raises(TypeError):  # no subclass
        type("Sub", (RustEnsemble,), {})
    with pytest.raises(AttributeError):  # no instance attributes
        ensemble.anything = 1
    with pytest.raises(TypeError):  # no weak references
        weakref.ref(ensemble)


def test_load_on_instance_and_class_alike_and_quiet_batches(tiny_dir, ensemble, capfd):
    other = ensemble.load(str(tiny_dir))
    assert type(other) is RustEnsemble and other is not ensemble
    assert other.predict_proba_batch(EMAILS) == ensemble.predict_proba_batch(EMAILS)
    assert ensemble.predict_batch(emails=EMAILS) == ensemble.predict_batch(tuple(EMAILS))
    assert ensemble.predict_batch([]) == ensemble.predict_proba_batch(()) == []
    assert ensemble.predict_with_base_models([]) == []
    assert capfd.readouterr().err == ""  # loading and batches other than of one write nothing


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
    # Lists in the shortest digits that read back, as repr writes the values here.
    assert own == [f"DEBUG: Model {m + 1} predictions: clean={meta[2 * m]:.6f}, "
                   f"spam={meta[2 * m + 1]:.6f}" for m in range(4)] + [
        f"DEBUG: Custom features (first 10): [{', '.join(map(repr, features[:10]))}]",
        f"DEBUG: Full meta-features (first 16): [{', '.join(map(repr, meta))}]"]


def _load_error(directory):
    with pytest.raises(RuntimeError) as info:
        RustEnsemble.load(str(directory))
    return str(info.value)


def test_load_failures_name_the_first_cause(tmp_path, tiny_dir, capfd, monkeypatch):
    d = tiny_models.write(tmp_path / "m", {"meta_classifier.msgpack": b""})
    assert _load_error(f"{d}/") == (f"Failed to deserialize {d}/meta_classifier.msgpack: "
                                    "IO error while reading marker: failed to fill whole buffer")
    assert f"{d}//meta_classifier.msgpack" in _load_error(f"{d}//")
    # Files are read in their order and the first failure wins.
    (d / "model3.msgpack").unlink()
    assert _load_error(d) == (
        f"Failed to open {d}/model3.msgpack: No such file or directory (os error 2)")
    (d / "model1_tfidf.msgpack").unlink()
    (d / "model1.msgpack").write_bytes(b"\xc1")
    assert "model1_tfidf.msgpack: No such file" in _load_error(d)

    a_file = tiny_dir / "model1.msgpack"
    assert _load_error(a_file) == (
        f"Failed to open {a_file}/model1_tfidf.msgpack: Not a directory (os error 20)")
    assert _load_error("di\0r") == (
        "Failed to open di\0r/model1_tfidf.msgpack: file name contained an unexpected NUL byte")
    bad = tiny_models.records()["model4.msgpack"]
    bad["trees"] = [{"nodeid": 0, "leaf": 1.0}, {"leaf": 2.0}]
    d = tiny_models.write(tmp_path / "tree", {"model4.msgpack": bad})
    assert _load_error(d) == "Failed to deserialize tree: missing field `nodeid`"
    assert capfd.readouterr().err == ""  # a failed load writes nothing

    monkeypatch.chdir(tiny_dir)  # an empty directory name is the current directory
    assert type(RustEnsemble.load("")) is RustEnsemble
