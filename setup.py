"""Builds the extensions quarnel and quarnel_tools with the project's CMake build, for the
interpreter that runs this script, and ships the type stubs beside them. Metadata lives in
pyproject.toml."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent
MODULES = ("quarnel", "quarnel_tools")
# A stub-only package (`<module>-stubs`) is what mypy looks for in site-packages; the .pyi
# beside the .so is what other tools (pyright, IDEs) find.


def project_version():
    cmake_lists = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    return re.search(r"project\(quarnel VERSION ([0-9.]+)", cmake_lists).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        target = Path(self.get_ext_fullpath(ext.name)).resolve()
        target.parent.mkdir(parents=True, exist_ok=True)
        build_dir = Path(self.build_temp).resolve() / "cmake"
        self.run_cmake(build_dir, target.parent, ext.name)
        self.place_module(target, ext.name)
        stubs = ROOT / f"{ext.name}.pyi"
        for stub in self.stub_paths(target, ext.name):
            stub.parent.mkdir(parents=True, exist_ok=True)
            if not (stub.exists() and stub.samefile(stubs)):
                shutil.copyfile(stubs, stub)

    def run_cmake(self, build_dir, output_dir, target):
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release", "-DQUARNEL_TESTS=OFF", "-DQUARNEL_BENCH=OFF",
            f"-DPython_EXECUTABLE={sys.executable}", f"-DQUARNEL_MODULE_DIR={output_dir}",
        ]
        if shutil.which("ninja") and not (build_dir / "CMakeCache.txt").exists():
            configure += ["-G", "Ninja"]
        jobs = self.parallel or os.cpu_count() or 1
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", target,
                        "--parallel", str(jobs)], check=True)

    @staticmethod
    def place_module(target, name):
        # CMake names the file after the interpreter's SOABI; setuptools expects EXT_SUFFIX.
        if target.exists():
            return
        built = sorted(target.parent.glob(f"{name}.*.so"), key=lambda p: p.stat().st_mtime)
        if not built:
            raise RuntimeError(f"the CMake build left no {name} module in {target.parent}")
        built[-1].replace(target)

    def stub_paths(self, target, name):
        paths = [target.with_name(f"{name}.pyi")]
        if not self.inplace:
            paths.append(target.parent / f"{name}-stubs" / "__init__.pyi")
        return paths

    def get_outputs(self):
        outputs = super().get_outputs()
        extras = [str(p) for ext, o in zip(self.extensions, outputs)
                  for p in self.stub_paths(Path(o), ext.name)]
        return outputs + extras


setup(
    version=project_version(),
    ext_modules=[Extension(name, sources=[]) for name in MODULES],
    cmdclass={"build_ext": CMakeBuild},
)
