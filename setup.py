"""The wheel's build step: the extension `_tavrin` and `tavrin-bluez-sim` come from the project's own CMake (Release,
no tests, benchmarks nor examples), into the setuptools build folder; the package carries the simulator and the
default world the test fixtures use, and a _paths.py that finds them there."""
import os
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


def project_version():
    """The version of the CMake project, the one place it is written."""
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        found = re.search(r"^project\(\s*tavrin\s+VERSION\s+([0-9][0-9.]*)", f.read(), re.MULTILINE)
    if not found:
        raise RuntimeError("CMakeLists.txt: no project(tavrin VERSION ...)")
    return found.group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        cmake_dir = os.path.join(os.path.abspath(self.build_temp), "cmake")
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.run(["cmake", "-S", ROOT, "-B", cmake_dir, "-DCMAKE_BUILD_TYPE=Release",
                        "-DBUILD_SHARED_LIBS=OFF", "-DTAVRIN_BUILD_TESTS=OFF", "-DTAVRIN_BUILD_BENCHMARKS=OFF",
                        "-DTAVRIN_BUILD_EXAMPLES=OFF", "-DTAVRIN_BUILD_PYTHON=ON",
                        "-DPython3_EXECUTABLE=" + sys.executable], check=True)
        # The paths file says whether the simulator is built (sdbus-c++ found) or not.
        with open(os.path.join(cmake_dir, "python", "wheel_paths.py"), encoding="utf-8") as f:
            paths = f.read()
        with_sim = re.search(r"^BLUEZ_SIM\b.*= None$", paths, re.MULTILINE) is None
        targets = ["_tavrin"] + (["tavrin-bluez-sim"] if with_sim else [])
        subprocess.run(["cmake", "--build", cmake_dir, "--parallel", jobs, "--target"] + targets, check=True)

        built = [n for n in os.listdir(os.path.join(cmake_dir, "python", "tavrin"))
                 if n.startswith("_tavrin.") and n.endswith(".so")]
        if len(built) != 1:
            raise RuntimeError("expected one _tavrin module in the CMake build, found %s" % built)
        target = self.get_ext_fullpath(ext.name)
        package = os.path.dirname(target)
        os.makedirs(package, exist_ok=True)
        shutil.copyfile(os.path.join(cmake_dir, "python", "tavrin", built[0]), target)
        with open(os.path.join(package, "_paths.py"), "w", encoding="utf-8") as f:
            f.write(paths)
        os.makedirs(os.path.join(package, "worlds"), exist_ok=True)
        shutil.copyfile(os.path.join(ROOT, "platform", "worlds", "default.json"),
                        os.path.join(package, "worlds", "default.json"))
        if with_sim:
            os.makedirs(os.path.join(package, "_bin"), exist_ok=True)
            shutil.copy2(os.path.join(cmake_dir, "bluez-sim", "tavrin-bluez-sim"),
                         os.path.join(package, "_bin", "tavrin-bluez-sim"))


# The package's files live in python/tavrin; the rest of the project's metadata is in pyproject.toml.
setup(version=project_version(),
      packages=["tavrin"],
      package_dir={"tavrin": "python/tavrin"},
      package_data={"tavrin": ["*.pyi", "py.typed"]},
      # Beside the project's own build folder, not among its files.
      options={"build": {"build_base": os.path.join("build", "wheel")}},
      ext_modules=[Extension("tavrin._tavrin", sources=[])],
      cmdclass={"build_ext": CMakeBuild})
