import pathlib
import sys

import pytest

import tiny_models

ROOT = pathlib.Path(__file__).resolve().parents[2]


def pytest_configure(config):
    # The suite tests the installed module, never a build lying in the tree.
    sys.path[:] = [p for p in sys.path if pathlib.Path(p or ".").resolve() != ROOT]


@pytest.fixture(scope="session")
def tiny_dir(tmp_path_factory):
    """A directory of small, self-consistent model files."""
    return tiny_models.write(tmp_path_factory.mktemp("models"))


@pytest.fixture(scope="session")
def ensemble(tiny_dir):
    import vesko  # after pytest_configure has settled sys.path
    return vesko.RustEnsemble.load(str(tiny_dir))
