/* pyconfig.h of CPython 3.13 on 64-bit Windows, as far as an extension module
 * compiled against the interpreter's headers sees it: `make check-windows`
 * compiles the modules with the ordinary Include/ tree and this file in place
 * of the generated pyconfig.h of the build machine. Windows builds of CPython
 * ship a hand-written pyconfig.h; what follows restates its facts. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#include <io.h>
#include <stdio.h>
#include <stdint.h>
#include <limits.h>
#if defined(_MSC_VER)
#include <basetsd.h>
#endif

/* Platform: MS_WIN32 and MS_WINDOWS always, MS_WIN64 for 64-bit builds. */
#define MS_WIN32
#define MS_WINDOWS
#if defined(_WIN64)
#define MS_WIN64
#else
#error "kelvarn's Windows check is for 64-bit Windows"
#endif
/* Threads are Windows' own: pythread.h takes its TSS key type from here. */
#define NT_THREADS
#define WITH_THREAD
#define PLATFORM "win32"
#define PYD_PLATFORM_TAG "win_amd64"

/* The interpreter core is a DLL (python313.dll): PyAPI_FUNC and PyAPI_DATA
 * become __declspec(dllimport) in an extension module. */
#if !defined(Py_NO_ENABLE_SHARED)
#define Py_ENABLE_SHARED 1
#endif
#define HAVE_DECLSPEC_DLL

/* LLP64: int and long are 32 bits, long long, pointers and size_t 64. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_DOUBLE 8
#define SIZEOF_FLOAT 4
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_WCHAR_T 2
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4
#define ALIGNOF_MAX_ALIGN_T 8
#define LONG_BIT 32
#define WORD_BIT 32

/* Py_ssize_t is a signed 64-bit integer. */
typedef long long Py_ssize_t;
#define PY_SSIZE_T_MAX LLONG_MAX
#define HAVE_PY_SSIZE_T 1
#define PY_LONG_LONG long long
#define PY_LLONG_MIN LLONG_MIN
#define PY_LLONG_MAX LLONG_MAX
#define PY_ULLONG_MAX ULLONG_MAX
#define PY_INT32_T int32_t
#define PY_UINT32_T uint32_t
#define PY_INT64_T int64_t
#define PY_UINT64_T uint64_t

/* The default build: with the GIL; Py_DEBUG with a debug C runtime. */
#if defined(_DEBUG)
#define Py_DEBUG
#endif

#endif /* Py_CONFIG_H */
