// Every compiler- and processor-specific construct of the project, with a
// branch for GCC and Clang and one for MSVC. The rest of the sources use
// only these macros; `make test` checks that nothing else spells them.
#pragma once

// Keep a function out of line: a cold or rarely taken path stays out of the
// loop that calls it, so the loop keeps its registers.
#if defined(_MSC_VER) && !defined(__clang__)
#define KV_NOINLINE __declspec(noinline)
#elif defined(__GNUC__) || defined(__clang__)
#define KV_NOINLINE __attribute__((noinline))
#else
#define KV_NOINLINE
#endif

// A function on the hot path of every lookup: optimise it for speed.
#if defined(__GNUC__) || defined(__clang__)
#define KV_HOT __attribute__((hot))
#else
#define KV_HOT
#endif

// Keep two values in registers across a loop instead of reloading them from
// the symbol table on each iteration. One statement for both: two separate
// ones let GCC schedule the loop differently, at a cost of instructions. A
// no-op where the compiler has no such constraint syntax; the result is the
// same, only slower.
#if defined(__GNUC__) || defined(__clang__)
#define KV_KEEP_IN_REGISTERS(a, b) __asm__("" : "+r"(a), "+r"(b))
#else
#define KV_KEEP_IN_REGISTERS(a, b) ((void)0)
#endif

// SSE2: every x86-64 processor has it, but MSVC never defines __SSE2__.
// KELVARN_PORTABLE turns the vector code off, so the word-at-a-time code
// that other processors run is built and tested here too.
#if !defined(KELVARN_PORTABLE) && (defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64))
#define KV_HAVE_SSE2 1
#include <emmintrin.h>
#else
#define KV_HAVE_SSE2 0
#endif

// Intrinsics that exist on x86-64 only (a 32-bit x86 build with SSE2 lacks
// _mm_cvtsi64_si128).
#if defined(__x86_64__) || defined(_M_X64) || defined(_M_AMD64)
#define KV_X86_64 1
#else
#define KV_X86_64 0
#endif
