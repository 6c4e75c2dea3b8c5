"""The stubs against the runtime and the type checkers: stubtest, pyright's
--verifytypes, a strictly typed usage example, and the examples in the stub
docstrings run against the runtime."""

import ast
import datetime
import doctest
import importlib
import importlib.util
import json
import os
import pathlib
import subprocess
import sys

import pytest

TESTS = pathlib.Path(__file__).resolve().parent
STUBS = TESTS.parent / "src" / "kelvarn"
MODULES = ["kelvarn.headers", "kelvarn.cookies", "kelvarn.url", "kelvarn.cookie_header"]


if not all(importlib.util.find_spec(name) for name in MODULES):
    pytest.skip("built with a subset of the modules", allow_module_level=True)


def require(module):
    if importlib.util.find_spec(module) is None:
        pytest.skip(f"{module} is not installed (make test installs it with the other development packages)")


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    # Away from the source tree, so that the checkers see the installed package.
    return tmp_path_factory.mktemp("typing")


def run(workdir, *args, native=False):
    env = dict(os.environ, PATH=os.pathsep.join([os.path.dirname(sys.executable), os.environ.get("PATH", "")]),
               VIRTUAL_ENV=sys.prefix, PYRIGHT_PYTHON_IGNORE_WARNINGS="1")
    if not native:
        env.pop("LD_PRELOAD", None)  # the checkers load no native code of ours
    proc = subprocess.run([sys.executable, "-m", *map(str, args)], cwd=workdir, env=env, capture_output=True,
                          text=True, timeout=600)
    return proc.returncode, proc.stdout + proc.stderr


def test_stubtest(workdir):
    require("mypy")
    code, out = run(workdir, "mypy.stubtest", "--allowlist", TESTS / "stubtest_allowlist.txt", *MODULES, native=True)
    assert code == 0, out


def test_pyright_verifytypes(workdir):
    require("pyright")
    _, out = run(workdir, "pyright", "--verifytypes", "kelvarn", "--ignoreexternal", "--outputjson")
    report = json.loads(out)["typeCompleteness"]
    problems = [(s["name"], d["message"]) for s in report["symbols"] for d in s["diagnostics"]]
    assert report["pyTypedPath"] and report["completenessScore"] == 1 and not problems, problems
    assert (report["missingFunctionDocStringCount"], report["missingClassDocStringCount"],
            report["missingDefaultParamCount"]) == (0, 0, 0)


@pytest.mark.parametrize("checker, args", [
    # the stubs themselves are checked too; the usage example then resolves kelvarn to them
    ("mypy", ["--strict", "--cache-dir", "mypy-cache", *sorted(STUBS.glob("*.pyi"))]),
    ("pyright", []),
])
def test_typed_usage_passes_strict(workdir, checker, args):
    require(checker)
    code, out = run(workdir, checker, *args, TESTS / "typed_usage.py")
    assert code == 0 and (checker == "mypy" or "0 errors" in out), out


def test_typed_usage_runs():
    proc = subprocess.run([sys.executable, TESTS / "typed_usage.py"], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0 and proc.stdout == "ok\n", proc.stdout + proc.stderr


@pytest.mark.parametrize("name", MODULES)
def test_stub_docstring_examples_hold(name):
    module = importlib.import_module(name)
    stub = STUBS / (name.rpartition(".")[2] + ".pyi")
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    parser, runner = doctest.DocTestParser(), doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    examples = 0
    for node in ast.walk(tree):
        if isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef)) and (doc := ast.get_docstring(node)):
            globs = dict(vars(module), datetime=datetime)
            test = parser.get_doctest(doc, globs, f"{name}.{getattr(node, 'name', '')}", str(stub), 0)
            examples += len(test.examples)
            runner.run(test)
    assert runner.summarize(verbose=False).failed == 0
    assert examples > 0
