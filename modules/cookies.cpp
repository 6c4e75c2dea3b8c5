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
// The dates and percent-encoding are in cookies_codec.cpp, each stand-in
// with its guard (arm_quote, arm_unquote, arm_parsedate, arm_strftime), which
// exec_module arms.
#include "frame.hpp"
#include "typed.hpp"
#include "watch.hpp"

#include "cookies.h"
#include "cookies_codec.hpp"

#include <datetime.h>

#include <array>
#include <climits>
#include <clocale>
#include <cstring>
#include <iterator>
#include <string_view>
#include <utility>

// Objects bound by the exec step, shared with the codecs.
namespace kelvarn_cookies {
kv::Name n_encode("encode");
kv::Name n_decode("decode");
PyTypeObject* datetime_type = nullptr;
bool native_datetime = false;
PyObject* kwnames_tzinfo = nullptr;
PyObject* utc_zone = nullptr;
PyTypeObject* timezone_type = nullptr;
}  // namespace kelvarn_cookies

namespace {

using namespace kelvarn_cookies;
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
kv::Name n_index("index");
kv::Name n_tzinfo("tzinfo");
kv::Name n_init("__init__");
kv::Name n_mode_class("CookieSameSiteMode");
kv::Name n_undefined("UNDEFINED");
kv::Name n_lax("LAX");
kv::Name n_strict("STRICT");
kv::Name n_none("NONE");
kv::Name n_repr_prefix("<Cookie ");
kv::Name n_repr_sep(": ");
kv::Name n_repr_suffix("...>");
kv::Bytes bytes_eq("=");

const char exceeds_message[] =
    "The length of the cookie value exceeds the maximum length of 4096 bytes, and it would be ignored or "
    "truncated by clients. See: https://www.rfc-editor.org/rfc/rfc6265#section-6.1";

constexpr Py_ssize_t max_value_length = 4096;

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
// Cookie dates: the Python functions and C entries (the conversions are in
// cookies_codec.cpp)

PyObject* to_format_body(PyObject*, Arg* args) { return to_format_impl(args[0].o); }
kv::FuncDef fd_to_format("datetime_to_cookie_format", to_format_body,
                         {{"value", ParamType::Ext, Default::Required, 0, &datetime_type}});

PyObject* to_format_entry(PyObject* value, int) {
    PyObject* r = to_format_impl(value);
    return r ? r : kv::fail(fd_to_format.site);
}

PyObject* from_format_body(PyObject*, Arg* args) { return from_format_impl(args[0].o); }
kv::FuncDef fd_from_format("datetime_from_cookie_format", from_format_body, {{"value", ParamType::Bytes}});

PyObject* from_format_entry(PyObject* value, int) {
    PyObject* r = from_format_impl(value);
    return r ? r : kv::fail(fd_from_format.site);
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
    if (init_codecs() < 0) return -1;
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
