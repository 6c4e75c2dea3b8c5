// kelvarn.cookie_header: the cookie round trip from Python. Reads the Cookie
// header of a request into a dict, and writes the Set-Cookie value of a
// kelvarn.cookies.Cookie.
//
// The writer is kelvarn.cookies' own, reached through its C function table:
// the exec step binds the table with the checks of cookies.h, as any other
// native module built against the installed headers would.
#include "cookies.h"
#include "frame.hpp"

#include <cstdint>

namespace {

using kv::Arg;
using kv::Kind;
using kv::Ref;
using kv::T;

using CookieObject = __pyx_obj_7kelvarn_7cookies_Cookie;

// kelvarn.cookies.Cookie, bound by the exec step.
PyTypeObject* cookie_type = nullptr;

// ===========================================================================
// write_set_cookie

PyObject* write_body(PyObject*, Arg* a) {
    return KelvarnCookies.write_cookie_for_response(reinterpret_cast<CookieObject*>(a[0].o));
}

kv::FuncDef fd_write("write_set_cookie", Kind::Function, write_body,
                     {{"cookie", T::ExtOnly, kv::D::Required, 0, &cookie_type}});

// ===========================================================================
// parse_cookie_header
//
// The header is cut at every ";"; each pair at its first "=" (a pair without
// one is a nameless cookie: the whole pair is its value). Spaces and tabs
// around the name and the value are dropped, then one pair of double quotes
// around the value. A pair that leaves both empty is skipped; of two pairs
// with the same name, the first is kept. Names and values are percent-decoded
// to bytes, which are then read as UTF-8 with U+FFFD for what is not.

inline bool blank(char c) { return c == ' ' || c == '\t'; }

// What reading a name or value as text takes: the text is plain ASCII,
// holds percent escapes, or holds bytes outside ASCII.
enum Shape : unsigned { plain = 0, has_percent = 1, has_high = 2 };

inline uint64_t load8(const char* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;

// Eight bytes at a time: the high bits, and a zero byte where w had "%".
inline unsigned shape(const char* p, Py_ssize_t n) {
    uint64_t high = 0, percent = 0;
    Py_ssize_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w = load8(p + i);
        uint64_t x = w ^ (ones * '%');
        high |= w;
        percent |= (x - ones) & ~x;
    }
    unsigned s = (high & highs) ? has_high : plain;
    if (percent & highs) s |= has_percent;
    for (; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        if (c >= 0x80) s |= has_high;
        if (c == '%') s |= has_percent;
    }
    return s;
}

PyObject* text(const char* p, Py_ssize_t n) {
    unsigned s = shape(p, n);
    if (s == plain) {
        if (n == 0) return Py_NewRef(kv::empty_str);
        PyObject* t = PyUnicode_New(n, 127);
        if (t) std::memcpy(PyUnicode_1BYTE_DATA(t), p, size_t(n));
        return t;
    }
    if (!(s & has_percent)) return PyUnicode_DecodeUTF8(p, n, "replace");
    kv::Scratch buf(n);
    if (!buf.get()) return nullptr;
    return PyUnicode_DecodeUTF8(buf.get(), kv::percent_decode(p, n, buf.get()), "replace");
}

PyObject* parse_header(PyObject* header) {
    Ref cookies = Ref::steal(PyDict_New());
    if (!cookies || header == Py_None) return cookies.release();
    const char* p = PyBytes_AS_STRING(header);
    const char* end = p + PyBytes_GET_SIZE(header);
    for (;;) {
        auto semi = static_cast<const char*>(std::memchr(p, ';', size_t(end - p)));
        const char* stop = semi ? semi : end;
        auto eq = static_cast<const char*>(std::memchr(p, '=', size_t(stop - p)));
        const char *name = p, *name_end = eq ? eq : p, *value = eq ? eq + 1 : p, *value_end = stop;
        while (name < name_end && blank(*name)) name++;
        while (name_end > name && blank(name_end[-1])) name_end--;
        while (value < value_end && blank(*value)) value++;
        while (value_end > value && blank(value_end[-1])) value_end--;
        if (value_end - value >= 2 && *value == '"' && value_end[-1] == '"') {
            value++;
            value_end--;
        }
        if (name != name_end || value != value_end) {
            Ref n = Ref::steal(text(name, name_end - name));
            if (!n) return nullptr;
            int found = PyDict_Contains(cookies.get(), n.get());
            if (found < 0) return nullptr;
            if (!found) {
                Ref v = Ref::steal(text(value, value_end - value));
                if (!v || PyDict_SetItem(cookies.get(), n.get(), v.get()) < 0) return nullptr;
            }
        }
        if (!semi) return cookies.release();
        p = semi + 1;
    }
}

kv::FuncDef fd_parse("parse_cookie_header", Kind::Function,
                     [](PyObject*, Arg* a) { return parse_header(a[0].o); }, {{"value", T::Bytes}});

// ===========================================================================
// Module

int exec_module(PyObject*) {
    if (kelvarn_cookies_import() < 0) return -1;
    cookie_type = KelvarnCookies.CookieType;
    if (kv::add_function(fd_write) < 0) return -1;
    if (kv::add_function(fd_parse) < 0) return -1;
    return 0;
}

}  // namespace

const kv::ModuleInfo kv::module_info = {"cookie_header", "kelvarn.cookie_header", "kelvarn/cookie_header.cpp",
                                        exec_module};

KV_MODULE_INIT(cookie_header)
