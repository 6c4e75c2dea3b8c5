// The codecs of kelvarn.cookies, internal to the module: cookie dates (the
// Expires text written and read) and percent-encoding (names and values
// written with `quote`, read with `unquote`). Each native stand-in sits in
// modules/cookies_codec.cpp beside the guard that keeps it (arm_quote,
// arm_unquote, arm_parsedate, arm_strftime), which the exec step calls.
#pragma once

#include "frame.hpp"

namespace kelvarn_cookies {

// Bound by the exec step of cookies.cpp.
extern PyTypeObject* datetime_type;  // datetime.datetime
extern bool native_datetime;         // it is the interpreter's own C type
extern PyObject* kwnames_tzinfo;     // ("tzinfo",)
extern PyObject* utc_zone;           // datetime.timezone.utc
extern PyTypeObject* timezone_type;  // datetime.timezone, the interpreter's fixed-offset zone
extern kv::Name n_encode;
extern kv::Name n_decode;

// Whole-text ASCII case-insensitive comparison with a lower-case literal
// known at compile time: the length first, then each byte, where a letter of `lit` also matches its upper-case form. Setting
// bit 0x20 maps an upper-case letter, and nothing else, onto the lower-case
// one, so it is applied only where `lit` has a letter.
template <size_t N>
inline bool is_word(const char* p, Py_ssize_t n, const char (&lit)[N]) {
    if (n != Py_ssize_t(N - 1)) return false;
    for (size_t i = 0; i + 1 < N; i++) {
        unsigned char fold = (lit[i] >= 'a' && lit[i] <= 'z') ? 0x20 : 0;
        if ((static_cast<unsigned char>(p[i]) | fold) != static_cast<unsigned char>(lit[i])) return false;
    }
    return true;
}

// The codecs' own set-up, after the datetime C API is imported: 0, or -1
// with an exception set.
int init_codecs();

// Cookie dates. datetime_to_cookie_format(value) and
// datetime_from_cookie_format(value), without their traceback entries.
PyObject* to_format_impl(PyObject* value);
PyObject* from_format_impl(PyObject* value);
// The naive datetime of the date text at p (n bytes).
PyObject* from_bytes(const char* p, Py_ssize_t n);

// Percent-encoding. quote(obj).encode(), and unquote(raw.decode()), with
// `quote` and `unquote` as the namespace holds them now.
PyObject* quote_encode(PyObject* obj);
PyObject* decode_unquote(const char* p, Py_ssize_t n);

inline constexpr char hex_upper[] = "0123456789ABCDEF";

// The n bytes at `p` with each byte that `keep` refuses written as a %XX
// escape (upper-case hex); `escapes` is how many bytes that is.
template <class Keep>
inline PyObject* percent_escaped(const unsigned char* p, Py_ssize_t n, Py_ssize_t escapes, Keep keep) {
    PyObject* out = PyBytes_FromStringAndSize(nullptr, n + 2 * escapes);
    if (!out) return nullptr;
    char* w = PyBytes_AS_STRING(out);
    for (Py_ssize_t i = 0; i < n; i++) {
        unsigned char c = p[i];
        if (keep(c)) {
            *w++ = char(c);
        } else {
            *w++ = '%';
            *w++ = hex_upper[c >> 4];
            *w++ = hex_upper[c & 15];
        }
    }
    return out;
}

// The guards of the stand-ins; arm_strftime may fail (-1, exception set).
void arm_quote();
void arm_unquote();
void arm_parsedate();
int arm_strftime();

}  // namespace kelvarn_cookies
