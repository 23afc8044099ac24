"""The shipped stubs as users' type checkers see them: mypy and pyright find
them for the installed module, accept a typed user script, flag each wrong call
of another, and stubtest finds them faithful to the running module."""
import importlib.util
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).parent
ALLOWLIST = HERE.parent / "tools" / "stubtest-allowlist.txt"

pytestmark = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None or importlib.util.find_spec("pyright") is None,
    reason="the type checkers are not installed (requirements-typing.txt)")

# pyright's wrapper would ask npm for a newer version: never.
PYRIGHT_ENV = dict(os.environ, PYRIGHT_PYTHON_IGNORE_WARNINGS="1")


@pytest.fixture
def user_dir(tmp_path):
    """The user scripts in a directory of their own, away from the sources."""
    for name in ("good.py", "bad.py"):
        shutil.copy(HERE / "typing" / name, tmp_path / name)
    return tmp_path


def mypy_errors(directory, script):
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--no-error-summary",
         "--python-executable", sys.executable, script],
        cwd=directory, capture_output=True, text=True, timeout=600)
    assert done.returncode in (0, 1), done.stdout + done.stderr
    return {int(m.group(1)) for m in re.finditer(rf"^{script}:(\d+): error:", done.stdout, re.M)}, done.stdout


def pyright_errors(directory, script):
    done = subprocess.run(
        [sys.executable, "-m", "pyright", "--outputjson", "--pythonpath", sys.executable, script],
        cwd=directory, capture_output=True, text=True, timeout=600, env=PYRIGHT_ENV)
    report = json.loads(done.stdout)
    errors = [d for d in report["generalDiagnostics"] if d["severity"] == "error"]
    return {d["range"]["start"]["line"] + 1 for d in errors}, json.dumps(errors, indent=1)


CHECKERS = [pytest.param(mypy_errors, id="mypy"), pytest.param(pyright_errors, id="pyright")]


@pytest.mark.parametrize("errors_of", CHECKERS)
def test_a_typed_user_script_passes(user_dir, errors_of):
    lines, text = errors_of(user_dir, "good.py")
    assert lines == set(), text


@pytest.mark.parametrize("errors_of", CHECKERS)
def test_each_wrong_call_is_flagged_and_nothing_else(user_dir, errors_of):
    source = (user_dir / "bad.py").read_text().splitlines()
    flagged = {n for n, line in enumerate(source, 1) if "# flagged" in line}
    assert len(flagged) >= 10
    lines, text = errors_of(user_dir, "bad.py")
    assert lines == flagged, text


def test_stubtest_finds_the_stubs_faithful(tmp_path):
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--allowlist", str(ALLOWLIST), "vantrell"],
        cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr

