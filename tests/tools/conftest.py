import importlib.util
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
DEMO = ROOT / "demo"

try:
    import vantrell_tools  # noqa: F401  (installed with the extension)
except ImportError:
    # a leg that builds the extension alone (PYTHONPATH to the build folder)
    # finds the pure-Python package in the source tree
    sys.path.insert(0, str(ROOT / "src"))


def load_demo_module(name):
    spec = importlib.util.spec_from_file_location(f"vantrell_demo_{name}", DEMO / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module          # dataclasses look their module up
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="session")
def scenes():
    """The synthetic scenes of the demo and the benchmark (demo/scenes.py)."""
    return load_demo_module("scenes")


@pytest.fixture(scope="session")
def png_writer():
    """The demo's PNG writer (demo/png.py)."""
    return load_demo_module("png")
