"""Fail on compiler-, processor- or interpreter-specific constructs outside the
two headers that hold them (run by `make test`).

Every such construct goes through frame/portable.hpp (a GCC/Clang and an MSVC
branch each) and every private CPython name through frame/compat.hpp, so a
port to another compiler or another CPython version reads and changes one
file. Comments and string literals are not searched.

Usage: python tools/check_constructs.py [FILE ...]   (default: every C, C++
and Cython source of the tree)
"""

import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCES = ["frame", "modules", "src/kelvarn", "tests/consumers"]
SUFFIXES = {".c", ".cc", ".cpp", ".h", ".hpp", ".pxd", ".pyx"}

COMPILER = "compiler-specific: use a macro of frame/portable.hpp (add one there)"
PRIVATE = "private interpreter name: wrap it in frame/compat.hpp, saying why the public API does not serve"
MEMMEM = "not on Windows: use kv::find_bytes"
CONSTRUCTS = [
    (r"__attribute__|\[\[\s*(gnu|clang|msvc)\s*::|__declspec|__forceinline|__restrict__?\b|__typeof__|__extension__",
     COMPILER),
    (r"\b__builtin_\w+|\b__asm__\b|\b__asm\b|\basm\s*(\(|volatile\b|goto\b)|\b__int128\b", COMPILER),
    (r"\b(_MSC_VER|__GNUC__|__GNUC_MINOR__|__clang__|__clang_major__|__INTEL_COMPILER|__MINGW(32|64)__)\b", COMPILER),
    (r"\b(__SSE\w*__|__AVX\w*__|__ARM_NEON\w*|__aarch64__|__arm__|__x86_64__|__i386__|_M_(X64|AMD64|IX86|ARM64)\w*)\b",
     COMPILER),
    # The intrinsics themselves (_mm_*) are the same on every x86 compiler; their
    # header comes only through portable.hpp under KV_HAVE_SSE2, so a use outside
    # that guard fails the portable build, which CI makes too.
    (r"#\s*include\s*<\s*(\w*intrin\.h|arm_neon\.h|cpuid\.h)\s*>", COMPILER),
    (r"#\s*pragma\s+(GCC|clang|warning|intrinsic|optimize)\b", COMPILER),
    (r"\bmemmem\b", MEMMEM),
    (r"\b_Py[A-Za-z_]\w*|\bPy_BUILD_CORE\w*|\bpycore_\w+|#\s*include\s*[<\"]internal/", PRIVATE),
]

# Where a construct is the point of the file, with the reason.
ALLOWED = {
    "frame/portable.hpp": ({COMPILER}, "the one home of compiler-specific constructs"),
    "frame/compat.hpp": ({PRIVATE}, "the one home of private interpreter names"),
    "modules/kelvarn_capi.h": ({COMPILER}, "installed C header for consumers, who do not have frame/: its own "
                               "guarded __attribute__((unused)), empty for other compilers"),
}

LITERALS = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)
CYTHON_LITERALS = re.compile(r'#[^\n]*|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'')


def blank(match):
    return re.sub(r"[^\n]", " ", match.group(0))


def code_of(path, text):
    # Comments and literals become blanks, so line numbers stay; a #include's
    # "..." path is kept, as it names a header.
    pattern = CYTHON_LITERALS if path.suffix in {".pxd", ".pyx"} else LITERALS
    return pattern.sub(lambda m: m.group(0) if m.group(0).startswith('"internal/') else blank(m), text).split("\n")


def findings(path):
    path = path.resolve()
    rel = path.relative_to(ROOT).as_posix() if path.is_relative_to(ROOT) else str(path)
    allowed = ALLOWED.get(rel, (set(), ""))[0]
    for number, line in enumerate(code_of(path, path.read_text(encoding="utf-8")), 1):
        for pattern, kind in CONSTRUCTS:
            if kind in allowed:
                continue
            for match in re.finditer(pattern, line):
                yield f"{rel}:{number}: {match.group(0).strip()}: {kind}"


def main(argv):
    files = [pathlib.Path(a) for a in argv] or sorted(
        p for d in SOURCES for p in (ROOT / d).rglob("*") if p.suffix in SUFFIXES and p.is_file())
    problems = [f for path in files for f in findings(path)]
    for problem in problems:
        print(problem)
    if problems:
        print(f"check_constructs: {len(problems)} construct(s) outside frame/portable.hpp and frame/compat.hpp")
        return 1
    print(f"check_constructs: {len(files)} sources, no compiler-specific construct or private interpreter name "
          f"outside {', '.join(ALLOWED)}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
