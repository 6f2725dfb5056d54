"""The module object itself: identity, __all__, docs and text signatures."""
import importlib
import importlib.util
import inspect
import shutil
import subprocess

import pytest

import isolated
import vesko


def test_module_docs_signatures_and_binding():
    assert vesko.__doc__ == "Python module initialization"
    assert vesko.__all__ == ["RustEnsemble", "extract_features", "extract_features_batch"]
    assert all(hasattr(vesko, name) for name in vesko.__all__)
    f = vesko.extract_features
    assert f.__doc__ == (
        "Extract all 29 custom features from email text (28 legacy + 1 new: mailing_list)"
    )
    assert f.__text_signature__ == "(text)"
    assert str(inspect.signature(f)) == "(text)"
    assert f.__module__ == "vesko"
    assert f.__self__ is vesko
    g = vesko.extract_features_batch
    assert g.__doc__ == "Batch extract features wrapper for Python"
    assert str(inspect.signature(g)) == "(texts)"


def test_reimport_and_repeated_initialisation_give_the_same_module():
    assert importlib.import_module("vesko") is vesko
    again = importlib.util.module_from_spec(vesko.__spec__)
    assert again is vesko
    assert again.extract_features is vesko.extract_features


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
    result = isolated.run(
        """
        import sys
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            try:
                import _interpreters as interpreters
            except ImportError:
                print("SKIP"); sys.exit(0)
        import vesko
        if sys.version_info < (3, 12):
            interp = interpreters.create()
        elif sys.version_info < (3, 13):
            interp = interpreters.create(isolated=False)
        else:
            interp = interpreters.create("legacy")
        try:
            failure = interpreters.run_string(
                interp, "import sys; sys.path[:] = %r; import vesko" % sys.path)
        except Exception as error:
            failure = error
        print("REFUSED", failure if failure is None else getattr(failure, "formatted", failure))
        print(len(vesko.extract_features("still works")))
        """
    )
    assert result.returncode == 0, result.stderr
    if result.stdout.startswith("SKIP"):
        pytest.skip("no sub-interpreter support in this Python")
    lines = result.stdout.splitlines()
    assert lines[0].startswith("REFUSED")
    assert "ImportError" in lines[0]
    assert "PyO3 modules do not yet support subinterpreters, see " in lines[0]
    assert lines[1] == "29"
