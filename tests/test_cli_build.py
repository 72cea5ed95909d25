"""What the build gives a user: a one-line hint without a compiler, no private test module by default."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

pytestmark = [
    pytest.mark.skipif(shutil.which("cmake") is None, reason="needs cmake on PATH"),
    pytest.mark.skipif(os.environ.get("SIMSIEVE_TEST_PROFILE") == "sanitize", reason="configure-only checks"),
]


def configure(build_dir, **env):
    return subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build_dir)], capture_output=True, text=True,
                          env={**os.environ, **env}, timeout=300)


def test_missing_compiler_gets_a_one_line_hint(tmp_path):
    done = configure(tmp_path / "b", CXX=str(tmp_path / "no-such-g++"))
    assert done.returncode != 0
    hint = [line for line in done.stderr.splitlines() if "simsieve needs a C++20 compiler" in line]
    assert len(hint) == 1 and "g++ 10 or newer" in hint[0] and "clang++ 12 or newer" in hint[0], done.stderr


def test_the_test_module_is_not_built_by_default(tmp_path):
    done = configure(tmp_path / "b")
    assert done.returncode == 0, done.stderr
    targets = subprocess.run(["cmake", "--build", str(tmp_path / "b"), "--target", "help"], capture_output=True,
                             text=True, timeout=300).stdout
    assert "_simsieve" in targets and "_testing" not in targets
