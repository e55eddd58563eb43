"""pip installs the package offline into a fresh virtual environment with Debian's build tools
(python3-venv, python3-pip, python3-setuptools, python3-wheel), as the README shows.

To stay quick the modules are built in the test's own build tree (KIP_CMAKE_BUILD_DIR), the
route setup.py offers for that; the copy of python/ keeps the source tree clean."""

import os
import shutil
import subprocess
import sys

import pytest

import capi
from conftest import REPO


def test_pip_installs_the_package_into_a_fresh_venv(tmp_path):
    for module in ("venv", "pip", "setuptools", "wheel"):
        if subprocess.run([sys.executable, "-c", f"import {module}"]).returncode:
            pytest.skip(f"{module} not importable (Debian packages python3-venv, python3-pip, "
                        f"python3-setuptools, python3-wheel)")
    if not (capi.BUILD / "CMakeCache.txt").exists():
        pytest.skip("no configured build tree")
    source = tmp_path / "python"
    shutil.copytree(REPO / "python", source,
                    ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__"))
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)],
                   check=True, capture_output=True)
    py = str(venv / "bin" / "python")
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_LIBRARY_PATH")}
    env.update(KIP_CMAKE_BUILD_DIR=str(capi.BUILD.resolve()), KIP_SOURCE_DIR=str(REPO),
               PIP_NO_INPUT="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
    run = subprocess.run([py, "-m", "pip", "install", "--no-build-isolation", "--no-index",
                          str(source)], env=env, capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
    code = (
        "import pathlib, sys, numpy as np, kip_models\n"
        "from kip_models import FirModel, FftModel\n"
        "pkg = pathlib.Path(kip_models.__file__).parent\n"
        "assert pkg.is_relative_to(sys.prefix), pkg\n"
        "assert (pkg / 'py.typed').exists() and (pkg / 'fir.pyi').exists()\n"
        "print(kip_models.__version__, kip_models.fft.__version__)\n"
        "print(FirModel(coeff=[1, 2]).run(np.arange(3)).tolist())\n"
        "print(FftModel(C_NFFT_MAX=4, C_ARCH=2).transform(np.zeros(16)).xk.shape)\n"
    )
    run = subprocess.run([py, "-c", code], env=env, cwd=tmp_path, capture_output=True,
                         text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == ["6.3.1 8.0", "[0.0, 1.0, 4.0]", "(16,)"]
    show = subprocess.run([py, "-m", "pip", "show", "kip_models"], env=env,
                          capture_output=True, text=True)
    assert "Version: 6.3.1" in show.stdout
