import importlib
import os
import traceback

import pytest
from hypothesis import HealthCheck, settings

# CADENTIA_FUZZ=long runs the randomized comparisons far longer.
settings.register_profile(
    "ci", max_examples=60, deadline=None,
    suppress_health_check=[HealthCheck.too_slow])
settings.register_profile(
    "long", max_examples=3000, deadline=None,
    suppress_health_check=[HealthCheck.too_slow])
# Under valgrind (make memcheck) every example costs fifty times as much.
settings.register_profile(
    "memcheck", max_examples=8, deadline=None,
    suppress_health_check=list(HealthCheck))
settings.load_profile(os.environ.get("CADENTIA_FUZZ", "ci"))

SOURCE_FILE = "src/cadentia/model/_kernels"


@pytest.fixture(scope="session")
def kernels():
    return importlib.import_module("cadentia.model._kernels")


def module_entries(tb):
    """(function name, line) of every traceback entry the module added,
    outermost first."""
    return [(entry.name, entry.lineno)
            for entry in traceback.extract_tb(tb)
            if entry.filename == SOURCE_FILE]


@pytest.fixture
def entries():
    """The module's traceback entries of a pytest ExceptionInfo."""
    return lambda excinfo: module_entries(excinfo.tb)


@pytest.fixture
def change_layout(kernels, monkeypatch):
    """Replaces the module's _split_layout by one that returns the real
    layout after `change(layout)` has edited it in place."""
    def install(change):
        real = kernels._split_layout

        def split(*args):
            layout = real(*args)
            change(layout)
            return layout
        monkeypatch.setattr(kernels, "_split_layout", split)
    return install
