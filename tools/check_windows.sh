#!/usr/bin/env bash
# Cross-compiles every module for 64-bit Windows with mingw-w64 and links each
# into a .pyd against an import library of python313.dll (`make check-windows`).
#
# Compiles against the CPython 3.13 headers of PYTHON (their Include/ tree is
# the same on every platform) with tools/windows/pyconfig.h in place of the
# build machine's pyconfig.h, with warnings as errors. The import library is
# made with dlltool from the Py* symbols the objects use; every other symbol
# must come from the C runtime and the Windows system libraries, so a function
# that Windows lacks fails the link.
#
# Usage: tools/check_windows.sh PYTHON OUT_DIR MODULE...
set -euo pipefail
python=$1 out=$2
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
triple=x86_64-w64-mingw32
cxx=$triple-g++

include=$("$python" -c 'import sysconfig; print(sysconfig.get_path("include"))')
version=$("$python" -c 'import sys; print("%d%d" % sys.version_info[:2])')
[ "$version" = 313 ] || { echo "check-windows needs the headers of CPython 3.13, $python is $version"; exit 1; }
[ -f "$include/Python.h" ] || { echo "check-windows needs the C headers of $python (on Debian: apt-get install python3.13-dev)"; exit 1; }
rm -rf "$out" && mkdir -p "$out/include" "$out/obj"
# Python.h includes "pyconfig.h" from its own directory first, so the headers
# are copied with the Windows pyconfig.h in place of the local one.
cp -R "$include/." "$out/include/"
cp "$root/tools/windows/pyconfig.h" "$out/include/pyconfig.h"

# The flags of the GCC branch of CMakeLists.txt, with warnings as errors, and
# -Wconversion: an implicit conversion that can lose value, such as a 64-bit
# Py_ssize_t or long long into Windows' 32-bit long, fails the check.
flags=(-std=c++20 -O2 -Wall -Wextra -Wconversion -Wno-sign-conversion -Werror -fno-exceptions -fno-rtti -fvisibility=hidden
       -I"$out/include" -I"$root/frame" -I"$root/modules")
echo "check-windows: compiling ${*} for $triple ($($cxx -dumpversion)), warnings as errors"
for module in "$@"; do
  mkdir -p "$out/obj/$module"
  # A module's sources, as CMakeLists.txt takes them: <name>.cpp and <name>_*.cpp.
  for source in "$root/modules/$module.cpp" $(compgen -G "$root/modules/${module}_*.cpp" || true) "$root"/frame/*.cpp; do
    "$cxx" "${flags[@]}" -DKV_MODULE="$module" -c "$source" -o "$out/obj/$module/$(basename "$source" .cpp).o"
  done
done

# python313.def: the C API symbols the objects import (__imp_Py* references).
{
  echo "LIBRARY python313.dll"
  echo "EXPORTS"
  $triple-nm -u "$out"/obj/*/*.o | awk '{print $NF}' | sed -n 's/^__imp_\(_\{0,1\}Py[A-Za-z0-9_]*\)$/\1/p' | sort -u
} > "$out/python313.def"
$triple-dlltool -d "$out/python313.def" -l "$out/libpython313.dll.a" -D python313.dll
echo "check-windows: import library for python313.dll with $(($(wc -l < "$out/python313.def") - 2)) C API symbols"

status=0
for module in "$@"; do
  pyd="$out/$module.cp$version-win_amd64.pyd"
  "$cxx" -shared -static-libgcc -static-libstdc++ -o "$pyd" "$out/obj/$module"/*.o -L"$out" -lpython313
  dlls=$($triple-objdump -p "$pyd" | sed -n 's/^\s*DLL Name: //p' | sort -u | tr '\n' ' ')
  exports=$($triple-objdump -p "$pyd" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p' | tr '\n' ' ')
  echo "  $(basename "$pyd"): $(stat -c %s "$pyd") bytes; imports ${dlls% }; exports ${exports% }"
  if [ "${exports% }" != "PyInit_$module" ]; then
    echo "  $module.pyd must export PyInit_$module alone"
    status=1
  fi
  unexpected=$(echo "$dlls" | tr ' ' '\n' | grep -viE '^(python313|kernel32|msvcrt|api-ms-win-crt-[a-z0-9-]+|ucrtbase)\.dll$' || true)
  if [ -n "$unexpected" ]; then
    echo "  $module.pyd needs DLLs beyond python313.dll and the system's: $unexpected"
    status=1
  fi
done
[ $status = 0 ] && echo "check-windows: ok, $# modules compile and link for win_amd64"
exit $status
