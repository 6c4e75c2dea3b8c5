// kelvarn.cookies: the Cookie model, cookie dates, Set-Cookie parsing and
// writing, the SameSite mode and the cookie errors.
//
// Parsing (parse_cookie -> parse_impl): split the value at "; " (or ";"),
// read the first piece as name=value through decode_unquote (the native
// decoder while unquote_guard holds, else `unquote`), then each attribute:
// Expires through from_bytes (the native date reader while parsedate_guard
// holds, else parsedate_to_datetime), Max-Age as int() reads it, SameSite
// through the cached members; make_cookie builds the result.
// Writing (write_cookie_for_response -> write_impl): name and value through
// quote_encode (quote_str_native while quote_guard holds, else `quote`),
// Expires through to_format_impl (format_date_c while strftime_guard holds,
// else strftime), Path escaped, Domain and Path refused with separators.
// Each guard is armed (arm_quote, arm_unquote, arm_parsedate, arm_strftime)
// beside its stand-in, from exec_module.
#include "frame.hpp"
#include "typed.hpp"
#include "watch.hpp"

#include "cookies.h"

#include <datetime.h>

#include <array>
#include <climits>
#include <clocale>
#include <cstring>
#include <iterator>
#include <string_view>
#include <utility>

namespace {

using kv::Arg;
using kv::Default;
using kv::FieldKind;
using kv::Ref;
using kv::ParamType;

using CookieObject = __pyx_obj_7kelvarn_7cookies_Cookie;
using CookieVtable = __pyx_vtabstruct_7kelvarn_7cookies_Cookie;
using SameSite = __pyx_t_7kelvarn_7cookies_CookieSameSiteMode;

static_assert(sizeof(SameSite) == 4, "the SameSite mode is a 32-bit enumeration");
static_assert(offsetof(CookieObject, __pyx_vtab) == sizeof(PyObject), "the table pointer follows the header");

constexpr SameSite mode_undefined = __pyx_e_7kelvarn_7cookies_UNDEFINED;
constexpr SameSite mode_lax = __pyx_e_7kelvarn_7cookies_LAX;
constexpr SameSite mode_strict = __pyx_e_7kelvarn_7cookies_STRICT;
constexpr SameSite mode_none = __pyx_e_7kelvarn_7cookies_NONE;

kv::Name n_name("name");
kv::Name n_value("value");
kv::Name n_encode("encode");
kv::Name n_decode("decode");
kv::Name n_index("index");
kv::Name n_strftime("strftime");
kv::Name n_utcoffset("utcoffset");
kv::Name n_astimezone("astimezone");
kv::Name n_time("time");
kv::Name n_import("__import__");
kv::Name n_builtins("__builtins__");
kv::Name n_fromisoformat("fromisoformat");
kv::Name n_parseaddr("email._parseaddr");
kv::Name n_timezones("_timezones");
kv::Name n_struct_time("struct_time");
kv::Name n_replace("replace");
kv::Name n_tzinfo("tzinfo");
kv::Name n_init("__init__");
kv::Name n_quote("quote");
kv::Name n_unquote("unquote");
kv::Name n_parsedate("parsedate_to_datetime");
kv::Name n_mode_class("CookieSameSiteMode");
kv::Name n_undefined("UNDEFINED");
kv::Name n_lax("LAX");
kv::Name n_strict("STRICT");
kv::Name n_none("NONE");
kv::Name n_date_pattern("%a, %d %b %Y %H:%M:%S GMT");
kv::Name n_repr_prefix("<Cookie ");
kv::Name n_repr_sep(": ");
kv::Name n_repr_suffix("...>");
kv::Bytes bytes_eq("=");

// Objects bound by the exec step.
PyTypeObject* datetime_type = nullptr;  // datetime.datetime
bool native_datetime = false;           // it is the interpreter's own C type
PyObject* kwnames_tzinfo = nullptr;     // ("tzinfo",)
PyObject* time_module = nullptr;        // the time module whose strftime the C datetime type calls
PyObject* utc_zone = nullptr;           // datetime.timezone.utc
PyTypeObject* timezone_type = nullptr;  // datetime.timezone, the interpreter's fixed-offset zone

// The native stand-ins for `quote`, `unquote`, `parsedate_to_datetime` and
// time.strftime hold while the module globals name the standard functions
// and nothing those read has changed (see watch.hpp).
kv::Guard quote_guard;
kv::Guard unquote_guard;
kv::Guard parsedate_guard;
kv::Guard strftime_guard;

// ---------------------------------------------------------------------------
// The stand-ins are armed only once a fixed table of inputs gives the same
// outcome through them as through the general path (see kv::Probe). Each
// input comes as bytes: text in UTF-8 (lone surrogates allowed), raw cookie
// bytes, date text, or an ISO date and time.

PyObject* probe_text(PyObject* input) {
    return PyUnicode_DecodeUTF8(PyBytes_AS_STRING(input), PyBytes_GET_SIZE(input), "surrogatepass");
}

// `call` on the input made into the object it takes.
template <PyObject* (*convert)(PyObject*), PyObject* (*call)(PyObject*)>
PyObject* probe_with(PyObject* input) {
    Ref arg = Ref::steal(convert(input));
    return arg ? call(arg.get()) : nullptr;
}

using namespace std::string_view_literals;

template <size_t N>
kv::Probe probe(const std::string_view (&inputs)[N], kv::ProbeCall standard, kv::ProbeCall stand_in) {
    return {inputs, N, standard, stand_in};
}

// Arming a stand-in for a standard function (quote, unquote,
// parsedate_to_datetime): it holds while the function bound under `name` is
// the standard library's own, gives the stand-in's outcomes on its probe
// table, and `also` is met. The probes run
// first: they build what the standard code fills in on first use (unquote's
// table of escapes), which is then watched like everything else.
void arm_function(kv::Guard& guard, PyObject* name, const char* module, const char* qualname,
                    const kv::Probe& probe, bool (*also)() = nullptr) {
    guard.reset();
    PyObject* f = PyDict_GetItemWithError(kv::module_dict, name);
    if (!f) {
        PyErr_Clear();
        return;
    }
    if (!kv::defined_in(f, module, qualname) || (also && !also()) || !probe.agrees()) return;
    guard.key(kv::module_dict, name);
    guard.reachable(f);
    guard.arm();
}


const char exceeds_message[] =
    "The length of the cookie value exceeds the maximum length of 4096 bytes, and it would be ignored or "
    "truncated by clients. See: https://www.rfc-editor.org/rfc/rfc6265#section-6.1";

constexpr Py_ssize_t max_value_length = 4096;

inline unsigned char ascii_lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

// Whole-text ASCII case-insensitive comparison with a lower-case literal.
bool equals_lower(const char* p, Py_ssize_t n, const char* lit) {
    Py_ssize_t m = Py_ssize_t(std::strlen(lit));
    if (n != m) return false;
    for (Py_ssize_t i = 0; i < n; i++)
        if (ascii_lower(static_cast<unsigned char>(p[i])) != static_cast<unsigned char>(lit[i])) return false;
    return true;
}

// The same for a literal known at compile time: the length first, then each
// byte, where a letter of `lit` also matches its upper-case form. Setting
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

PyObject* not_implemented_del() {
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return nullptr;
}

// ===========================================================================
// SameSite mode

// C to Python: the member of that value, or the class called with the value,
// for whatever the namespace holds under CookieSameSiteMode right now.
//
// While the namespace still holds the class built by the exec step, the four
// members are taken from a cache. The attribute lookup on the class gives the
// cached objects as long as neither the class (its dictionary and those along
// its MRO: its version tag) nor its metaclass changes; the guard follows the
// namespace entry. A change of the class is met by recording the members
// again, from the class dictionaries, when the lookup would still run no
// Python code; otherwise the lookup itself is made.
kv::Guard mode_guard;
struct ModeMembers {
    PyObject* cls = nullptr;  // the class built by the exec step
    PyTypeObject* meta = nullptr;
    unsigned int version = 0, meta_version = 0;  // non-zero once recorded
    PyObject* member[4] = {};
    int value[4] = {};  // int(member), which runs no code: the members are ints
} modes;
const kv::Name* const mode_names[4] = {&n_undefined, &n_lax, &n_strict, &n_none};

// The members as the attribute lookup on the class finds them: in the class
// dictionaries (no metaclass data descriptor in front of them, no __get__ of
// their own, the metaclass's attribute lookup that of `type`).
bool record_members() {
    modes.version = 0;
    PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(modes.cls);
    PyTypeObject* meta = Py_TYPE(modes.cls);
    if (meta->tp_getattro != PyType_Type.tp_getattro || !PyUnstable_Type_AssignVersionTag(cls) ||
        !PyUnstable_Type_AssignVersionTag(meta))
        return false;
    PyObject* found[4];
    int values[4];
    for (int i = 0; i < 4; i++) {
        PyObject* m = kv::compat::type_lookup(meta, *mode_names[i]);
        if (m && Py_TYPE(m)->tp_descr_set) return false;
        PyObject* a = kv::compat::type_lookup(cls, *mode_names[i]);
        if (!a || Py_TYPE(a)->tp_descr_get || !PyLong_Check(a)) return false;
        int overflow;
        long v = PyLong_AsLongAndOverflow(a, &overflow);
        if (overflow || v < INT_MIN || v > INT_MAX) return false;
        found[i] = a;
        values[i] = int(v);
    }
    // The references are taken before the old ones go: releasing one may run code.
    PyObject* old[4];
    for (int i = 0; i < 4; i++) {
        old[i] = modes.member[i];
        modes.member[i] = Py_NewRef(found[i]);
        modes.value[i] = values[i];
    }
    modes.meta = meta;
    modes.version = cls->tp_version_tag;
    modes.meta_version = meta->tp_version_tag;
    for (PyObject* o : old) Py_XDECREF(o);
    return modes.version != 0 && modes.version == cls->tp_version_tag;
}

// The cached index of `mode`'s member, or -1 when the lookup must be made.
inline int cached_mode(int mode) {
    if (mode < 0 || mode > 3 || !mode_guard.holds()) return -1;
    PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(modes.cls);
    bool current = modes.version && cls->tp_version_tag == modes.version && Py_IS_TYPE(modes.cls, modes.meta) &&
                   modes.meta->tp_version_tag == modes.meta_version;
    return current || record_members() ? mode : -1;
}

PyObject* mode_to_python(int mode) {
    int cached = cached_mode(mode);
    if (cached >= 0) return Py_NewRef(modes.member[cached]);
    Ref cls = Ref::steal(kv::lookup_global(n_mode_class));
    if (!cls) return nullptr;
    switch (mode) {
        case 0: return PyObject_GetAttr(cls.get(), n_undefined);
        case 1: return PyObject_GetAttr(cls.get(), n_lax);
        case 2: return PyObject_GetAttr(cls.get(), n_strict);
        case 3: return PyObject_GetAttr(cls.get(), n_none);
        default: {
            Ref n = Ref::steal(PyLong_FromLong(mode));
            if (!n) return nullptr;
            return kv::call(cls.get(), n.get());
        }
    }
}

// to_int32(mode_to_python(mode)), the conversion of the Cookie constructor.
int mode_round_trip(int mode, int* out, kv::Site& site) {
    int cached = cached_mode(mode);
    if (cached >= 0) {
        *out = modes.value[cached];
        return 0;
    }
    Ref obj = Ref::steal(mode_to_python(mode));
    if (!obj) return -1;
    if (kv::to_int32(obj.get(), out) < 0) return kv::fail_int(site);
    return 0;
}

SameSite mode_from_text(const char* p, Py_ssize_t n) {
    if (is_word(p, n, "strict")) return mode_strict;
    if (is_word(p, n, "lax")) return mode_lax;
    if (is_word(p, n, "none")) return mode_none;
    return mode_undefined;
}

kv::Site same_site_site("same_site_mode_from_bytes");

SameSite same_site_mode_from_bytes(PyObject* value) {
    if (value == Py_None) return mode_undefined;
    if (!PyBytes_CheckExact(value)) {
        kv::expected_error("bytes", value);
        kv::fail(same_site_site);
        return mode_undefined;
    }
    return mode_from_text(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value));
}

// ===========================================================================
// Errors

PyObject* super_init(PyTypeObject* cls, PyObject* self, PyObject* message) {
    PyObject* argv[] = {reinterpret_cast<PyObject*>(cls), self};
    Ref sup = Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PySuper_Type), argv, 2, nullptr));
    if (!sup) return nullptr;
    return kv::call_method(sup.get(), n_init, message);
}

extern PyTypeObject CookieErrorType;
extern PyTypeObject ExceedsType;

PyObject* error_init_body(PyObject* self, Arg* args) {
    Ref r = Ref::steal(super_init(&CookieErrorType, self, args[0].o));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

kv::FuncDef fd_error_init(&CookieErrorType, "CookieError.__init__", error_init_body, {{"message", ParamType::Str}});

int error_tp_init(PyObject* self, PyObject* args, PyObject* kwds) {
    Arg a[1];
    Ref hold[kv::max_params];
    if (!fd_error_init.sig.bind(args, kwds, a, hold)) return kv::fail_int(fd_error_init.site);
    Ref r = Ref::steal(error_init_body(self, a));
    return r ? 0 : kv::fail_int(fd_error_init.site);
}

kv::Name n_exceeds_message(exceeds_message);

PyObject* exceeds_init_body(PyObject* self, Arg*) {
    Ref r = Ref::steal(super_init(&ExceedsType, self, n_exceeds_message));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

kv::FuncDef fd_exceeds_init(&ExceedsType, "CookieValueExceedsMaximumLength.__init__", exceeds_init_body);

int exceeds_tp_init(PyObject* self, PyObject* args, PyObject* kwds) {
    Arg a[1];
    Ref hold[kv::max_params];
    if (!fd_exceeds_init.sig.bind(args, kwds, a, hold)) return kv::fail_int(fd_exceeds_init.site);
    Ref r = Ref::steal(exceeds_init_body(self, a));
    return r ? 0 : kv::fail_int(fd_exceeds_init.site);
}

PyTypeObject CookieErrorType = [] {
    PyTypeObject t = kv::exception_template("kelvarn.cookies.CookieError");
    t.tp_init = error_tp_init;
    return t;
}();

PyTypeObject ExceedsType = [] {
    PyTypeObject t = kv::exception_template("kelvarn.cookies.CookieValueExceedsMaximumLength");
    t.tp_init = exceeds_tp_init;
    return t;
}();

// raise CookieValueExceedsMaximumLength()
void raise_exceeds() {
    Ref e = Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&ExceedsType)));
    if (e) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(e.get())), e.get());
}

// ===========================================================================
// Cookie

extern PyTypeObject CookieType;
CookieVtable cookie_vtable;

CookieObject* as_cookie(PyObject* o) { return reinterpret_cast<CookieObject*>(o); }
PyObject* as_object(CookieObject* c) { return reinterpret_cast<PyObject*>(c); }

// self.name / self.value through normal attribute access. An exact Cookie
// (a static, immutable type) finds its own properties, so the fields are
// read directly.
PyObject* get_name(PyObject* self) {
    if (Py_IS_TYPE(self, &CookieType)) return Py_NewRef(as_cookie(self)->_name);
    return PyObject_GetAttr(self, n_name);
}
PyObject* get_value(PyObject* self) {
    if (Py_IS_TYPE(self, &CookieType)) return Py_NewRef(as_cookie(self)->_value);
    return PyObject_GetAttr(self, n_value);
}

PyObject* cookie_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    CookieObject* c = as_cookie(o);
    c->__pyx_vtab = &cookie_vtable;
    c->_name = Py_NewRef(Py_None);
    c->_value = Py_NewRef(Py_None);
    c->expires = Py_NewRef(Py_None);
    c->domain = Py_NewRef(Py_None);
    c->path = Py_NewRef(Py_None);
    c->http_only = 0;
    c->secure = 0;
    c->max_age = 0;
    c->same_site = mode_undefined;
    return o;
}

int cookie_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_cookie(self)->expires);
    return 0;
}

int cookie_clear(PyObject* self) {
    Py_SETREF(as_cookie(self)->expires, Py_NewRef(Py_None));
    return 0;
}

void cookie_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    CookieObject* c = as_cookie(self);
    Py_CLEAR(c->_name);
    Py_CLEAR(c->_value);
    Py_CLEAR(c->expires);
    Py_CLEAR(c->domain);
    Py_CLEAR(c->path);
    Py_TYPE(self)->tp_free(self);
}

// Length of the UTF-8 form of an exact str; -1 with UnicodeEncodeError for
// text that UTF-8 cannot encode (lone surrogates).
Py_ssize_t utf8_length(PyObject* s) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (PyUnicode_IS_ASCII(s)) return n;
    Py_ssize_t total = n;
    int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    if (kind == PyUnicode_1BYTE_KIND) {
        const Py_UCS1* p = static_cast<const Py_UCS1*>(data);
        for (Py_ssize_t i = 0; i < n; i++) total += p[i] >> 7;
        return total;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 0x80) continue;
        if (c < 0x800) total += 1;
        else if (c >= 0xD800 && c <= 0xDFFF) {
            Ref r = Ref::steal(PyUnicode_AsUTF8String(s));  // raises the codec's error
            return -1;
        } else if (c < 0x10000) total += 2;
        else total += 3;
    }
    return total;
}

kv::Site name_set_site("Cookie.name.__set__");
kv::Site value_set_site("Cookie.value.__set__");

int name_set(PyObject* self, PyObject* v, void*) {
    if (!v) {
        not_implemented_del();
        return kv::fail_int(name_set_site);
    }
    int t = kv::truth(v);
    if (t < 0) return kv::fail_int(name_set_site);
    if (!t) {
        PyErr_SetString(PyExc_ValueError, "A cookie name is required");
        return kv::fail_int(name_set_site);
    }
    if (!PyUnicode_CheckExact(v)) {
        kv::expected_error("str", v);
        return kv::fail_int(name_set_site);
    }
    kv::assign(as_cookie(self)->_name, v);
    return 0;
}

int value_set(PyObject* self, PyObject* v, void*) {
    if (!v) {
        not_implemented_del();
        return kv::fail_int(value_set_site);
    }
    int t = kv::truth(v);
    if (t < 0) return kv::fail_int(value_set_site);
    if (t) {
        Py_ssize_t length;
        if (PyUnicode_CheckExact(v)) {
            length = utf8_length(v);
        } else {
            Ref encoded = Ref::steal(kv::call_method(v, n_encode));
            length = encoded ? PyObject_Size(encoded.get()) : -1;
        }
        if (length < 0) return kv::fail_int(value_set_site);
        if (length > max_value_length) {
            raise_exceeds();
            return kv::fail_int(value_set_site);
        }
    }
    if (!kv::check_exact(v, &PyUnicode_Type)) return kv::fail_int(value_set_site);
    kv::assign(as_cookie(self)->_value, v);
    return 0;
}

PyObject* name_get(PyObject* self, void*) { return Py_NewRef(as_cookie(self)->_name); }
PyObject* value_get(PyObject* self, void*) { return Py_NewRef(as_cookie(self)->_value); }
PyObject* expires_get(PyObject* self, void*) { return Py_NewRef(as_cookie(self)->expires); }
PyObject* domain_get(PyObject* self, void*) { return Py_NewRef(as_cookie(self)->domain); }
PyObject* path_get(PyObject* self, void*) { return Py_NewRef(as_cookie(self)->path); }
PyObject* http_only_get(PyObject* self, void*) { return PyBool_FromLong(as_cookie(self)->http_only); }
PyObject* secure_get(PyObject* self, void*) { return PyBool_FromLong(as_cookie(self)->secure); }
PyObject* max_age_get(PyObject* self, void*) { return PyLong_FromLongLong(as_cookie(self)->max_age); }

kv::Site same_site_get_site("Cookie.same_site.__get__");

PyObject* same_site_get(PyObject* self, void*) {
    PyObject* r = mode_to_python(as_cookie(self)->same_site);
    return r ? r : kv::fail(same_site_get_site);
}

kv::Site expires_set_site("Cookie.expires.__set__");
kv::Site domain_set_site("Cookie.domain.__set__");
kv::Site path_set_site("Cookie.path.__set__");
kv::Site http_only_set_site("Cookie.http_only.__set__");
kv::Site secure_set_site("Cookie.secure.__set__");
kv::Site max_age_set_site("Cookie.max_age.__set__");
kv::Site same_site_set_site("Cookie.same_site.__set__");

int expires_set(PyObject* self, PyObject* v, void*) {
    if (!v) v = Py_None;
    if (!kv::check_instance(v, datetime_type)) return kv::fail_int(expires_set_site);
    kv::assign(as_cookie(self)->expires, v);
    return 0;
}

int str_field_set(PyObject*& field, PyObject* v, kv::Site& site) {
    if (!v) v = Py_None;
    if (!kv::check_exact(v, &PyUnicode_Type)) return kv::fail_int(site);
    kv::assign(field, v);
    return 0;
}

int domain_set(PyObject* self, PyObject* v, void*) { return str_field_set(as_cookie(self)->domain, v, domain_set_site); }
int path_set(PyObject* self, PyObject* v, void*) { return str_field_set(as_cookie(self)->path, v, path_set_site); }

int flag_set(int& field, PyObject* v, kv::Site& site) {
    if (!v) {
        not_implemented_del();
        return kv::fail_int(site);
    }
    int t = kv::truth(v);
    if (t < 0) return kv::fail_int(site);
    field = t;
    return 0;
}

int http_only_set(PyObject* self, PyObject* v, void*) {
    return flag_set(as_cookie(self)->http_only, v, http_only_set_site);
}
int secure_set(PyObject* self, PyObject* v, void*) { return flag_set(as_cookie(self)->secure, v, secure_set_site); }

int max_age_set(PyObject* self, PyObject* v, void*) {
    if (!v) {
        not_implemented_del();
        return kv::fail_int(max_age_set_site);
    }
    long long x;
    if (kv::to_int64(v, &x) < 0) return kv::fail_int(max_age_set_site);
    as_cookie(self)->max_age = x;
    return 0;
}

int same_site_set(PyObject* self, PyObject* v, void*) {
    if (!v) {
        not_implemented_del();
        return kv::fail_int(same_site_set_site);
    }
    int x;
    if (kv::to_int32(v, &x) < 0) return kv::fail_int(same_site_set_site);
    as_cookie(self)->same_site = static_cast<SameSite>(x);
    return 0;
}

PyGetSetDef cookie_getset[] = {
    {"name", name_get, name_set, nullptr, nullptr},
    {"value", value_get, value_set, nullptr, nullptr},
    {"expires", expires_get, expires_set, nullptr, nullptr},
    {"domain", domain_get, domain_set, nullptr, nullptr},
    {"path", path_get, path_set, nullptr, nullptr},
    {"http_only", http_only_get, http_only_set, nullptr, nullptr},
    {"secure", secure_get, secure_set, nullptr, nullptr},
    {"max_age", max_age_get, max_age_set, nullptr, nullptr},
    {"same_site", same_site_get, same_site_set, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Constructor steps 4 to 6: the name and value through attribute assignment
// (so overriding properties of a subclass apply), then the other fields.
int cookie_fill(PyObject* self, PyObject* name, PyObject* value, PyObject* expires, PyObject* domain,
                PyObject* path, int http_only, int secure, long long max_age, int same_site) {
    if (Py_IS_TYPE(self, &CookieType)) {
        // The static type's own descriptors: the same setters, without the lookup.
        if (name_set(self, name, nullptr) < 0) return -1;
        if (value_set(self, value, nullptr) < 0) return -1;
    } else {
        if (PyObject_SetAttr(self, n_name, name) < 0) return -1;
        if (PyObject_SetAttr(self, n_value, value) < 0) return -1;
    }
    CookieObject* c = as_cookie(self);
    kv::assign(c->expires, expires);
    kv::assign(c->domain, domain);
    kv::assign(c->path, path);
    c->http_only = http_only;
    c->secure = secure;
    c->max_age = max_age;
    c->same_site = static_cast<SameSite>(same_site);
    return 0;
}

int cookie_init(PyObject* self, Arg* a) {
    return cookie_fill(self, a[0].o, a[1].o, a[2].o, a[3].o, a[4].o, a[5].b, a[6].b, a[7].i, int(a[8].i));
}

kv::InitDef cookie_init_def("Cookie.__init__", cookie_init,
                            {
                                {"name", ParamType::Str},
                                {"value", ParamType::Str},
                                {"expires", ParamType::Ext, Default::None, 0, &datetime_type},
                                {"domain", ParamType::Str, Default::None},
                                {"path", ParamType::Str, Default::None},
                                {"http_only", ParamType::Bool, Default::False},
                                {"secure", ParamType::Bool, Default::False},
                                {"max_age", ParamType::Int64, Default::Int, -1},
                                {"same_site", ParamType::Int32, Default::Int, 0},
                            });
kv::Site& cookie_init_site = cookie_init_def.site;


// Calling the Cookie class with nine positional arguments whose scalar
// conversions (step 2 of the constructor) are done: the type checks of the
// object arguments, then the fields. `Cookie` is a static type, so its
// allocation and initialiser cannot be replaced and are called directly.
PyObject* make_cookie(PyObject* name, PyObject* value, PyObject* expires, PyObject* domain, PyObject* path,
                      int http_only, int secure, long long max_age, int same_site) {
    struct {
        const char* param;
        PyObject* arg;
    } checks[] = {{"name", name}, {"value", value}, {"domain", domain}, {"path", path}};
    for (int i = 0; i < 2; i++)
        if (!kv::exact_or_none(checks[i].arg, &PyUnicode_Type)) {
            kv::arg_type_error(checks[i].param, "str", checks[i].arg);
            return kv::fail(cookie_init_site);
        }
    if (!kv::instance_or_none(expires, datetime_type)) {
        kv::arg_type_error("expires", datetime_type->tp_name, expires);
        return kv::fail(cookie_init_site);
    }
    for (int i = 2; i < 4; i++)
        if (!kv::exact_or_none(checks[i].arg, &PyUnicode_Type)) {
            kv::arg_type_error(checks[i].param, "str", checks[i].arg);
            return kv::fail(cookie_init_site);
        }
    Ref self = Ref::steal(cookie_new(&CookieType, nullptr, nullptr));
    if (!self) return nullptr;
    if (cookie_fill(self.get(), name, value, expires, domain, path, http_only, secure, max_age, same_site) < 0)
        return kv::fail(cookie_init_site);
    return self.release();
}

// clone(): a plain Cookie with the same contents.
PyObject* clone_impl(PyObject* self);
PyObject* clone_body(PyObject* self, Arg*) { return clone_impl(self); }
kv::FuncDef fd_clone(&CookieType, "Cookie.clone", clone_body);

PyObject* clone_impl(PyObject* self) {
    Ref name = Ref::steal(get_name(self));
    if (!name) return nullptr;
    Ref value = Ref::steal(get_value(self));
    if (!value) return nullptr;
    CookieObject* c = as_cookie(self);
    int mode;
    Ref expires = Ref::borrow(c->expires), domain = Ref::borrow(c->domain), path = Ref::borrow(c->path);
    int http_only = c->http_only != 0, secure = c->secure != 0;
    long long max_age = c->max_age;
    if (mode_round_trip(c->same_site, &mode, cookie_init_site) < 0) return nullptr;
    return make_cookie(name.get(), value.get(), expires.get(), domain.get(), path.get(), http_only, secure,
                       max_age, mode);
}

// The typed entry: an override's result is None or a Cookie (a subclass too).
bool returns_cookie(PyObject* r) { return kv::check_instance(r, &CookieType); }
CookieObject* clone_entry(CookieObject* self, int skip) {
    return as_cookie(kv::object_entry(as_object(self), skip, fd_clone, returns_cookie, clone_impl));
}

// ---------------------------------------------------------------------------
// Comparison and representation

kv::Site cookie_eq_site("Cookie.__eq__");

PyObject* cookie_eq(PyObject* self, PyObject* other) {
    if (PyUnicode_Check(other)) {
        Ref v = Ref::steal(get_value(self));
        if (!v) return kv::fail(cookie_eq_site);
        PyObject* r = PyObject_RichCompare(other, v.get(), Py_EQ);
        return r ? r : kv::fail(cookie_eq_site);
    }
    if (PyBytes_Check(other)) {
        Ref text = Ref::steal(PyBytes_CheckExact(other)
                                  ? PyUnicode_DecodeUTF8(PyBytes_AS_STRING(other), PyBytes_GET_SIZE(other), nullptr)
                                  : kv::call_method(other, n_decode));
        if (!text) return kv::fail(cookie_eq_site);
        Ref v = Ref::steal(get_value(self));
        if (!v) return kv::fail(cookie_eq_site);
        PyObject* r = PyObject_RichCompare(text.get(), v.get(), Py_EQ);
        return r ? r : kv::fail(cookie_eq_site);
    }
    if (!PyObject_TypeCheck(other, &CookieType)) Py_RETURN_NOTIMPLEMENTED;
    Ref on = Ref::steal(get_name(other));
    if (!on) return kv::fail(cookie_eq_site);
    Ref sn = Ref::steal(get_name(self));
    if (!sn) return kv::fail(cookie_eq_site);
    Ref c = Ref::steal(PyObject_RichCompare(on.get(), sn.get(), Py_EQ));
    if (!c) return kv::fail(cookie_eq_site);
    int t = kv::truth(c.get());
    if (t < 0) return kv::fail(cookie_eq_site);
    if (!t) return c.release();
    Ref ov = Ref::steal(get_value(other));
    if (!ov) return kv::fail(cookie_eq_site);
    Ref sv = Ref::steal(get_value(self));
    if (!sv) return kv::fail(cookie_eq_site);
    PyObject* r = PyObject_RichCompare(ov.get(), sv.get(), Py_EQ);
    return r ? r : kv::fail(cookie_eq_site);
}

kv::Site cookie_ne_site("Cookie.__ne__");

constexpr auto cookie_richcompare = kv::richcompare_from_eq<cookie_eq, cookie_ne_site>;

kv::Site cookie_repr_site("Cookie.__repr__");

// value[:3]
PyObject* first_three(PyObject* o) {
    if (PyUnicode_CheckExact(o)) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(o);
        return PyUnicode_Substring(o, 0, n < 3 ? n : 3);
    }
    PyMappingMethods* mp = Py_TYPE(o)->tp_as_mapping;
    if (!mp || !mp->mp_subscript) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(o)->tp_name);
        return nullptr;
    }
    Ref stop = Ref::steal(PyLong_FromLong(3));
    if (!stop) return nullptr;
    Ref slice = Ref::steal(PySlice_New(nullptr, stop.get(), nullptr));
    if (!slice) return nullptr;
    return mp->mp_subscript(o, slice.get());
}

PyObject* cookie_repr(PyObject* self) {
    Ref name = Ref::steal(get_name(self));
    if (!name) return kv::fail(cookie_repr_site);
    Ref name_text = Ref::steal(PyObject_Format(name.get(), kv::empty_str));
    if (!name_text) return kv::fail(cookie_repr_site);
    Ref value = Ref::steal(get_value(self));
    if (!value) return kv::fail(cookie_repr_site);
    Ref head = Ref::steal(first_three(value.get()));
    if (!head) return kv::fail(cookie_repr_site);
    Ref head_text = Ref::steal(PyObject_Format(head.get(), kv::empty_str));
    if (!head_text) return kv::fail(cookie_repr_site);
    if (!PyUnicode_Check(name_text.get()) || !PyUnicode_Check(head_text.get())) {
        PyErr_SetString(PyExc_TypeError, "__format__ must return a str");
        return kv::fail(cookie_repr_site);
    }
    PyObject* parts[] = {n_repr_prefix, name_text.get(), n_repr_sep, head_text.get(), n_repr_suffix};
    PyObject* r = kv::join_text(parts, 5);
    return r ? r : kv::fail(cookie_repr_site);
}

PyTypeObject CookieType = [] {
    PyTypeObject t = kv::type_template("kelvarn.cookies.Cookie", sizeof(CookieObject));
    t.tp_dealloc = cookie_dealloc;
    t.tp_repr = cookie_repr;
    t.tp_hash = PyObject_HashNotImplemented;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = cookie_traverse;
    t.tp_clear = cookie_clear;
    t.tp_richcompare = cookie_richcompare;
    t.tp_getset = cookie_getset;
    t.tp_init = kv::init_slot<cookie_init_def>;
    t.tp_vectorcall = kv::construct<cookie_init_def>;
    t.tp_new = cookie_new;
    return t;
}();

PyObject* same_site_to_python(int mode) { return mode_to_python(mode); }

kv::PickleDef cookie_pickle("Cookie", &CookieType,
                            {
                                {"_name", FieldKind::Str, offsetof(CookieObject, _name)},
                                {"_value", FieldKind::Str, offsetof(CookieObject, _value)},
                                {"domain", FieldKind::Str, offsetof(CookieObject, domain)},
                                {"expires", FieldKind::Ext, offsetof(CookieObject, expires), &datetime_type},
                                {"http_only", FieldKind::Bool, offsetof(CookieObject, http_only)},
                                {"max_age", FieldKind::Int64, offsetof(CookieObject, max_age)},
                                {"path", FieldKind::Str, offsetof(CookieObject, path)},
                                {"same_site", FieldKind::Enum32, offsetof(CookieObject, same_site), nullptr,
                                 same_site_to_python},
                                {"secure", FieldKind::Bool, offsetof(CookieObject, secure)},
                            },
                            0x2035a3d, 0xc44a7b0, 0xe7407db,
                            "(_name, _value, domain, expires, http_only, max_age, path, same_site, secure)");
kv::PickleDef error_pickle("CookieError", &CookieErrorType, {}, 0xe3b0c44, 0xda39a3e, 0xd41d8cd, "()");
kv::PickleDef exceeds_pickle("CookieValueExceedsMaximumLength", &ExceedsType, {}, 0xe3b0c44, 0xda39a3e,
                             0xd41d8cd, "()");

// ===========================================================================
// Cookie dates

// True when the process formats dates with the C locale's English names.
bool c_time_locale() {
    const char* l = std::setlocale(LC_TIME, nullptr);
    if (!l) return false;
    return std::strcmp(l, "C") == 0 || std::strcmp(l, "POSIX") == 0 || std::strcmp(l, "C.UTF-8") == 0 ||
           std::strcmp(l, "C.utf8") == 0;
}

const char weekday_names[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char month_names[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Day of the week of a proleptic Gregorian date, 0 for Sunday.
int weekday(int y, int m, int d) {
    static const int t[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (m < 3) y -= 1;
    return (y + y / 4 - y / 100 + y / 400 + t[m - 1] + d) % 7;
}

void put2(char* p, int v) {
    p[0] = char('0' + v / 10);
    p[1] = char('0' + v % 10);
}

// What strftime gives with the C locale for a four-digit year: 29 bytes.
PyObject* format_date_c(PyObject* dt) {
    int y = PyDateTime_GET_YEAR(dt), m = PyDateTime_GET_MONTH(dt), d = PyDateTime_GET_DAY(dt);
    char buf[29];
    std::memcpy(buf, weekday_names[weekday(y, m, d)], 3);
    buf[3] = ',';
    buf[4] = ' ';
    put2(buf + 5, d);
    buf[7] = ' ';
    std::memcpy(buf + 8, month_names[m - 1], 3);
    buf[11] = ' ';
    put2(buf + 12, y / 100);
    put2(buf + 14, y % 100);
    buf[16] = ' ';
    put2(buf + 17, PyDateTime_DATE_GET_HOUR(dt));
    buf[19] = ':';
    put2(buf + 20, PyDateTime_DATE_GET_MINUTE(dt));
    buf[22] = ':';
    put2(buf + 23, PyDateTime_DATE_GET_SECOND(dt));
    std::memcpy(buf + 25, " GMT", 4);
    return PyBytes_FromStringAndSize(buf, 29);
}

// text.encode()
PyObject* encode_text(PyObject* text) {
    if (PyUnicode_CheckExact(text)) return PyUnicode_AsUTF8String(text);
    return kv::call_method(text, n_encode);
}

// The strftime of the C datetime type imports time through the __import__
// of the builtins that the calling code's globals name under __builtins__
// (a module or a dict, read at each call as the import machinery reads it):
// only the builtins module's own __import__ is watched. Without a calling
// frame the import machinery takes the builtins module itself.
bool caller_builtins_original() {
    PyObject* globals = PyEval_GetGlobals();
    if (!globals) return true;
    if (!PyDict_CheckExact(globals)) return false;
    PyObject* b = PyDict_GetItemWithError(globals, n_builtins);
    if (!b) PyErr_Clear();
    return b && (b == kv::builtins || b == PyModule_GetDict(kv::builtins));
}

// True while `time.strftime`, which the strftime of the C datetime type
// imports and calls at each use, is the built-in the exec step found there.
// A module's class can be replaced without touching any dict, and each
// caller brings its own builtins: checked here.
bool original_time_strftime() {
    return strftime_guard.holds() && Py_IS_TYPE(time_module, &PyModule_Type) && caller_builtins_original();
}

// when.strftime(pattern).encode(), the general path of the date text.
PyObject* format_date_general(PyObject* when) {
    Ref text = Ref::steal(kv::call_method(when, n_strftime, n_date_pattern.obj));
    if (!text) return nullptr;
    return encode_text(text.get());
}

// The guard of format_date_c, armed by the exec step.
PyObject* probe_date(PyObject* input) {
    Ref text = Ref::steal(probe_text(input));
    if (!text) return nullptr;
    return kv::call_method(reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType), n_fromisoformat, text.get());
}

const std::string_view strftime_probes[] = {
    "2015-10-21 07:28:00.500000"sv, "1000-01-01 00:00:00"sv, "2024-02-29 12:00:00"sv, "9999-12-31 23:59:59"sv,
};

// The C type's strftime finds time.strftime (and its timetuple() finds
// time.struct_time) through the import machinery: the caller's __import__,
// then sys.modules["time"], then the attribute. The
// built-in one (a function of the loaded time module) is recognised without
// importing anything; the fast date formatting holds while all three stay.
// The probe compares texts of the C locale's names: under another locale at
// load time the guard stays off.
int arm_strftime() {
    strftime_guard.reset();
    Ref time = Ref::steal(PyImport_GetModule(n_time));
    if (!time && PyErr_Occurred()) return -1;
    if (!time || !PyModule_CheckExact(time.get())) return 0;
    PyObject* f = PyDict_GetItemWithError(PyModule_GetDict(time.get()), n_strftime);
    if (!f && PyErr_Occurred()) return -1;
    if (!f || !PyCFunction_Check(f) || PyCFunction_GET_SELF(f) != time.get()) return 0;
    if (!c_time_locale() ||
        !probe(strftime_probes, probe_with<probe_date, format_date_general>, probe_with<probe_date, format_date_c>)
             .agrees())
        return 0;
    Py_XSETREF(time_module, Py_NewRef(time.get()));
    strftime_guard.key(PyImport_GetModuleDict(), n_time);
    strftime_guard.key(PyModule_GetDict(time.get()), n_strftime);
    strftime_guard.key(PyModule_GetDict(time.get()), n_struct_time);  // timetuple() builds one
    strftime_guard.key(PyModule_GetDict(kv::builtins), n_import);
    strftime_guard.arm();
    return 0;
}

// The date text of an instant: an aware value is first converted with its
// own astimezone(timezone.utc), then the (converted) value's own strftime
// formats it; a naive value is taken to be UTC already.
PyObject* to_format_impl(PyObject* value) {
    if (value == Py_None) return kv::none_attribute_error("strftime");
    Ref when;
    if (Py_IS_TYPE(value, datetime_type) && native_datetime) {
        // The interpreter's own type: no Python code runs for a naive value
        // or for a fixed-offset timezone, so their calls are made directly.
        PyObject* tz = PyDateTime_DATE_GET_TZINFO(value);
        if (tz == Py_None) {
            when = Ref::borrow(value);
        } else if (Py_IS_TYPE(tz, timezone_type)) {
            when = Ref::steal(kv::call_method(value, n_astimezone, utc_zone));
            if (!when) return nullptr;
        }
        if (when && Py_IS_TYPE(when.get(), datetime_type) && PyDateTime_GET_YEAR(when.get()) >= 1000 &&
            c_time_locale() && original_time_strftime())
            return format_date_c(when.get());
    }
    if (!when) {
        Ref offset = Ref::steal(kv::call_method(value, n_utcoffset));
        if (!offset) return nullptr;
        when = offset.get() == Py_None ? Ref::borrow(value)
                                       : Ref::steal(kv::call_method(value, n_astimezone, utc_zone));
        if (!when) return nullptr;
    }
    return format_date_general(when.get());
}

PyObject* to_format_body(PyObject*, Arg* args) { return to_format_impl(args[0].o); }
kv::FuncDef fd_to_format("datetime_to_cookie_format", to_format_body,
                         {{"value", ParamType::Ext, Default::Required, 0, &datetime_type}});

PyObject* to_format_entry(PyObject* value, int) {
    PyObject* r = to_format_impl(value);
    return r ? r : kv::fail(fd_to_format.site);
}

// ---------------------------------------------------------------------------
// Date text read natively: the steps of the standard parsedate_to_datetime
// for ASCII text, with the same results and the same errors. Whatever they
// do not settle exactly (a number too long for 64 bits, a zone offset the
// timezone constructor refuses, a field outside the C int range) is handed
// back to the standard function itself.

enum class DateParse { ok, invalid, fallback };

struct DateFields {
    long long year, month, day, hour, minute, second;
};

struct Sv {
    const char* p = nullptr;
    Py_ssize_t n = 0;
    Py_ssize_t find(char c) const {
        const void* at = n ? std::memchr(p, c, size_t(n)) : nullptr;
        return at ? static_cast<const char*>(at) - p : -1;
    }
    bool ends_with(char c) const { return n > 0 && p[n - 1] == c; }
};

// The whitespace of str.split() within ASCII.
inline bool split_space(unsigned char c) { return (c >= 9 && c <= 13) || (c >= 28 && c <= 32); }

const char* const date_month_names[] = {"jan", "feb", "mar", "apr", "may", "jun", "jul", "aug",
                                        "sep", "oct", "nov", "dec", "january", "february", "march", "april",
                                        "may", "june", "july", "august", "september", "october", "november",
                                        "december"};
const char* const date_day_names[] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};
const struct {
    const char* name;
    int offset;
} date_zones[] = {{"ut", 0},     {"utc", 0},    {"gmt", 0},    {"z", 0},      {"ast", -400},
                  {"adt", -300}, {"est", -500}, {"edt", -400}, {"cst", -600}, {"cdt", -500},
                  {"mst", -700}, {"mdt", -600}, {"pst", -800}, {"pdt", -700}};

// 1 to 12 for a month name in any letter case, 0 otherwise.
int date_month(Sv s) {
    for (int i = 0; i < 24; i++)
        if (equals_lower(s.p, s.n, date_month_names[i])) return i % 12 + 1;
    return 0;
}

bool date_day(Sv s) {
    for (const char* d : date_day_names)
        if (equals_lower(s.p, s.n, d)) return true;
    return false;
}

// int(text) for ASCII text without whitespace: a sign, then digits with
// single underscores between them. More than 18 digits: fallback.
DateParse date_int(Sv s, long long* out) {
    Py_ssize_t i = 0;
    bool negative = false;
    if (s.n > 0 && (s.p[0] == '+' || s.p[0] == '-')) {
        negative = s.p[0] == '-';
        i = 1;
    }
    long long v = 0;
    int digits = 0;
    bool need_digit = true;
    for (; i < s.n; i++) {
        char c = s.p[i];
        if (c >= '0' && c <= '9') {
            if (++digits > 18) return DateParse::fallback;
            v = v * 10 + (c - '0');
            need_digit = false;
        } else if (c == '_' && !need_digit) {
            need_digit = true;
        } else {
            return DateParse::invalid;
        }
    }
    if (need_digit) return DateParse::invalid;
    *out = negative ? -v : v;
    return DateParse::ok;
}

// Pieces of `s` split at every `sep` (empty pieces kept); returns how many
// there are, storing at most `max` of them.
int split_at(Sv s, char sep, Sv* out, int max) {
    int count = 0;
    const char* p = s.p;
    const char* end = s.p + s.n;
    for (;;) {
        const void* at = p < end ? std::memchr(p, sep, size_t(end - p)) : nullptr;
        const char* stop = at ? static_cast<const char*>(at) : end;
        if (count < max) out[count] = {p, stop - p};
        count++;
        if (!at) return count;
        p = stop + 1;
    }
}

DateParse parse_date_ascii(const char* text, Py_ssize_t size, DateFields* f) {
    if (size == 0) return DateParse::invalid;
    // data = data.split(): the first tokens and their count (capped).
    constexpr int keep = 8;
    Sv data[keep];
    int len = 0;
    for (Py_ssize_t i = 0; i < size && len < keep;) {
        while (i < size && split_space(static_cast<unsigned char>(text[i]))) i++;
        if (i == size) break;
        Py_ssize_t start = i;
        while (i < size && !split_space(static_cast<unsigned char>(text[i]))) i++;
        data[len++] = {text + start, i - start};
    }
    if (len == 0) return DateParse::invalid;
    // A day name, or text up to a comma, is skipped.
    if (data[0].ends_with(',') || date_day(data[0])) {
        for (int i = 1; i < len; i++) data[i - 1] = data[i];
        len--;
    } else {
        const char* comma = nullptr;
        for (Py_ssize_t i = data[0].n; i-- > 0;)
            if (data[0].p[i] == ',') {
                comma = data[0].p + i;
                break;
            }
        if (comma) data[0] = {comma + 1, data[0].p + data[0].n - (comma + 1)};
    }
    // RFC 850 dates: day-month-year.
    if (len == 3) {
        Sv stuff[3];
        if (split_at(data[0], '-', stuff, 3) == 3) {
            data[4] = data[2];
            data[3] = data[1];
            data[0] = stuff[0];
            data[1] = stuff[1];
            data[2] = stuff[2];
            len = 5;
        }
    }
    if (len == 4) {
        Sv s = data[3];
        Py_ssize_t i = s.find('+');
        if (i == -1) i = s.find('-');
        if (i > 0) {
            data[3] = {s.p, i};
            data[4] = {s.p + i, s.n - i};
        } else {
            data[4] = {s.p + s.n, 0};  // no zone
        }
        len = 5;
    }
    if (len < 5) return DateParse::invalid;
    Sv dd = data[0], mm = data[1], yy = data[2], tm = data[3], tz = data[4];
    if (!dd.n || !mm.n || !yy.n) return DateParse::invalid;
    int month = date_month(mm);
    if (!month) {
        std::swap(dd, mm);
        month = date_month(mm);
        if (!month) return DateParse::invalid;
    }
    if (dd.ends_with(',')) dd.n--;
    if (yy.find(':') > 0) std::swap(yy, tm);
    if (!yy.n) return DateParse::fallback;  // not reached: the standard steps would index an empty text
    if (yy.ends_with(',')) {
        yy.n--;
        if (!yy.n) return DateParse::invalid;
    }
    if (!(yy.p[0] >= '0' && yy.p[0] <= '9')) std::swap(yy, tz);
    if (!tm.n) return DateParse::fallback;  // not reached, as above
    if (tm.ends_with(',')) tm.n--;
    Sv clock[3];
    Sv zero{"0", 1};
    int parts = split_at(tm, ':', clock, 3);
    if (parts == 2) {
        clock[2] = zero;
    } else if (parts != 3) {
        if (parts != 1 || tm.find('.') < 0) return DateParse::invalid;
        parts = split_at(tm, '.', clock, 3);
        if (parts == 2) clock[2] = zero;
        else if (parts != 3) return DateParse::invalid;
    }
    long long year, day, hour, minute, second;
    const Sv* texts[] = {&yy, &dd, &clock[0], &clock[1], &clock[2]};
    long long* values[] = {&year, &day, &hour, &minute, &second};
    for (int i = 0; i < 5; i++) {
        DateParse r = date_int(*texts[i], values[i]);
        if (r != DateParse::ok) return r;
    }
    if (year < 100) year += year > 68 ? 1900 : 2000;
    // The zone: a name, or a number whose "-0" form means none.
    bool zoned = false;
    long long offset = 0;
    bool named = false;
    for (const auto& z : date_zones)
        if (equals_lower(tz.p, tz.n, z.name)) {
            offset = z.offset;
            zoned = named = true;
            break;
        }
    if (!named) {
        DateParse r = date_int(tz, &offset);
        if (r == DateParse::fallback) return r;
        zoned = r == DateParse::ok && !(offset == 0 && tz.p[0] == '-');
    }
    if (zoned && offset) {
        long long magnitude = offset < 0 ? -offset : offset;
        if (magnitude > 1000000000000LL) return DateParse::fallback;
        long long seconds = (magnitude / 100) * 3600 + (magnitude % 100) * 60;
        // The timezone constructor refuses a day or more; its error is the
        // standard function's own.
        if (seconds >= 86400) return DateParse::fallback;
    }
    const long long fields[] = {year, month, day, hour, minute, second};
    for (long long v : fields)
        if (v < INT_MIN || v > INT_MAX) return DateParse::fallback;
    *f = {year, month, day, hour, minute, second};
    return DateParse::ok;
}

inline bool ascii_letter(char c) {
    unsigned char l = static_cast<unsigned char>(c) | 0x20;
    return l >= 'a' && l <= 'z';
}
inline bool ascii_digit(char c) { return c >= '0' && c <= '9'; }
inline int two_digits(const char* p) { return (p[0] - '0') * 10 + (p[1] - '0'); }

// The IMF-fixdate form that cookies carry, "Wed, 21 Oct 2015 07:28:00 GMT"
// (GMT in any letter case), read directly: the fields that the steps above
// settle for it. For such text they skip the first token (it ends in a
// comma, whatever its letters), find the month by name and take the four
// numbers as they stand; the year only is adjusted as there. False for
// anything else, which takes those steps.
bool fixdate(const char* p, Py_ssize_t n, DateFields* f) {
    if (n != 29 || p[3] != ',' || p[4] != ' ' || p[7] != ' ' || p[11] != ' ' || p[16] != ' ' || p[19] != ':' ||
        p[22] != ':' || p[25] != ' ' || !is_word(p + 26, 3, "gmt"))
        return false;
    static const int letters[] = {0, 1, 2, 8, 9, 10};
    static const int digits[] = {5, 6, 12, 13, 14, 15, 17, 18, 20, 21, 23, 24};
    for (int i : letters)
        if (!ascii_letter(p[i])) return false;
    for (int i : digits)
        if (!ascii_digit(p[i])) return false;
    // The three letters of the month, lower-cased, against the names.
    uint32_t key = uint32_t(p[8] | 0x20) << 16 | uint32_t(p[9] | 0x20) << 8 | uint32_t(p[10] | 0x20);
    long long month = 0;
    for (int i = 0; i < 12; i++) {
        const char* m = date_month_names[i];
        if (key == (uint32_t(m[0]) << 16 | uint32_t(m[1]) << 8 | uint32_t(m[2]))) {
            month = i + 1;
            break;
        }
    }
    if (!month) return false;
    long long year = two_digits(p + 12) * 100 + two_digits(p + 14);
    if (year < 100) year += year > 68 ? 1900 : 2000;
    *f = {year, month, two_digits(p + 5), two_digits(p + 17), two_digits(p + 20), two_digits(p + 23)};
    return true;
}

// The naive datetime of the fields (the constructor checks their ranges).
PyObject* naive_datetime(const DateFields& f) {
    return PyDateTimeAPI->DateTime_FromDateAndTime(int(f.year), int(f.month), int(f.day), int(f.hour),
                                                   int(f.minute), int(f.second), 0, Py_None,
                                                   PyDateTimeAPI->DateTimeType);
}

// The naive datetime that parsedate_to_datetime(text).replace(tzinfo=None)
// gives for ASCII text, or null with its error set; `*fallback` when the
// standard function must decide.
PyObject* date_from_ascii(const char* p, Py_ssize_t n, PyObject* text, bool* fallback) {
    DateFields f;
    *fallback = false;
    switch (parse_date_ascii(p, n, &f)) {
        case DateParse::ok: return naive_datetime(f);
        case DateParse::invalid: {
            Ref shown = text ? Ref::borrow(text) : Ref::steal(PyUnicode_DecodeASCII(p, n, nullptr));
            if (shown) PyErr_Format(PyExc_ValueError, "Invalid date value or format \"%U\"", shown.get());
            return nullptr;
        }
        case DateParse::fallback: break;
    }
    *fallback = true;
    return nullptr;
}

// True while the namespace's parsedate_to_datetime is the standard one, as
// it was loaded, and the dates it builds are the interpreter's own type.
bool native_dates() { return native_datetime && parsedate_guard.holds(); }

// parsedate_to_datetime(text).replace(tzinfo=None), checked as a datetime,
// through the parsedate_to_datetime the namespace holds now.
PyObject* from_text_general(PyObject* text) {
    Ref parse = Ref::steal(kv::lookup_global(n_parsedate));
    if (!parse) return nullptr;
    Ref parsed = Ref::steal(kv::call(parse.get(), text));
    if (!parsed) return nullptr;
    PyObject* argv[] = {parsed.get(), Py_None};
    Ref r = Ref::steal(PyObject_VectorcallMethod(n_replace, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                 kwnames_tzinfo));
    if (!r) return nullptr;
    if (!kv::check_instance(r.get(), datetime_type)) return nullptr;
    return r.release();
}

// parsedate_to_datetime(text).replace(tzinfo=None), checked as a datetime.
PyObject* from_text(PyObject* text) {
    if (PyUnicode_CheckExact(text) && PyUnicode_IS_ASCII(text) && native_dates()) {
        bool fallback;
        PyObject* r = date_from_ascii(static_cast<const char*>(PyUnicode_DATA(text)), PyUnicode_GET_LENGTH(text),
                                      text, &fallback);
        if (!fallback) return r;
    }
    return from_text_general(text);
}

bool ascii_bytes(const char* p, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; i++)
        if (static_cast<unsigned char>(p[i]) >= 0x80) return false;
    return true;
}

// The date of UTF-8 date bytes: read straight from ASCII bytes when the
// standard parser is in place (such bytes always decode), through the text
// otherwise.
// The native readers of date bytes: the fixed form first, then the general
// ASCII reader. *fallback is set when neither applies.
PyObject* native_from_bytes(const char* p, Py_ssize_t n, bool* fallback) {
    DateFields f;
    *fallback = false;
    if (fixdate(p, n, &f)) return naive_datetime(f);
    *fallback = true;
    return ascii_bytes(p, n) ? date_from_ascii(p, n, nullptr, fallback) : nullptr;
}

PyObject* parsedate_standard(PyObject* input) {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(input), PyBytes_GET_SIZE(input), nullptr));
    return text ? from_text_general(text.get()) : nullptr;
}

// What from_bytes does for ASCII date text while its guard holds.
PyObject* parsedate_stand_in(PyObject* input) {
    bool fallback;
    PyObject* r = native_from_bytes(PyBytes_AS_STRING(input), PyBytes_GET_SIZE(input), &fallback);
    return fallback ? parsedate_standard(input) : r;
}

// Every month and day name, each form, and text that is refused. (The zone
// table is compared as a whole: standard_zone_table.)
const std::string_view parsedate_probes[] = {
    "Mon 05 Jan 2015 01:02:03 UT"sv, "Tue 03 Feb 2015 01:02:03 +0200"sv, "Wed, 04 Mar 2015 01:02:03 GMT"sv,
    "Thu 02 Apr 15 01:02 Z"sv, "Fri 01 May 69 01:02:03 -0000"sv, "Sat 06 Jun 2015 01.02.03 EST"sv,
    "Sun, 05 Jul 2015 01:02:03 PDT"sv, "Mon 03 Aug 2015 01:02:03 +2400"sv, "Wednesday, 21-Sep-15 07:28:00 GMT"sv,
    "Wed Oct 21 07:28:00 2015"sv, "21 November 2015 07:28:00 CEST"sv, "Tue, 01 Dec 2015 01:02:03 XYZ"sv,
    "Wed, 32 Oct 2015 07:28:00 GMT"sv, "Thu, 29 Feb 2024 23:59:59 GMT"sv, "Fri, 29 Feb 2023 07:28:00 GMT"sv,
    "soon"sv, ""sv,
};

// The native reader knows the zones of the standard table as it ships; with
// an entry added or changed before the module loaded, the standard function
// reads every date. (Changes made later are seen by the guard's watch of the
// table.)
bool standard_zone_table() {
    Ref module = Ref::steal(PyImport_GetModule(n_parseaddr));
    if (!module || !PyModule_CheckExact(module.get())) {
        PyErr_Clear();
        return false;
    }
    PyObject* zones = PyDict_GetItemWithError(PyModule_GetDict(module.get()), n_timezones);
    if (!zones || !PyDict_CheckExact(zones) || PyDict_GET_SIZE(zones) != Py_ssize_t(std::size(date_zones))) {
        PyErr_Clear();
        return false;
    }
    for (const auto& z : date_zones) {
        char name[8] = {};
        for (size_t i = 0; z.name[i] && i + 1 < sizeof name; i++) name[i] = char(z.name[i] - 32 * (z.name[i] >= 'a'));
        PyObject* offset = PyDict_GetItemString(zones, name);
        if (!offset || !PyLong_CheckExact(offset) || PyLong_AsLong(offset) != z.offset) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// The guard of the native date reader, armed by the exec step.
void arm_parsedate() {
    arm_function(parsedate_guard, n_parsedate, "email.utils", "parsedate_to_datetime",
                 probe(parsedate_probes, parsedate_standard, parsedate_stand_in), standard_zone_table);
}

PyObject* from_bytes(const char* p, Py_ssize_t n) {
    if (native_dates()) {
        bool fallback;
        PyObject* r = native_from_bytes(p, n, &fallback);
        if (!fallback) return r;
    }
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(p, n, nullptr));
    if (!text) return nullptr;
    return from_text(text.get());
}

PyObject* from_format_impl(PyObject* value) {
    if (value == Py_None) return kv::none_attribute_error("decode");
    if (PyBytes_CheckExact(value)) return from_bytes(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value));
    Ref text = Ref::steal(kv::call_method(value, n_decode));
    if (!text) return nullptr;
    return from_text(text.get());
}

PyObject* from_format_body(PyObject*, Arg* args) { return from_format_impl(args[0].o); }
kv::FuncDef fd_from_format("datetime_from_cookie_format", from_format_body, {{"value", ParamType::Bytes}});

PyObject* from_format_entry(PyObject* value, int) {
    PyObject* r = from_format_impl(value);
    return r ? r : kv::fail(fd_from_format.site);
}

// ===========================================================================
// Percent-encoding

// Bytes that the standard quote() leaves as they are (with its default
// safe="/"): ASCII letters, digits, "_.-~" and "/".
struct SafeTable {
    bool safe[256] = {};
    constexpr SafeTable() {
        for (int c = 'a'; c <= 'z'; c++) safe[c] = true;
        for (int c = 'A'; c <= 'Z'; c++) safe[c] = true;
        for (int c = '0'; c <= '9'; c++) safe[c] = true;
        for (unsigned char c : {'_', '.', '-', '~', '/'}) safe[c] = true;
    }
};
constexpr SafeTable quote_safe;
const char hex_upper[] = "0123456789ABCDEF";

// The n bytes at `p` with each byte that `keep` refuses written as a %XX
// escape (upper-case hex); `escapes` is how many bytes that is.
template <class Keep>
PyObject* percent_escaped(const unsigned char* p, Py_ssize_t n, Py_ssize_t escapes, Keep keep) {
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

// quote(s).encode() for an exact str with the standard quote().
PyObject* quote_str_native(PyObject* s) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n == 0) return Py_NewRef(kv::empty_bytes);
    Ref utf8;
    const unsigned char* p;
    if (PyUnicode_IS_ASCII(s)) {
        p = static_cast<const unsigned char*>(PyUnicode_DATA(s));
    } else {
        utf8 = Ref::steal(PyUnicode_AsUTF8String(s));
        if (!utf8) return nullptr;
        p = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(utf8.get()));
        n = PyBytes_GET_SIZE(utf8.get());
    }
    Py_ssize_t unsafe = 0;
    for (Py_ssize_t i = 0; i < n; i++) unsafe += !quote_safe.safe[p[i]];
    if (unsafe == 0 && utf8) return utf8.release();
    if (unsafe == 0) return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p), n);
    return percent_escaped(p, n, unsafe, [](unsigned char c) { return quote_safe.safe[c]; });
}

// quote(obj).encode(), through the `quote` the namespace holds now.
PyObject* quote_encode_general(PyObject* obj) {
    Ref quote = Ref::steal(kv::lookup_global(n_quote));
    if (!quote) return nullptr;
    Ref text = Ref::steal(kv::call(quote.get(), obj));
    if (!text) return nullptr;
    return encode_text(text.get());
}

// Every code point up to U+00FF, as UTF-8.
constexpr auto latin1_text = [] {
    std::array<char, 128 + 2 * 128> a{};
    size_t k = 0;
    for (int c = 0; c < 256; c++) {
        if (c < 0x80) {
            a[k++] = char(c);
        } else {
            a[k++] = char(0xC0 | c >> 6);
            a[k++] = char(0x80 | (c & 0x3F));
        }
    }
    return a;
}();

const std::string_view quote_probes[] = {
    ""sv, {latin1_text.data(), latin1_text.size()}, "a/b~_.-Z9"sv, "caf\xc3\xa9 \xe2\x82\xac\xf0\x9f\x98\x80"sv,
    "\xed\xa0\x80"sv,  // a lone surrogate: UnicodeEncodeError
};

// The guard of quote_str_native, armed by the exec step.
void arm_quote() {
    arm_function(quote_guard, n_quote, "urllib.parse", "quote",
                 probe(quote_probes, probe_with<probe_text, quote_encode_general>,
                       probe_with<probe_text, quote_str_native>));
}

// quote(obj).encode(), with `quote` as the namespace holds it now.
PyObject* quote_encode(PyObject* obj) {
    if (PyUnicode_CheckExact(obj) && quote_guard.holds()) return quote_str_native(obj);
    return quote_encode_general(obj);
}

// unquote(raw.decode()) with the standard unquote(): UTF-8 strict decoding,
// then percent escapes decoded per maximal ASCII run as UTF-8 with
// replacement of invalid sequences; non-ASCII text is kept as it stands.
PyObject* decode_unquote_native(const char* p, Py_ssize_t n) {
    bool percent = false, ascii = true;
    for (Py_ssize_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        percent |= c == '%';
        ascii &= c < 0x80;
    }
    if (!percent) return PyUnicode_DecodeUTF8(p, n, nullptr);
    kv::Scratch buf(n);
    if (!buf.get()) return nullptr;
    if (ascii) {
        Py_ssize_t m = kv::percent_decode(p, n, buf.get());
        return PyUnicode_DecodeUTF8(buf.get(), m, "replace");
    }
    // Mixed text: validate as a whole first, as the strict decoding does.
    {
        Ref check = Ref::steal(PyUnicode_DecodeUTF8(p, n, nullptr));
        if (!check) return nullptr;
    }
    Ref parts = Ref::steal(PyList_New(0));
    if (!parts) return nullptr;
    Py_ssize_t i = 0;
    while (i < n) {
        Py_ssize_t start = i;
        bool high = static_cast<unsigned char>(p[i]) >= 0x80;
        while (i < n && (static_cast<unsigned char>(p[i]) >= 0x80) == high) i++;
        Ref piece;
        if (high) {
            piece = Ref::steal(PyUnicode_DecodeUTF8(p + start, i - start, nullptr));
        } else {
            Py_ssize_t m = kv::percent_decode(p + start, i - start, buf.get());
            piece = Ref::steal(PyUnicode_DecodeUTF8(buf.get(), m, "replace"));
        }
        if (!piece || PyList_Append(parts.get(), piece.get()) < 0) return nullptr;
    }
    return PyUnicode_Join(kv::empty_str, parts.get());
}

// unquote(raw.decode()), through the `unquote` the namespace holds now.
PyObject* decode_unquote_general(const char* p, Py_ssize_t n) {
    Ref unquote = Ref::steal(kv::lookup_global(n_unquote));
    if (!unquote) return nullptr;
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(p, n, nullptr));
    if (!text) return nullptr;
    return kv::call(unquote.get(), text.get());
}

PyObject* unquote_standard(PyObject* input) {
    return decode_unquote_general(PyBytes_AS_STRING(input), PyBytes_GET_SIZE(input));
}

PyObject* unquote_stand_in(PyObject* input) {
    return decode_unquote_native(PyBytes_AS_STRING(input), PyBytes_GET_SIZE(input));
}

// Escapes that put every hex digit, in either case, first and last.
constexpr auto hex_escapes = [] {
    const char digits[] = "0123456789ABCDEFabcdef";
    std::array<char, 22 * 3> a{};
    for (int i = 0; i < 22; i++) {
        a[3 * i] = '%';
        a[3 * i + 1] = digits[i];
        a[3 * i + 2] = digits[21 - i];
    }
    return a;
}();

const std::string_view unquote_probes[] = {
    ""sv, "abc"sv, "a+b c"sv, {hex_escapes.data(), hex_escapes.size()}, "%"sv, "%4"sv, "%4g%zz%"sv, "%%41"sv,
    "%C3%A9%E2%82"sv, "%e2%82%ac%ff"sv, "caf\xc3\xa9%20%C3\xc3\xa9"sv,
    "\xff"sv,  // not UTF-8: UnicodeDecodeError
};

// The guard of decode_unquote_native, armed by the exec step.
void arm_unquote() {
    arm_function(unquote_guard, n_unquote, "urllib.parse", "unquote",
                 probe(unquote_probes, unquote_standard, unquote_stand_in));
}

// unquote(raw.decode()), with `unquote` as the namespace holds it now.
PyObject* decode_unquote(const char* p, Py_ssize_t n) {
    if (unquote_guard.holds()) return decode_unquote_native(p, n);
    return decode_unquote_general(p, n);
}

// ===========================================================================
// Set-Cookie parsing

kv::Site split_value_site("split_value");

// value[:i], value[i + 1:] at the first occurrence of separator.
PyObject* split_value_impl(PyObject* value, PyObject* separator) {
    if (value == Py_None) return kv::none_attribute_error("index");
    if (!PyBytes_CheckExact(value)) return kv::expected_error("bytes", value);
    const char* p = PyBytes_AS_STRING(value);
    Py_ssize_t n = PyBytes_GET_SIZE(value);
    Py_ssize_t at;
    if (PyBytes_CheckExact(separator)) {
        Py_ssize_t m = PyBytes_GET_SIZE(separator);
        const char* found = m == 0 ? p : kv::find_bytes(p, size_t(n), PyBytes_AS_STRING(separator), size_t(m));
        if (!found) {
            PyErr_SetString(PyExc_ValueError, "subsection not found");
            return nullptr;
        }
        at = found - p;
    } else {
        Ref i = Ref::steal(kv::call_method(value, n_index, separator));
        if (!i) return nullptr;
        at = PyLong_AsSsize_t(i.get());
        if (at == -1 && PyErr_Occurred()) return nullptr;
    }
    if (at > 0x7fffffff) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return nullptr;
    }
    Ref head = Ref::steal(PyBytes_FromStringAndSize(p, at));
    if (!head) return nullptr;
    Py_ssize_t from = at + 1 < n ? at + 1 : n;
    Ref tail = Ref::steal(PyBytes_FromStringAndSize(p + from, n - from));
    if (!tail) return nullptr;
    return PyTuple_Pack(2, head.get(), tail.get());
}

PyObject* split_value(PyObject* value, PyObject* separator) {
    PyObject* r = split_value_impl(value, separator);
    return r ? r : kv::fail(split_value_site);
}

struct Span {
    const char* p = nullptr;
    Py_ssize_t n = 0;
    bool set() const { return p != nullptr; }
};

// int(text) for a max-age text, then the 64-bit conversion.
bool parse_max_age(const char* p, Py_ssize_t n, long long* out) {
    // Plain decimal numbers without sign, spaces or underscores, short
    // enough not to overflow.
    if (n > 0 && n <= 18) {
        long long v = 0;
        Py_ssize_t i = 0;
        for (; i < n; i++) {
            unsigned char c = static_cast<unsigned char>(p[i]);
            if (c < '0' || c > '9') break;
            v = v * 10 + (c - '0');
        }
        if (i == n) {
            *out = v;
            return true;
        }
    }
    Ref text = Ref::steal(PyBytes_FromStringAndSize(p, n));
    if (!text) return false;
    Ref number = Ref::steal(PyNumber_Long(text.get()));
    if (!number) return false;
    return kv::to_int64(number.get(), out) == 0;
}

// The ValueError for a first fragment without "=", raised while the error
// of the failed search is being handled.
void invalid_fragment(const char* p, Py_ssize_t n) {
    PyErr_SetString(PyExc_ValueError, "subsection not found");
    kv::add_traceback(split_value_site);
    PyObject* first = PyErr_GetRaisedException();
    Ref fragment = Ref::steal(PyBytes_FromStringAndSize(p, n));
    Ref shown = fragment ? Ref::steal(PyObject_Str(fragment.get())) : Ref();
    if (shown) shown = Ref::steal(kv::shown(shown.get()));  // bounded, whatever the input
    if (!shown) {
        Py_DECREF(first);
        return;
    }
    PyErr_Format(PyExc_ValueError, "Invalid name=value fragment: %U", shown.get());
    PyObject* second = PyErr_GetRaisedException();
    PyException_SetContext(second, first);  // steals `first`
    PyErr_SetRaisedException(second);
}

PyObject* decode_or_none(const Span& s) {
    if (!s.set() || s.n == 0) return Py_NewRef(Py_None);
    return PyUnicode_DecodeUTF8(s.p, s.n, nullptr);
}

// Next fragment of a value split at every `sep` (one or two bytes).
struct Fragments {
    const char* p;
    const char* end;
    const char* sep;
    size_t seplen;
    bool done = false;
    bool next(Span* out) {
        if (done) return false;
        const char* at = kv::find_bytes(p, size_t(end - p), sep, seplen);
        if (!at) {
            out->p = p;
            out->n = end - p;
            done = true;
            return true;
        }
        out->p = p;
        out->n = at - p;
        p = at + seplen;
        return true;
    }
};

PyObject* parse_impl(PyObject* raw) {
    if (raw == Py_None) return kv::none_attribute_error("split");
    if (!PyBytes_CheckExact(raw)) return kv::expected_error("bytes", raw);
    const char* p = PyBytes_AS_STRING(raw);
    Py_ssize_t n = PyBytes_GET_SIZE(raw);
    // Steps 1 and 2: fragments at "; ", or at ";" when there is no "; ".
    bool spaced = kv::find_bytes(p, size_t(n), "; ", 2) != nullptr;
    Fragments it{p, p + n, spaced ? "; " : ";", spaced ? size_t(2) : size_t(1)};

    // Step 3: name and value of the first fragment.
    Span first;
    it.next(&first);
    const char* eq = static_cast<const char*>(std::memchr(first.p, '=', size_t(first.n)));
    if (!eq) {
        invalid_fragment(first.p, first.n);
        return nullptr;
    }
    Span name{first.p, eq - first.p};
    Span value{eq + 1, first.p + first.n - (eq + 1)};
    // Step 4: quotes around a value that holds a space.
    if (value.n > 0 && value.p[0] == '"' && std::memchr(value.p, ' ', size_t(value.n))) {
        while (value.n > 0 && value.p[0] == '"') {
            value.p++;
            value.n--;
        }
        while (value.n > 0 && value.p[value.n - 1] == '"') value.n--;
    }

    // Steps 5 and 6: the attributes, the first fragment (cut above) included.
    Span expires, domain, path, same_site;
    int http_only = 0, secure = 0;
    long long max_age = -1;
    Span f = first;
    const char* e = eq;
    for (;;) {
        if (e) {
            Py_ssize_t kn = e - f.p;
            Span text{e + 1, f.p + f.n - (e + 1)};
            if (is_word(f.p, kn, "expires")) expires = text;
            else if (is_word(f.p, kn, "domain")) domain = text;
            else if (is_word(f.p, kn, "path")) path = text;
            else if (is_word(f.p, kn, "max-age")) {
                if (!parse_max_age(text.p, text.n, &max_age)) return nullptr;
            } else if (is_word(f.p, kn, "samesite")) same_site = text;
        } else if (is_word(f.p, f.n, "httponly")) {
            http_only = 1;
        } else if (is_word(f.p, f.n, "secure")) {
            secure = 1;
        }
        if (!it.next(&f)) break;
        e = static_cast<const char*>(std::memchr(f.p, '=', size_t(f.n)));
    }

    // Step 7: the Cookie.
    Ref name_text = Ref::steal(decode_unquote(name.p, name.n));
    if (!name_text) return nullptr;
    Ref value_text = Ref::steal(decode_unquote(value.p, value.n));
    if (!value_text) return nullptr;
    Ref expires_obj;
    if (!expires.set() || expires.n == 0) {
        expires_obj = Ref::borrow(Py_None);
    } else {
        expires_obj = Ref::steal(from_bytes(expires.p, expires.n));
        if (!expires_obj) return kv::fail(fd_from_format.site);
    }
    Ref domain_obj = Ref::steal(decode_or_none(domain));
    if (!domain_obj) return nullptr;
    Ref path_obj = Ref::steal(decode_or_none(path));
    if (!path_obj) return nullptr;
    SameSite mode = same_site.set() ? mode_from_text(same_site.p, same_site.n) : mode_undefined;
    int mode_value;
    if (mode_round_trip(mode, &mode_value, cookie_init_site) < 0) return nullptr;
    return make_cookie(name_text.get(), value_text.get(), expires_obj.get(), domain_obj.get(), path_obj.get(),
                       http_only, secure, max_age, mode_value);
}

PyObject* parse_body(PyObject*, Arg* args) { return parse_impl(args[0].o); }
kv::FuncDef fd_parse("parse_cookie", parse_body, {{"raw_value", ParamType::Bytes}});

CookieObject* parse_entry(PyObject* raw, int) {
    PyObject* r = parse_impl(raw);
    if (!r) kv::fail(fd_parse.site);
    return as_cookie(r);
}

// ===========================================================================
// Set-Cookie writing

kv::Site write_site("write_cookie_for_response");

// The items of the header value, joined with "; " at the end.
class Items {
public:
    ~Items() {
        for (int i = 0; i < n_; i++) Py_XDECREF(owned_[i]);
    }
    // A literal prefix and a buffer; `own` (stolen) is the object the buffer
    // lies in, kept alive until the join.
    void add(const char* p, Py_ssize_t n) { add2(p, n, nullptr, 0); }
    void add2(const char* a, Py_ssize_t an, const char* b, Py_ssize_t bn, PyObject* own = nullptr) {
        items_[n_] = {a, an, b, bn};
        owned_[n_] = own;
        n_++;
    }
    // Length of the first item, once joined.
    Py_ssize_t first_length() const { return items_[0].an + items_[0].bn; }
    // An object that must be bytes-like by the time of the join (steals it).
    void add_object(PyObject* own) { add2(nullptr, 0, nullptr, 0, own); }

    PyObject* join() {
        Py_ssize_t total = 2 * (n_ - 1);
        for (int i = 0; i < n_; i++) {
            Item& it = items_[i];
            if (!it.a) {
                PyObject* o = owned_[i];
                if (!PyBytes_Check(o)) {
                    if (!PyObject_CheckBuffer(o)) {
                        PyErr_Format(PyExc_TypeError, "sequence item %d: expected a bytes-like object, %.80s found",
                                     i, Py_TYPE(o)->tp_name);
                        return nullptr;
                    }
                    PyObject* b = PyBytes_FromObject(o);
                    if (!b) return nullptr;
                    Py_SETREF(owned_[i], b);
                    o = b;
                }
                it.a = PyBytes_AS_STRING(o);
                it.an = PyBytes_GET_SIZE(o);
            }
            total += it.an + it.bn;
        }
        PyObject* out = PyBytes_FromStringAndSize(nullptr, total);
        if (!out) return nullptr;
        char* w = PyBytes_AS_STRING(out);
        for (int i = 0; i < n_; i++) {
            if (i) {
                *w++ = ';';
                *w++ = ' ';
            }
            std::memcpy(w, items_[i].a, size_t(items_[i].an));
            w += items_[i].an;
            if (items_[i].bn) std::memcpy(w, items_[i].b, size_t(items_[i].bn));
            w += items_[i].bn;
        }
        return out;
    }

private:
    struct Item {
        const char* a;
        Py_ssize_t an;
        const char* b;
        Py_ssize_t bn;
    };
    Item items_[8];
    PyObject* owned_[8] = {};
    int n_ = 0;
};

// prefix + obj, as bytes concatenation does it.
PyObject* concat(PyObject* prefix, PyObject* obj) { return PyNumber_Add(prefix, obj); }

kv::Bytes bytes_expires("Expires=");

// Text encoded as UTF-8 (strict): a view into the str when it is ASCII.
bool utf8_view(PyObject* s, const char** p, Py_ssize_t* n, Ref* hold) {
    if (PyUnicode_IS_ASCII(s)) {
        *p = static_cast<const char*>(PyUnicode_DATA(s));
        *n = PyUnicode_GET_LENGTH(s);
        return true;
    }
    *hold = Ref::steal(PyUnicode_AsUTF8String(s));
    if (!*hold) return false;
    *p = PyBytes_AS_STRING(hold->get());
    *n = PyBytes_GET_SIZE(hold->get());
    return true;
}

// A character that ends an attribute (";") or breaks the header (a control
// character) makes the writer refuse the cookie.
bool attribute_text_safe(const char* attribute, const char* p, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        if (c < 0x20 || c == 0x7f || c == ';') {
            Ref ch = Ref::steal(PyUnicode_FromOrdinal(c));
            if (ch)
                PyErr_Format(PyExc_ValueError,
                             "Cookie %s contains a character that cannot be written in Set-Cookie: %R", attribute,
                             ch.get());
            return false;
        }
    }
    return true;
}

// What the writer does with each byte of a path's UTF-8 form. A browser
// compares the cookie's path with the request path as it sends it, in which
// space, ", #, <, >, ?, `, {, } and every byte of a non-ASCII character are
// %XX escapes (the URL standard's path percent-encode set): the path is
// written the same way, so that the cookie comes back. "%" and everything
// else stay as they are (an escape already written is kept); ";" and the
// ASCII control characters are refused.
enum : unsigned char { path_keep = 0, path_escape = 1, path_refuse = 2 };
struct PathTable {
    unsigned char kind[256] = {};
    constexpr PathTable() {
        for (int c = 0; c < 0x20; c++) kind[c] = path_refuse;
        kind[0x7f] = kind[';'] = path_refuse;
        for (unsigned char c : {' ', '"', '#', '<', '>', '?', '`', '{', '}'}) kind[c] = path_escape;
        for (int c = 0x80; c < 256; c++) kind[c] = path_escape;
    }
};
constexpr PathTable path_bytes;

// The path as written in Set-Cookie: a view into the str when it is ASCII
// and needs no escape, the bytes in `hold` otherwise.
bool path_view(PyObject* path, const char** p, Py_ssize_t* n, Ref* hold) {
    if (!utf8_view(path, p, n, hold)) return false;
    Py_ssize_t escapes = 0;
    unsigned char kinds = 0;
    for (Py_ssize_t i = 0; i < *n; i++) {
        unsigned char k = path_bytes.kind[static_cast<unsigned char>((*p)[i])];
        kinds |= k;
        escapes += k & path_escape;
    }
    if ((kinds & path_refuse) && !attribute_text_safe("path", *p, *n)) return false;
    if (escapes == 0) return true;
    Ref escaped = Ref::steal(percent_escaped(reinterpret_cast<const unsigned char*>(*p), *n, escapes,
                                             [](unsigned char c) { return path_bytes.kind[c] == path_keep; }));
    if (!escaped) return false;
    *hold = std::move(escaped);
    *p = PyBytes_AS_STRING(hold->get());
    *n = PyBytes_GET_SIZE(hold->get());
    return true;
}

// Whatever the items came from (a rebound quote, a date's own strftime),
// the header value never holds CR, LF or NUL.
bool header_text_safe(PyObject* out) {
    const char* p = PyBytes_AS_STRING(out);
    Py_ssize_t n = PyBytes_GET_SIZE(out);
    const char* first = nullptr;
    for (char c : {'\r', '\n', '\0'}) {
        const char* at = static_cast<const char*>(std::memchr(p, c, size_t(first ? first - p : n)));
        if (at) first = at;
    }
    if (!first) return true;
    Ref ch = Ref::steal(PyUnicode_FromOrdinal(static_cast<unsigned char>(*first)));
    if (ch)
        PyErr_Format(PyExc_ValueError, "Set-Cookie value contains a character that cannot be written in a header: %R",
                     ch.get());
    return false;
}

PyObject* write_impl(PyObject* self) {
    CookieObject* c = as_cookie(self);
    Items items;
    // 1: quoted name "=" quoted value
    Ref name = Ref::steal(get_name(self));
    if (!name) return nullptr;
    Ref qname = Ref::steal(quote_encode(name.get()));
    if (!qname) return nullptr;
    Ref value = Ref::steal(get_value(self));
    if (!value) return nullptr;
    Ref qvalue = Ref::steal(quote_encode(value.get()));
    if (!qvalue) return nullptr;
    Ref first;
    if (PyBytes_CheckExact(qname.get()) && PyBytes_CheckExact(qvalue.get())) {
        Py_ssize_t a = PyBytes_GET_SIZE(qname.get()), b = PyBytes_GET_SIZE(qvalue.get());
        first = Ref::steal(PyBytes_FromStringAndSize(nullptr, a + 1 + b));
        if (!first) return nullptr;
        char* w = PyBytes_AS_STRING(first.get());
        std::memcpy(w, PyBytes_AS_STRING(qname.get()), size_t(a));
        w[a] = '=';
        std::memcpy(w + a + 1, PyBytes_AS_STRING(qvalue.get()), size_t(b));
    } else {
        Ref head = Ref::steal(concat(qname.get(), bytes_eq));
        if (!head) return nullptr;
        first = Ref::steal(concat(head.get(), qvalue.get()));
        if (!first) return nullptr;
    }
    items.add_object(first.release());
    const char* p;
    Py_ssize_t n;

    // 2: Expires. The date is formatted from a reference of our own: its
    // strftime may run Python code that reassigns the field.
    int t = kv::truth(c->expires);
    if (t < 0) return nullptr;
    if (t) {
        Ref expires = Ref::borrow(c->expires);
        Ref date = Ref::steal(to_format_impl(expires.get()));
        if (!date) return kv::fail(fd_to_format.site);
        if (PyBytes_CheckExact(date.get())) {
            p = PyBytes_AS_STRING(date.get());
            n = PyBytes_GET_SIZE(date.get());
            items.add2("Expires=", 8, p, n, date.release());
        } else {
            Ref item = Ref::steal(concat(bytes_expires, date.get()));
            if (!item) return nullptr;
            items.add_object(item.release());
        }
    }
    // 3: Max-Age
    char digits[24];
    if (c->max_age > -1) {
        int len = PyOS_snprintf(digits, sizeof digits, "%lld", c->max_age);
        items.add2("Max-Age=", 8, digits, len);
    }
    // 4, 5: Domain, Path. The items own what their bytes point into: the
    // join may run Python code (a bytes-like first item) that reassigns the
    // fields.
    // Neither may end the attribute or the header line early.
    if (c->domain != Py_None && PyUnicode_GET_LENGTH(c->domain) > 0) {
        Ref hold;
        if (!utf8_view(c->domain, &p, &n, &hold) || !attribute_text_safe("domain", p, n)) return nullptr;
        items.add2("Domain=", 7, p, n, hold ? hold.release() : Py_NewRef(c->domain));
    }
    if (c->path != Py_None && PyUnicode_GET_LENGTH(c->path) > 0) {
        Ref hold;
        if (!path_view(c->path, &p, &n, &hold)) return nullptr;
        items.add2("Path=", 5, p, n, hold ? hold.release() : Py_NewRef(c->path));
    }
    // 6, 7, 8: the flags and SameSite
    int mode = c->same_site;
    if (c->http_only) items.add("HttpOnly", 8);
    if (c->secure || mode == mode_strict || mode == mode_none) items.add("Secure", 6);
    if (mode == mode_strict) items.add("SameSite=Strict", 15);
    else if (mode == mode_lax) items.add("SameSite=Lax", 12);
    else if (mode == mode_none) items.add("SameSite=None", 13);
    Ref out = Ref::steal(items.join());
    if (!out || !header_text_safe(out.get())) return nullptr;
    // Browsers drop a cookie whose name and value (the "=" not counted)
    // exceed 4096 bytes; the bytes are still returned.
    Py_ssize_t pair = items.first_length() - 1;
    if (pair > max_value_length &&
        PyErr_WarnFormat(PyExc_UserWarning, 1,
                         "Set-Cookie name and value are %zd bytes long; browsers ignore cookies whose name and value "
                         "exceed %zd bytes",
                         pair, max_value_length) < 0)
        return nullptr;
    return out.release();
}

PyObject* write_cookie_for_response(CookieObject* cookie) {
    PyObject* r = write_impl(as_object(cookie));
    return r ? r : kv::fail(write_site);
}

// ===========================================================================
// Module

struct ExpectedType {
    const char* module;
    const char* name;
    size_t size;
    size_t align;
    PyTypeObject** store;
};

PyTypeObject* builtin_type_type = nullptr;
PyTypeObject* date_type = nullptr;
PyTypeObject* time_type = nullptr;
PyTypeObject* timedelta_type = nullptr;
PyTypeObject* tzinfo_type = nullptr;

// Fetch a type the module was compiled against and check its instance size.
int import_type(PyObject* module, const ExpectedType& e) {
    Ref obj = Ref::steal(PyObject_GetAttrString(module, e.name));
    if (!obj) return -1;
    if (!PyType_Check(obj.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", e.module, e.name);
        return -1;
    }
    PyTypeObject* t = reinterpret_cast<PyTypeObject*>(obj.get());
    Py_ssize_t basicsize = t->tp_basicsize, itemsize = t->tp_itemsize;
    if (itemsize) {
        size_t align = e.align;
        if (e.size % align) align = e.size % align;
        if (itemsize < Py_ssize_t(align)) itemsize = Py_ssize_t(align);
    }
    if (size_t(basicsize + itemsize) < e.size) {
        PyErr_Format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C "
                     "header, got %zd from PyObject",
                     e.module, e.name, Py_ssize_t(e.size), basicsize + itemsize);
        return -1;
    }
    // Formatted by Python, like the error above: the C runtime's printf of
    // older Windows knows no %zd.
    if (size_t(basicsize) > e.size &&
        PyErr_WarnFormat(PyExc_RuntimeWarning, 0,
                         "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C "
                         "header, got %zd from PyObject",
                         e.module, e.name, Py_ssize_t(e.size), basicsize) < 0)
        return -1;
    Py_XSETREF(*e.store, reinterpret_cast<PyTypeObject*>(obj.release()));
    return 0;
}

int import_types() {
    static const ExpectedType builtin_types[] = {
        {"builtins", "type", sizeof(PyHeapTypeObject), alignof(PyHeapTypeObject), &builtin_type_type},
    };
    static const ExpectedType datetime_types[] = {
        {"datetime", "date", sizeof(PyDateTime_Date), alignof(PyDateTime_Date), &date_type},
        {"datetime", "time", sizeof(PyDateTime_Time), alignof(PyDateTime_Time), &time_type},
        {"datetime", "datetime", sizeof(PyDateTime_DateTime), alignof(PyDateTime_DateTime), &datetime_type},
        {"datetime", "timedelta", sizeof(PyDateTime_Delta), alignof(PyDateTime_Delta), &timedelta_type},
        {"datetime", "tzinfo", sizeof(PyDateTime_TZInfo), alignof(PyDateTime_TZInfo), &tzinfo_type},
    };
    // Every attempt of the exec step fetches and validates all of them again.
    for (const ExpectedType& e : builtin_types)
        if (import_type(kv::builtins, e) < 0) return -1;
    Ref datetime = Ref::steal(PyImport_ImportModule("datetime"));
    if (!datetime) return -1;
    for (const ExpectedType& e : datetime_types)
        if (import_type(datetime.get(), e) < 0) return -1;
    // Dates are formatted from the fields directly only for the C type
    // itself, whose layout is the one compiled in.
    native_datetime = !(datetime_type->tp_flags & Py_TPFLAGS_HEAPTYPE) &&
                      datetime_type->tp_basicsize == Py_ssize_t(sizeof(PyDateTime_DateTime)) &&
                      std::strcmp(datetime_type->tp_name, "datetime.datetime") == 0 &&
                      datetime_type == PyDateTimeAPI->DateTimeType;
    return 0;
}

kv::Site mode_class_site("init kelvarn.cookies", kv::stringsource, true);

// CookieSameSiteMode = IntFlag("CookieSameSiteMode", [...], module=...), with
// every member listed by iteration.
int build_mode_class() {
    Ref enum_module = Ref::steal(PyImport_ImportModule("enum"));
    if (!enum_module) return -1;
    Ref int_flag = Ref::steal(PyObject_GetAttrString(enum_module.get(), "IntFlag"));
    if (!int_flag) return -1;
    Ref members = Ref::steal(Py_BuildValue("[(si)(si)(si)(si)]", "UNDEFINED", 0, "LAX", 1, "STRICT", 2, "NONE", 3));
    if (!members) return -1;
    Ref key = Ref::steal(PyUnicode_FromString("__module__"));
    if (!key) return -1;
    Ref module = Ref::borrow(PyDict_GetItemWithError(kv::module_dict, key.get()));
    if (!module) {
        if (PyErr_Occurred()) return -1;
        module = Ref::steal(PyUnicode_FromString(kv::module_info.full_name));
        if (!module) return -1;
    }
    Ref args = Ref::steal(Py_BuildValue("(sO)", "CookieSameSiteMode", members.get()));
    if (!args) return -1;
    Ref kwargs = Ref::steal(Py_BuildValue("{sO}", "module", module.get()));
    if (!kwargs) return -1;
    Ref cls = Ref::steal(PyObject_Call(int_flag.get(), args.get(), kwargs.get()));
    if (!cls) return -1;
    Ref all = Ref::steal(PyObject_GetAttrString(cls.get(), "__members__"));
    if (!all) return -1;
    Ref names = Ref::steal(PySequence_List(all.get()));
    if (!names) return -1;
    if (PyObject_SetAttrString(cls.get(), "_member_names_", names.get()) < 0) return -1;
    if (kv::bind("CookieSameSiteMode", cls.get()) < 0) return -1;
    // The members are cached while the namespace holds this class (see mode_to_python).
    Py_XSETREF(modes.cls, Py_NewRef(cls.get()));
    modes.version = 0;
    mode_guard.reset();
    mode_guard.key(kv::module_dict, n_mode_class);
    mode_guard.arm();
    return 0;
}

int export_table() {
    struct Entry {
        const char* name;
        void* fn;
        const char* signature;
    };
    const Entry entries[] = {
        {"parse_cookie", reinterpret_cast<void*>(parse_entry),
         "struct __pyx_obj_7kelvarn_7cookies_Cookie *(PyObject *, int __pyx_skip_dispatch)"},
        {"datetime_to_cookie_format", reinterpret_cast<void*>(to_format_entry),
         "PyObject *(PyDateTime_DateTime *, int __pyx_skip_dispatch)"},
        {"datetime_from_cookie_format", reinterpret_cast<void*>(from_format_entry),
         "PyDateTime_DateTime *(PyObject *, int __pyx_skip_dispatch)"},
        {"write_cookie_for_response", reinterpret_cast<void*>(write_cookie_for_response),
         "PyObject *(struct __pyx_obj_7kelvarn_7cookies_Cookie *)"},
        {"split_value", reinterpret_cast<void*>(split_value), "PyObject *(PyObject *, PyObject *)"},
        {"same_site_mode_from_bytes", reinterpret_cast<void*>(same_site_mode_from_bytes),
         "enum __pyx_t_7kelvarn_7cookies_CookieSameSiteMode (PyObject *)"},
    };
    for (const Entry& e : entries)
        if (kv::export_function(e.name, e.fn, e.signature) < 0) return -1;
    return 0;
}

int exec_module(PyObject*) {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) return -1;
    }
    // C function table.
    if (export_table() < 0) return -1;
    // Types.
    cookie_vtable.clone = clone_entry;
    if (PyType_Ready(&CookieType) < 0) return -1;
    if (kv::set_vtable(&CookieType, &cookie_vtable) < 0) return -1;
    if (kv::bind("Cookie", reinterpret_cast<PyObject*>(&CookieType)) < 0) return -1;
    if (kv::add_pickling(cookie_pickle) < 0) return -1;
    if (kv::add_exception(&CookieErrorType, PyExc_Exception, "CookieError") < 0) return -1;
    if (kv::add_exception(&ExceedsType, reinterpret_cast<PyObject*>(&CookieErrorType),
                          "CookieValueExceedsMaximumLength") < 0)
        return -1;
    // Types the module was built against, then the SameSite class.
    if (import_types() < 0) return -1;
    Py_XSETREF(utc_zone, Py_NewRef(PyDateTimeAPI->TimeZone_UTC));
    timezone_type = Py_TYPE(utc_zone);
    if (build_mode_class() < 0) return kv::fail_exec(mode_class_site);
    // Imports.
    {
        Ref datetime = Ref::steal(PyImport_ImportModule("datetime"));
        if (!datetime) return -1;
    }
    if (kv::import_from("urllib.parse", "quote") < 0) return -1;
    if (kv::import_from("urllib.parse", "unquote") < 0) return -1;
    if (kv::import_from("email.utils", "parsedate_to_datetime") < 0) return -1;
    if (!kwnames_tzinfo && !(kwnames_tzinfo = PyTuple_Pack(1, n_tzinfo.obj))) return -1;
    // The guards of the stand-ins, each armed beside its fast path.
    arm_quote();
    arm_unquote();
    arm_parsedate();
    if (arm_strftime() < 0) return -1;
    // Functions.
    if (kv::add_methods(&CookieType) < 0 || kv::add_methods(&CookieErrorType) < 0 || kv::add_methods(&ExceedsType) < 0)
        return -1;
    if (kv::add_functions() < 0) return -1;
    // Reconstructors.
    if (kv::add_reconstructor(error_pickle) < 0) return -1;
    if (kv::add_reconstructor(exceeds_pickle) < 0) return -1;
    if (kv::add_reconstructor(cookie_pickle) < 0) return -1;
    return 0;
}

}  // namespace

const kv::ModuleInfo kv::module_info = {"cookies", "kelvarn.cookies", "kelvarn/cookies.cpp", exec_module};

KV_MODULE_INIT(cookies)
