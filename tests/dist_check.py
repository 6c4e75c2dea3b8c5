"""Checks of a built distribution, run by `make wheel` (not by pytest).

Run with the interpreter of a fresh environment where the repaired wheel is
installed and no compiler is on PATH: ``python tests/dist_check.py DIST_DIR``.
It checks the installed package (imports, a smoke test of each module, the
files the wheel must carry) and the archives in DIST_DIR (what the sdist holds,
the manylinux tag, the timestamps set from SOURCE_DATE_EPOCH).
"""

import datetime
import importlib.metadata
import os
import pickle
import shutil
import sys
import tarfile
import zipfile
from pathlib import Path


def check_no_compiler():
    found = {cc: shutil.which(cc) for cc in ("cc", "c++", "gcc", "g++", "clang", "clang++")}
    assert not any(found.values()), f"a compiler is on PATH: {found}"


def check_smoke():
    import kelvarn
    from kelvarn.cookie_header import parse_cookie_header, write_set_cookie
    from kelvarn.cookies import Cookie, parse_cookie
    from kelvarn.headers import Headers
    from kelvarn.url import URL

    assert Path(kelvarn.__file__).is_relative_to(sys.prefix), kelvarn.__file__
    headers = Headers([(b"Content-Type", b"text/plain")])
    headers.add(b"Set-Cookie", b"a=1")
    assert headers.get_first(b"content-type") == b"text/plain"
    cookie = parse_cookie(b"sid=abc; Path=/; HttpOnly; Max-Age=60")
    assert (cookie.name, cookie.value, cookie.http_only, cookie.max_age) == ("sid", "abc", True, 60)
    url = URL(b"https://example.com:8443/a?x=1")
    assert (url.schema, url.host, url.port, url.path, url.query) == (b"https", b"example.com", 8443, b"/a", b"x=1")
    assert pickle.loads(pickle.dumps(cookie)) == cookie and type(cookie) is Cookie
    assert pickle.loads(pickle.dumps(url)) == url
    assert pickle.loads(pickle.dumps(headers)).values == headers.values
    assert parse_cookie_header(write_set_cookie(Cookie("sid", "a b"))) == {"sid": "a b"}
    include = Path(kelvarn.get_include())
    assert sorted(p.name for p in include.glob("*.h")) == ["cookies.h", "headers.h", "kelvarn_capi.h", "url.h"]


def check_installed_files():
    dist = importlib.metadata.distribution("kelvarn")
    assert dist.metadata["License-Expression"] == "MIT", dist.metadata["License-Expression"]
    assert dist.metadata.get_all("License-File") == ["LICENSE"]
    import kelvarn

    assert kelvarn.__version__ == dist.version, (kelvarn.__version__, dist.version)
    assert set(dist.metadata["Requires-Python"].split(",")) == {">=3.13", "<3.14"}, dist.metadata["Requires-Python"]
    assert "Typing :: Typed" in dist.metadata.get_all("Classifier")
    files = {str(f) for f in dist.files}
    expected = {"kelvarn/py.typed", "kelvarn/__init__.py", f"kelvarn-{dist.version}.dist-info/licenses/LICENSE"}
    for module in ("headers", "cookies", "url"):  # the modules with a C interface
        expected |= {f"kelvarn/{module}.pxd", f"kelvarn/include/{module}.h"}
    for module in ("headers", "cookies", "url", "cookie_header"):
        expected.add(f"kelvarn/{module}.pyi")
        assert any(f.startswith(f"kelvarn/{module}.cpython-") and f.endswith(".so") for f in files), module
    expected.add("kelvarn/include/kelvarn_capi.h")
    missing = expected - files
    assert not missing, f"the wheel lacks {sorted(missing)}"


def _epoch():
    raw = os.environ.get("SOURCE_DATE_EPOCH")
    return int(raw) if raw else None


def check_wheel(path):
    assert "manylinux" in path.name, f"not a manylinux wheel: {path.name}"
    epoch = _epoch()
    with zipfile.ZipFile(path) as wheel:
        stamps = {info.date_time for info in wheel.infolist()}
    if epoch is not None:
        # Zip stores local times at two-second resolution.
        expected = datetime.datetime.fromtimestamp(epoch - epoch % 2, datetime.UTC).timetuple()[:6]
        assert stamps == {expected}, f"wheel timestamps {stamps} are not SOURCE_DATE_EPOCH's {expected}"


def check_sdist(path):
    with tarfile.open(path) as sdist:
        members = sdist.getmembers()
    root = members[0].name.split("/")[0]
    names = {m.name.removeprefix(root + "/") for m in members}
    for needed in ("pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "PKG-INFO", "frame/module.cpp",
                   "modules/headers.cpp", "modules/cookie_header.cpp", "modules/kelvarn_capi.h", "src/kelvarn/__init__.py",
                   "src/kelvarn/py.typed"):
        assert needed in names, f"the sdist lacks {needed}"
    built = sorted(n for n in names if n.endswith((".so", ".o", ".pyc")) or n.split("/")[0] in
                   {"build", "dist", ".git", ".ci", "__pycache__"} or n.split("/")[0].startswith(".venv")
                   or n.startswith("bench/results"))
    assert not built, f"the sdist carries built or local files: {built[:10]}"
    epoch = _epoch()
    if epoch is not None:
        stamps = {m.mtime for m in members}
        assert stamps == {epoch}, f"sdist timestamps {stamps} are not SOURCE_DATE_EPOCH ({epoch})"


def main(dist_dir):
    dist = Path(dist_dir)
    wheels = sorted(dist.glob("*.whl"))
    sdists = sorted(dist.glob("*.tar.gz"))
    assert len(wheels) == 1 and len(sdists) == 1, (wheels, sdists)
    check_no_compiler()
    check_smoke()
    check_installed_files()
    check_wheel(wheels[0])
    check_sdist(sdists[0])
    print(f"ok: {wheels[0].name}, {sdists[0].name}")


if __name__ == "__main__":
    main(sys.argv[1])
