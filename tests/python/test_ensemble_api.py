"""RustEnsemble from Python: the class, load and its failures, the three
prediction methods, their argument errors, results and diagnostics."""
import gc
import inspect
import os
import subprocess
import sys
import textwrap
import weakref

import msgpack
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


def test_all_lists_the_class_first():
    assert vesko.__all__ == ["RustEnsemble", "extract_features", "extract_features_batch"]


def test_class_properties():
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
    assert [m for m in ("load", "predict_batch", "predict_proba_batch", "predict_with_base_models")
            if callable(getattr(RustEnsemble, m))]


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {"x": 3})])
def test_constructor_refuses(args, kwargs):
    with pytest.raises(TypeError, match=r"^No constructor defined for RustEnsemble$"):
        RustEnsemble(*args, **kwargs)


def test_not_subclassable_no_attributes_no_weakrefs(ensemble):
    with pytest.raises(TypeError):
        type("Sub", (RustEnsemble,), {})
    with pytest.raises(AttributeError):
        ensemble.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(ensemble)


def test_load_on_instance_and_class_alike(model_dir, ensemble):
    other = ensemble.load(str(model_dir))
    assert type(other) is RustEnsemble and other is not ensemble
    assert other.predict_proba_batch(EMAILS) == ensemble.predict_proba_batch(EMAILS)


def test_result_shapes_and_types(ensemble):
    labels = ensemble.predict_batch(EMAILS)
    pairs = ensemble.predict_proba_batch(EMAILS)
    base = ensemble.predict_with_base_models(EMAILS)
    assert len(labels) == len(pairs) == len(base) == len(EMAILS)
    for (label, prob), (clean, spam), (base_preds, final) in zip(labels, pairs, base):
        assert label in ("clean", "spam") and type(prob) is float
        assert type(clean) is float and type(spam) is float
        assert abs(clean + spam - 1.0) < 1e-12
        assert prob == (spam if spam > clean else clean)
        assert label == ("spam" if spam > clean else "clean")
        assert isinstance(base_preds, list) and len(base_preds) == 4
        for base_label, base_prob in base_preds:
            assert base_label == ("spam" if base_prob > 0.5 else "clean")
        assert final == (label, spam)


def test_keyword_and_tuple_arguments(ensemble):
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


def test_debug_lines_for_a_batch_of_one(ensemble, capfd):
    ensemble.predict_batch(EMAILS[:1])
    err = capfd.readouterr().err.splitlines()
    assert err[0].startswith("DEBUG XGBoost: Input features shape: 32, non-zero: ")
    model_lines = [line for line in err if line.startswith("DEBUG: Model ")]
    assert [line[:16] for line in model_lines] == [f"DEBUG: Model {m} p" for m in (1, 2, 3, 4)]
    assert err[-2].startswith("DEBUG: Custom features (first 10): [")
    assert err[-1].startswith("DEBUG: Full meta-features (first 16): [")
    assert err[-1].count(",") == 15 and err[-2].count(",") == 9

    ensemble.predict_proba_batch(EMAILS[:1])
    assert capfd.readouterr().err.splitlines() == err

    ensemble.predict_with_base_models(EMAILS[:1])
    only_trace = capfd.readouterr().err.splitlines()
    assert not any(line.startswith("DEBUG: ") for line in only_trace)
    assert only_trace[-1].startswith("DEBUG XGBoost: base_logit=")

    ensemble.predict_batch(EMAILS[:2])
    assert capfd.readouterr().err == ""


def test_files_in_order_and_first_failure_wins(tmp_path):
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


def _fifo(path):
    os.mkfifo(path)


def _link_to_dev_zero(path):
    path.symlink_to("/dev/zero")


@pytest.mark.parametrize("make", [_fifo, _link_to_dev_zero], ids=["fifo", "dev_zero"])
def test_model_file_that_is_no_regular_file_is_refused_at_once(tmp_path, make):
    # A FIFO used to block load forever, past Ctrl-C; /dev/zero was read until
    # memory ran out. The child is bounded in time and address space.
    d = tiny_models.write(tmp_path / "m")
    target = d / "model1_tfidf.msgpack"
    target.unlink()
    make(target)
    code = """
        import resource, sys, time
        import vesko
        # 1 GiB above what the interpreter (and any sanitizer) already holds.
        with open("/proc/self/statm") as statm:
            held = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (held + (1 << 30),) * 2)
        start = time.monotonic()
        try:
            vesko.RustEnsemble.load(sys.argv[1])
        except RuntimeError as error:
            print(error)
        print(round(time.monotonic() - start))
    """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code), str(d)],
                            capture_output=True, text=True, timeout=30)
    assert result.returncode == 0, result.stderr[-4000:]
    assert result.stdout.splitlines() == [f"Failed to read {target}: not a regular file", "0"]


def test_model_file_that_is_a_directory_keeps_its_read_error(tmp_path):
    d = tiny_models.write(tmp_path / "m")
    (d / "model2.msgpack").unlink()
    (d / "model2.msgpack").mkdir()
    with pytest.raises(RuntimeError) as info:
        RustEnsemble.load(str(d))
    assert str(info.value) == f"Failed to read {d}/model2.msgpack: Is a directory (os error 21)"


def test_tree_failure_has_no_path(tmp_path):
    bad = tiny_models.records()["model4.msgpack"]
    bad["trees"] = [{"nodeid": 0, "leaf": 1.0}, {"leaf": 2.0}]
    d = tiny_models.write(tmp_path / "m", {"model4.msgpack": bad})
    with pytest.raises(RuntimeError) as info:
        RustEnsemble.load(str(d))
    assert str(info.value) == "Failed to deserialize tree: missing field `nodeid`"


def test_empty_model_dir_uses_the_current_directory(model_dir, monkeypatch):
    monkeypatch.chdir(model_dir)
    assert type(RustEnsemble.load("")) is RustEnsemble


def test_load_writes_nothing_to_stderr(model_dir, capfd):
    RustEnsemble.load(str(model_dir))
    with pytest.raises(RuntimeError):
        RustEnsemble.load(str(model_dir / "missing"))
    assert capfd.readouterr().err == ""


DISAGREEING = [
    # (file, change, expected message)
    ("model1.msgpack", lambda r: r["feature_log_prob"][1].__delitem__(slice(30, None)),
     "index out of bounds: the len is 30 but the index is 30"),
    ("model2.msgpack", lambda r: r["coef"][0].__delitem__(slice(5, None)),
     "index out of bounds: the len is 5 but the index is 5"),
    ("model1_tfidf.msgpack", lambda r: r["idf"].__delitem__(slice(2, None)),
     "index out of bounds: the len is 2 but the index is 2"),
    ("model4_tfidf.msgpack", lambda r: r["scaler_mean"].__delitem__(slice(10, None)),
     "index out of bounds: the len is 10 but the index is 10"),
    ("meta_classifier.msgpack", lambda r: r["coef"][0].__delitem__(slice(20, None)), None),
]


@pytest.mark.parametrize("name, change, message", DISAGREEING)
def test_disagreeing_files_raise_runtime_error_in_a_surviving_process(tmp_path, name, change, message):
    record = tiny_models.records()[name]
    change(record)
    d = tiny_models.write(tmp_path / "m", {name: record})
    code = f"""
        import sys; sys.path.insert(0, {os.path.dirname(__file__)!r})
        import vesko
        e = vesko.RustEnsemble.load({str(d)!r})
        try:
            e.predict_proba_batch(["free money meeting viagra", "free money again"])
        except RuntimeError as error:
            print("RuntimeError:", error)
        print("alive", len(vesko.extract_features("x")))
    """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    if message is None:
        # The dense form tolerates a short coefficient row: no failure.
        assert lines == ["alive 29"]
    else:
        assert lines == [f"RuntimeError: {message}", "alive 29"]


def test_load_and_drop_does_not_grow(model_dir):
    def rss_kb():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    for _ in range(50):
        RustEnsemble.load(str(model_dir))
    gc.collect()
    before = rss_kb()
    for _ in range(1000):
        e = RustEnsemble.load(str(model_dir))
        del e
    gc.collect()
    assert rss_kb() - before < 8 * 1024
