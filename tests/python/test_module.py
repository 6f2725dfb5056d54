"""The module object and its two functions: identity, __all__, docs, text
signatures, the exported symbols, the refusal of a second interpreter, and the
feature values, their order and the kinds of argument the functions take."""
import importlib
import importlib.util
import inspect
import random
import shutil
import subprocess

import pytest

import isolated
import vesko


def test_module_docs_signatures_and_identity():
    assert vesko.__doc__ == "Python module initialization"
    assert vesko.__all__ == ["RustEnsemble", "extract_features", "extract_features_batch"]
    f, g = vesko.extract_features, vesko.extract_features_batch
    assert f.__doc__ == (
        "Extract all 29 custom features from email text (28 legacy + 1 new: mailing_list)")
    assert f.__text_signature__ == "(text)" and str(inspect.signature(g)) == "(texts)"
    assert g.__doc__ == "Batch extract features wrapper for Python"
    assert f.__module__ == "vesko" and f.__self__ is vesko
    # A later import and a repeated initialisation give the same module.
    assert importlib.import_module("vesko") is vesko
    assert importlib.util.module_from_spec(vesko.__spec__) is vesko


def test_the_initialiser_is_the_only_exported_symbol():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("no nm on this machine")
    listing = subprocess.run([nm, "-D", "--defined-only", vesko.__file__],
                             capture_output=True, text=True, check=True).stdout
    # Every defined kind but absolute symbols (version nodes): code, data,
    # read-only data, bss, weak and unique objects, indirect functions.
    exported = [fields[-1] for fields in map(str.split, listing.splitlines())
                if len(fields) >= 2 and fields[-2] != "A"]
    assert exported == ["PyInit_vesko"]


def test_second_subinterpreter_import_is_refused_and_first_keeps_working():
    # A legacy sub-interpreter (shared GIL): there the interpreter asks the
    # module's own initialiser, which refuses. Isolated ones, the default from
    # 3.12 on, refuse single-phase modules before asking it.
    result = isolated.run("""
        import sys
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            try:
                import _interpreters as interpreters
            except ImportError:
                print("SKIP"); sys.exit(0)
        import vesko
        create, version = interpreters.create, sys.version_info
        interp = create() if version < (3, 12) else create(
            isolated=False) if version < (3, 13) else create("legacy")
        try:
            failure = interpreters.run_string(
                interp, "import sys; sys.path[:] = %r; import vesko" % sys.path)
        except Exception as error:
            failure = error
        print("REFUSED", failure if failure is None else getattr(failure, "formatted", failure))
        print(len(vesko.extract_features("still works")))
    """)
    assert result.returncode == 0, result.stderr
    if result.stdout.startswith("SKIP"):
        pytest.skip("no sub-interpreter support in this Python")
    refused, still_works = result.stdout.splitlines()
    assert refused.startswith("REFUSED") and "ImportError" in refused
    assert "PyO3 modules do not yet support subinterpreters, see " in refused
    assert still_works == "29"


EMAILS = ["", "Subject: hello\r\n\r\nSee you at the meeting tomorrow.", "\n\n   \t",
          "WIN $$$ NOW!!! Click here: http://bit.ly/xyz <b>free</b> viagra",
          "ÉCOLE — café crème, ΟΔΟΣ ΣΑΣ. İstanbul ²³ \ufeff\u200b"]


class Text(str):
    pass


def test_feature_values_order_and_arguments():
    # Their range over many texts is checked with the predictions.
    assert vesko.extract_features("") == [0.0] * 29
    f = vesko.extract_features("Wow!!!! Really?!")
    assert (f[3], f[4], f[8], f[17], f[27]) == (5 / 16, 1 / 16, 6 / 16, 1 / 16, 2.0)
    assert vesko.extract_features("viagra viagra VIAGRA")[5] == 1.0  # lower-cased first
    assert vesko.extract_features("I know")[24] == 50.0

    texts = EMAILS * 20
    random.Random(7).shuffle(texts)
    batch = vesko.extract_features_batch(texts)
    assert batch == [vesko.extract_features(t) for t in texts]
    assert vesko.extract_features_batch(tuple(texts[:3])) == batch[:3]
    assert vesko.extract_features_batch([]) == vesko.extract_features_batch(()) == []
    assert vesko.extract_features(text=Text("abc")) == vesko.extract_features("abc")
    assert vesko.extract_features_batch(texts=[Text("x")]) == [vesko.extract_features("x")]
