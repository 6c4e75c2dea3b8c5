"""Build the consumer extension modules against the installed kelvarn package.

``build_cpp(out_dir)`` compiles ``kv_consumer.cpp`` with the declaration
headers from ``kelvarn.get_include()``; ``build_cython(out_dir)`` translates
``kv_cyconsumer.pyx`` with the ``.pxd`` files installed next to the modules and
compiles the result. Both return the directory that holds the built module;
put it on ``sys.path`` to import it. ``cached_cpp()`` keeps one build per
source and header contents under ``build/consumers``.
"""

from __future__ import annotations

import hashlib
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import kelvarn

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
EXT = sysconfig.get_config_var("EXT_SUFFIX")
PY_INCLUDE = sysconfig.get_paths()["include"]
WARNINGS = ["-Wall", "-Wextra", "-Werror"]


def package_root() -> Path:
    """The directory that holds the installed ``kelvarn`` package."""
    return Path(kelvarn.__file__).resolve().parent.parent


def _run(cmd, cwd):
    proc = subprocess.run(cmd, cwd=cwd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"{' '.join(map(str, cmd))} failed:\n{proc.stdout}{proc.stderr}")


def _link_flags():
    return ["-shared", "-fPIC"]


def build_cpp(out_dir, *, source=HERE / "kv_consumer.cpp", name="kv_consumer", defines=(), optimize="-O2") -> Path:
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    cxx = os.environ.get("CXX", "c++")
    cmd = [cxx, "-std=c++20", optimize, *WARNINGS, *_link_flags(), "-isystem", PY_INCLUDE, "-I", kelvarn.get_include(),
           *(f"-D{d}" for d in defines), str(source), "-o", str(out_dir / (name + EXT))]
    _run(cmd, out_dir)
    return out_dir


def build_cython(out_dir, *, name="kv_cyconsumer") -> Path:
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    pyx = out_dir / f"{name}.pyx"
    shutil.copyfile(HERE / "kv_cyconsumer.pyx", pyx)
    # Only the installed package is on the include path, so the .pxd files
    # that Cython reads are the shipped ones.
    _run([sys.executable, "-m", "cython", "-3", "-I", str(package_root()), pyx.name, "-o", f"{name}.c"], out_dir)
    cc = os.environ.get("CC", "cc")
    # -O0: the generated code is large and only its calls matter here.
    _run([cc, "-O0", *_link_flags(), "-isystem", PY_INCLUDE, f"{name}.c", "-o", name + EXT], out_dir)
    return out_dir


def cached_cpp() -> Path:
    """A built C++ consumer under build/consumers, rebuilt when its inputs change."""
    digest = hashlib.sha256()
    inputs = [HERE / "kv_consumer.cpp", *sorted(Path(kelvarn.get_include()).glob("*.h"))]
    for path in inputs:
        digest.update(path.name.encode() + b"\0" + path.read_bytes())
    digest.update(sys.executable.encode() + EXT.encode())
    out_dir = ROOT / "build" / "consumers" / digest.hexdigest()[:16]
    if not (out_dir / ("kv_consumer" + EXT)).exists():
        tmp = out_dir.with_name(out_dir.name + f".tmp{os.getpid()}")
        build_cpp(tmp)
        shutil.rmtree(out_dir, ignore_errors=True)
        tmp.rename(out_dir)
    return out_dir


def import_cached_cpp():
    """The C++ consumer module, built on first use."""
    path = str(cached_cpp())
    if path not in sys.path:
        sys.path.insert(0, path)
    import kv_consumer

    return kv_consumer
