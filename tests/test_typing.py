"""The package's type stubs describe the whole public API: mypy --strict accepts real usage and
rejects misuse."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import simsieve

pytest.importorskip("mypy")
HERE = Path(__file__).resolve().parent


def run_mypy(path):
    env = dict(os.environ)
    package_root = Path(simsieve.__file__).resolve().parent.parent
    if package_root.name != "site-packages":  # an uninstalled build: show mypy where it is
        env["MYPYPATH"] = str(package_root)
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
                           str(path)], capture_output=True, text=True, env=env, timeout=300)


def test_stubs_accept_the_whole_api():
    done = run_mypy(HERE / "typing" / "uses_every_api.py")
    assert done.returncode == 0, done.stdout + done.stderr


def test_stubs_reject_misuse(tmp_path):
    bad = tmp_path / "misuse.py"
    bad.write_text("import simsieve\n"
                   "x: str = simsieve.ratio('a', 'b')\n"
                   "simsieve.cluster_canonicals(['a'], 'high')\n"
                   "simsieve.Rationer().ratio_many(['a'])\n")
    done = run_mypy(bad)
    assert done.returncode == 1
    assert done.stdout.count("error:") == 3, done.stdout
