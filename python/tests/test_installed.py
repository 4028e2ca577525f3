"""The module installed with the package imports from the prefix and uses the prefix's model library."""

import os
import subprocess
import sys
import textwrap

import pytest

CMAKE = os.environ.get("KVR_CMAKE")
BINARY_DIR = os.environ.get("KVR_BINARY_DIR")
SITE = os.environ.get("KVR_PYTHON_INSTALL_DIR")


@pytest.mark.skipif(not (CMAKE and BINARY_DIR and SITE), reason="run by ctest, which knows the build tree")
def test_the_installed_module_runs_against_the_installed_library(tmp_path):
    subprocess.run([CMAKE, "--install", BINARY_DIR, "--prefix", str(tmp_path)], check=True, capture_output=True,
                   timeout=300)
    script = textwrap.dedent("""
        import kvrworldmodel as kvr
        body = kvr.KVRBasicBody3D("B")
        assert body.getEntityName() == "B"
        libraries = {line.split()[-1] for line in open("/proc/self/maps") if "libKVRWorldModel" in line}
        print(kvr.__file__)
        print(*sorted(libraries), sep="\\n")
        """)
    env = dict(os.environ, PYTHONPATH=str(tmp_path / SITE))
    done = subprocess.run([sys.executable, "-c", script], env=env, cwd=tmp_path, capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    paths = done.stdout.split()
    assert len(paths) == 2, paths
    assert all(os.path.realpath(p).startswith(os.path.realpath(tmp_path)) for p in paths), paths
