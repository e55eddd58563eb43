"""The package installed by cmake --install works from its prefix alone."""

import os
import shutil
import subprocess
import sys

import pytest

import capi


def test_installed_package_runs_from_its_prefix(tmp_path):
    if shutil.which("cmake") is None or not (capi.BUILD / "cmake_install.cmake").exists():
        pytest.skip("no cmake or no build tree to install")
    subprocess.run(["cmake", "--install", str(capi.BUILD), "--prefix", str(tmp_path)],
                   check=True, capture_output=True)
    sites = sorted(tmp_path.glob("lib/python3.*/*-packages"))
    assert [p.name for p in sites] in (["dist-packages"], ["site-packages"])
    package = sites[0] / "kip_models"
    code = (
        "import numpy as np, kip_models\n"
        f"assert kip_models.__file__ == {str(package / '__init__.py')!r}\n"
        "from kip_models import FirModel, FftModel\n"
        "print(FirModel(coeff=[1, 2]).run(np.arange(3)).tolist())\n"
        "print(FftModel(C_NFFT_MAX=4, C_ARCH=2).transform(np.zeros(16)).xk.shape)\n"
    )
    # Only the installed copy is on the path, and no library path is set.
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_LIBRARY_PATH")}
    env["PYTHONPATH"] = str(sites[0])
    run = subprocess.run([sys.executable, "-c", code], env=env, cwd=tmp_path,
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split("\n")[:2] == ["[0.0, 1.0, 4.0]", "(16,)"]
