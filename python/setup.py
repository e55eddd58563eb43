"""Packaging of kip_models for pip: CMake builds the extension modules _fir and _fft (with the
static cores of the two libraries they link) from the repository around this folder, and
setuptools installs them with the pure-Python package.

Environment: KIP_CMAKE_ARGS, extra arguments for the CMake configuration (split at spaces);
KIP_CMAKE_BUILD_DIR, an existing CMake build tree of the repository to build the modules in
instead of a private one (its modules must be built for this interpreter); KIP_SOURCE_DIR, the
repository when this folder was copied out of it. A private build takes a few minutes: it
compiles both libraries' cores. ccache is used
when it is on the PATH. Needs cmake, a C++17 compiler, pybind11-dev, python3-dev, libgmp-dev and
numpy, as the CMake build does.
"""

import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = pathlib.Path(__file__).resolve().parent
ROOT = pathlib.Path(os.environ.get("KIP_SOURCE_DIR", HERE.parent)).resolve()
MODULES = ("_fir", "_fft")


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(\s*kip_models\s+VERSION\s+([0-9.]+)", text).group(1)


class CMakeBuild(build_ext):
    """Builds both modules with one CMake run, then copies each where setuptools expects it."""

    def run(self):
        build = os.environ.get("KIP_CMAKE_BUILD_DIR")
        if build:
            self._tree = pathlib.Path(build).resolve()
        else:
            self._tree = pathlib.Path(self.build_temp).resolve() / "cmake"
            args = ["cmake", "-S", str(ROOT), "-B", str(self._tree),
                    "-DCMAKE_BUILD_TYPE=Release", f"-DPython3_EXECUTABLE={sys.executable}",
                    "-DKIP_BUILD_TESTS=OFF", "-DKIP_BUILD_BENCH=OFF", "-DKIP_BUILD_EXAMPLES=OFF",
                    "-DKIP_BUILD_OCTAVE=OFF", "-DKIP_BUILD_PYTHON=ON"]
            if shutil.which("ccache"):
                args += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache",
                         "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
            args += shlex.split(os.environ.get("KIP_CMAKE_ARGS", ""))
            subprocess.run(args, check=True)
        jobs = str(self.parallel or os.cpu_count() or 1)
        subprocess.run(["cmake", "--build", str(self._tree), "-j", jobs, "--target", *MODULES],
                       check=True)
        super().run()

    def build_extension(self, ext):
        name = ext.name.rsplit(".", 1)[1]
        built = sorted((self._tree / "python" / "kip_models").glob(f"{name}.*.so"))
        if not built:
            built = sorted((self._tree / "python" / "kip_models").glob(f"{name}*.so"))
        if not built:
            raise RuntimeError(f"CMake built no {name} module in {self._tree}")
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[-1], target)


setup(
    name="kip_models",
    version=project_version(),
    description="Bit-accurate FIR and FFT core models from Python",
    python_requires=">=3.9",
    install_requires=["numpy"],
    packages=["kip_models"],
    package_data={"kip_models": ["*.pyi", "py.typed"]},
    ext_modules=[Extension(f"kip_models.{m}", sources=[]) for m in MODULES],
    cmdclass={"build_ext": CMakeBuild},
    zip_safe=False,
)
