"""Installs this checkout with pip into a fresh virtual environment, offline,
as the README says, then runs against the installed package (not the build
tree): the README's Python quick start, the pytest suite, and a type check of
a user's script with the package's stubs.

    check_pip_install.py SOURCE_DIR WORK_DIR"""

import os
import re
import shutil
import subprocess
import sys
import venv
from pathlib import Path


def run(*args, **kwargs):
    print("+", " ".join(map(str, args)), flush=True)
    subprocess.run(list(map(str, args)), check=True, **kwargs)


def main(source: Path, work: Path) -> None:
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    venv.create(work / "venv", system_site_packages=True, with_pip=True)
    python = work / "venv" / "bin" / "python"
    # Nothing of the build tree may leak in.
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "KVR_"))}
    run(python, "-m", "pip", "install", "--no-build-isolation", "--no-index", "--quiet", source, env=env, cwd=work)

    # The quick start, as the README shows it, in a folder of its own.
    readme = (source / "README.md").read_text()
    quick = re.search(r"## Python quick start.*?```python\n(.*?)```", readme, re.S)
    assert quick, "the README has no Python quick start"
    (work / "quickstart.py").write_text(quick.group(1))
    run(python, "quickstart.py", env=env, cwd=work)

    found = subprocess.run([python, "-c", "import kvrworldmodel; print(kvrworldmodel.__file__)"], env=env,
                           cwd=work, capture_output=True, text=True, check=True).stdout.strip()
    assert Path(found).is_relative_to(work / "venv"), found
    run(python, "-m", "pytest", "-q", "-p", "no:cacheprovider", source / "python" / "tests", env=env, cwd=work)

    # An editor's view: a wrong call is caught before it runs, a right one is not.
    (work / "typed.py").write_text("import kvrworldmodel as kvr\n"
                                   "body = kvr.KVRBasicBody3D('Part')\n"
                                   "body.setEntityName('Part 2')\n"
                                   "body.setEntityName(3)\n")
    typed = subprocess.run([python, "-m", "mypy", "--no-incremental", "typed.py"], env=env, cwd=work,
                           capture_output=True, text=True)
    print(typed.stdout)
    assert typed.returncode == 1 and "typed.py:4" in typed.stdout and "typed.py:3" not in typed.stdout


if __name__ == "__main__":
    main(Path(sys.argv[1]).resolve(), Path(sys.argv[2]).resolve())
