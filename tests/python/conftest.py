import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


def pytest_configure(config):
    # The suite tests the installed module, never a build lying in the tree.
    sys.path[:] = [p for p in sys.path if pathlib.Path(p or ".").resolve() != ROOT]


@pytest.fixture(scope="session")
def repo_root():
    return ROOT
