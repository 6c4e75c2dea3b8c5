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
using kv::Ref;
using kv::ParamType;

using CookieObject = __pyx_obj_7kelvarn_7cookies_Cookie;

// kelvarn.cookies.Cookie, bound by the exec step.
PyTypeObject* cookie_type = nullptr;

// ===========================================================================
// write_set_cookie

PyObject* write_body(PyObject*, Arg* a) {
    return KelvarnCookies.write_cookie_for_response(reinterpret_cast<CookieObject*>(a[0].o));
}

kv::FuncDef fd_write("write_set_cookie", write_body,
                     {{"cookie", ParamType::ExtOnly, kv::Default::Required, 0, &cookie_type}});

// ===========================================================================
// parse_cookie_header
//
// The header is cut at every ";"; each pair at its first "=" (a pair without
// one is a nameless cookie: the whole pair is its value). Spaces and tabs
// around the name and the value are dropped, then one pair of double quotes
// around the value. A pair that leaves both empty is skipped; of two pairs
// with the same name, the first is kept. Names and values are percent-decoded
// to bytes, which are then read as UTF-8 with U+FFFD for what is not.

// Drop the spaces and tabs at both ends of [begin, end). Bytes above the
// space are neither, which settles most of them with one comparison.
inline void trim(const char*& begin, const char*& end) {
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' ' && (c == ' ' || c == '\t'); };
    while (begin < end && blank(*begin)) begin++;
    while (end > begin && blank(end[-1])) end--;
}

// What reading a name or value as text takes: the text is plain ASCII,
// holds percent escapes, or holds bytes outside ASCII.
enum Shape : unsigned { plain = 0, has_percent = 1, has_high = 2 };

template <class W>
inline W load(const char* p) {
    W w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;

// Sixteen bytes at a time where there are that many (eight without SSE2),
// the last block overlapping the others: the high bits, and the bytes that
// are "%" (a zero byte of w ^ "%%%%%%%%"). Fewer than eight bytes are
// gathered into one word, the bytes not filled staying zero (neither high
// nor "%").
inline unsigned shape(const char* p, Py_ssize_t n) {
#if KV_HAVE_SSE2
    if (n >= 16) {
        const __m128i percent = _mm_set1_epi8('%');
        auto block = [p](Py_ssize_t i) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)); };
        __m128i high = _mm_setzero_si128(), found = _mm_setzero_si128();
        for (Py_ssize_t i = 0;; i += 16) {
            __m128i v = block(i + 16 < n ? i : n - 16);
            high = _mm_or_si128(high, v);
            found = _mm_or_si128(found, _mm_cmpeq_epi8(v, percent));
            if (i + 16 >= n) break;
        }
        return (_mm_movemask_epi8(high) ? has_high : plain) | (_mm_movemask_epi8(found) ? has_percent : plain);
    }
#endif
    uint64_t high = 0, percent = 0;
    auto add = [&](uint64_t w) {
        uint64_t x = w ^ (ones * '%');
        high |= w;
        percent |= (x - ones) & ~x;
    };
    if (n >= 8) {
        for (Py_ssize_t i = 0; i + 8 < n; i += 8) add(load<uint64_t>(p + i));
        add(load<uint64_t>(p + n - 8));
    } else if (n >= 4) {
        add(load<uint32_t>(p) | uint64_t(load<uint32_t>(p + n - 4)) << 32);
    } else if (n > 0) {
        auto b = [p](Py_ssize_t i) { return uint64_t(static_cast<unsigned char>(p[i])); };
        add(b(0) | b(n / 2) << 8 | b(n - 1) << 16);
    }
    return ((high & highs) ? has_high : plain) | ((percent & highs) ? has_percent : plain);
}

PyObject* ascii_text(const char* p, Py_ssize_t n) {
    if (n == 0) return Py_NewRef(kv::empty_str);
    PyObject* t = PyUnicode_New(n, 127);
    if (t) std::memcpy(PyUnicode_1BYTE_DATA(t), p, size_t(n));
    return t;
}

// A name or value with escapes or bytes outside ASCII: percent-decoded, the
// bytes then read as UTF-8. Text whose characters all lie below U+0100 (the
// two-byte sequences led by C2 and C3: Western European letters) is decoded
// here in the same pass; anything else goes to the interpreter's decoder,
// which puts U+FFFD for invalid sequences.
KV_NOINLINE PyObject* escaped_text(const char* p, Py_ssize_t n) {
    kv::Scratch buf(n);
    if (!buf.get()) return nullptr;
    auto u = reinterpret_cast<const unsigned char*>(p), end = u + n;
    // The next byte, a percent escape decoded.
    auto next = [&u, end]() {
        unsigned c = *u++;
        if (c == '%' && end - u >= 2) {
            int b = kv::hex_pair(reinterpret_cast<const char*>(u));
            if (b >= 0) {
                u += 2;
                return unsigned(b);
            }
        }
        return c;
    };
    auto w = reinterpret_cast<Py_UCS1*>(buf.get());
    unsigned high = 0;
    while (u < end) {
        unsigned c = next();
        if (c >= 0x80) [[unlikely]] {
            unsigned d;
            if ((c & 0xfe) != 0xc2 || u == end || ((d = next()) & 0xc0) != 0x80)
                return PyUnicode_DecodeUTF8(buf.get(), kv::percent_decode(p, n, buf.get()), "replace");
            c = (c & 0x03) << 6 | (d & 0x3f);
            high = c;
        }
        *w++ = Py_UCS1(c);
    }
    Py_ssize_t m = w - reinterpret_cast<Py_UCS1*>(buf.get());
    PyObject* t = PyUnicode_New(m, high ? 255 : 127);
    if (t) std::memcpy(PyUnicode_1BYTE_DATA(t), buf.get(), size_t(m));
    return t;
}

inline PyObject* decoded_text(const char* p, Py_ssize_t n, unsigned s) {
    return s == plain ? ascii_text(p, n) : escaped_text(p, n);
}

// Cookie names repeat from one request to the next: plain names read
// recently are kept, hashed, and given out again for the same bytes, which
// saves building, hashing and freeing them. Each name has two slots it may
// take; a new name takes a free one or replaces the first one's name, so
// the cache stays this size whatever the headers hold.
constexpr Py_ssize_t cached_length = 32;
constexpr int cache_bits = 8;
PyObject* name_cache[1 << cache_bits];

// The first and the last eight of 1 to 32 bytes, overlapping where there
// are fewer than 16; 1 to 7 bytes are gathered into x, y staying zero. Up
// to 16 bytes, they are the bytes themselves.
struct Ends {
    uint64_t x, y;
    bool operator==(const Ends&) const = default;
};

inline Ends ends(const char* p, Py_ssize_t n) {
    if (n >= 8) return {load<uint64_t>(p), load<uint64_t>(p + n - 8)};
    if (n >= 4) return {load<uint32_t>(p) | uint64_t(load<uint32_t>(p + n - 4)) << 32, 0};
    auto c = [p](Py_ssize_t i) { return uint64_t(static_cast<unsigned char>(p[i])); };
    return {c(0) | c(n / 2) << 8 | c(n - 1) << 16, 0};
}

inline bool holds(PyObject* cached, const char* p, Py_ssize_t n, Ends e) {
    if (!cached || PyUnicode_GET_LENGTH(cached) != n) return false;
    auto q = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(cached));
    return n <= 16 ? ends(q, n) == e : std::memcmp(q, p, size_t(n)) == 0;
}

PyObject* name_text(const char* p, Py_ssize_t n) {
    unsigned s = shape(p, n);
    if (s != plain || n == 0 || n > cached_length) return decoded_text(p, n, s);
    // Two slots from the ends and the length.
    Ends e = ends(p, n);
    uint64_t h = ((e.x * 0x9e3779b97f4a7c15ull) ^ e.y ^ uint64_t(n)) * 0xc2b2ae3d27d4eb4full;
    PyObject*& a = name_cache[h >> (64 - cache_bits)];
    PyObject*& b = name_cache[(h >> (64 - 2 * cache_bits)) & ((1 << cache_bits) - 1)];
    if (holds(a, p, n, e)) return Py_NewRef(a);
    if (holds(b, p, n, e)) return Py_NewRef(b);
    PyObject* t = ascii_text(p, n);
    if (!t || PyObject_Hash(t) == -1) {
        Py_XDECREF(t);
        return nullptr;
    }
    Py_XSETREF(a && !b ? b : a, Py_NewRef(t));
    return t;
}

// The pairs of a header are read in chunks: the first chunk sizes the dict.
struct Pair {
    const char* name;
    Py_ssize_t name_len;
    const char* value;
    Py_ssize_t value_len;
};
constexpr int chunk = 32;

int add_pairs(PyObject* cookies, const Pair* pairs, int n) {
    for (int i = 0; i < n; i++) {
        const Pair& pair = pairs[i];
        Ref name = Ref::steal(name_text(pair.name, pair.name_len));
        if (!name) return -1;
        Ref value = Ref::steal(decoded_text(pair.value, pair.value_len, shape(pair.value, pair.value_len)));
        // The first pair of a name is kept.
        if (!value || PyDict_SetDefaultRef(cookies, name.get(), value.get(), nullptr) < 0) return -1;
    }
    return 0;
}

PyObject* parse_header(PyObject* header) {
    if (header == Py_None) return PyDict_New();
    const char* p = PyBytes_AS_STRING(header);
    const char* end = p + PyBytes_GET_SIZE(header);
    Ref cookies;
    Pair pairs[chunk];
    int k = 0;
    for (;;) {
        auto semi = static_cast<const char*>(std::memchr(p, ';', size_t(end - p)));
        const char* stop = semi ? semi : end;
        auto eq = static_cast<const char*>(std::memchr(p, '=', size_t(stop - p)));
        const char *name = p, *name_end = eq ? eq : p, *value = eq ? eq + 1 : p, *value_end = stop;
        trim(name, name_end);
        trim(value, value_end);
        if (value_end - value >= 2 && *value == '"' && value_end[-1] == '"') {
            value++;
            value_end--;
        }
        if (name != name_end || value != value_end) pairs[k++] = {name, name_end - name, value, value_end - value};
        if (k == chunk || !semi) {
            if (!cookies && !(cookies = Ref::steal(kv::compat::new_dict(k)))) return nullptr;
            if (add_pairs(cookies.get(), pairs, k) < 0) return nullptr;
            k = 0;
        }
        if (!semi) return cookies.release();
        p = semi + 1;
    }
}

kv::FuncDef fd_parse("parse_cookie_header",
                     [](PyObject*, Arg* a) { return parse_header(a[0].o); }, {{"value", ParamType::Bytes}});

// ===========================================================================
// Module

int exec_module(PyObject*) {
    if (kelvarn_cookies_import() < 0) return -1;
    cookie_type = KelvarnCookies.CookieType;
    if (kv::add_functions() < 0) return -1;
    return 0;
}

}  // namespace

const kv::ModuleInfo kv::module_info = {"cookie_header", "kelvarn.cookie_header", "kelvarn/cookie_header.cpp",
                                        exec_module};

KV_MODULE_INIT(cookie_header)
