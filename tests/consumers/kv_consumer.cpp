// A native consumer of kelvarn's C-level interface, built the way any other
// native module of the package would be: against the installed declaration
// headers (kelvarn.get_include()), binding everything at import time.
//
// Each Python-visible function below makes one call through a typed table or
// the C function table, with the flag the caller chooses, and converts the
// C-level failure signal back into a raised exception.
#include <Python.h>
#include <datetime.h>

#include "cookies.h"
#include "headers.h"
#include "url.h"

namespace {

using HeadersObject = __pyx_obj_7kelvarn_7headers_Headers;
using HeaderObject = __pyx_obj_7kelvarn_7headers_Header;
using CookieObject = __pyx_obj_7kelvarn_7cookies_Cookie;
using URLObject = __pyx_obj_7kelvarn_3url_URL;

// ---------------------------------------------------------------------------
// Argument checks: the entries trust their arguments, so the consumer checks.

bool check_instance(PyObject* obj, PyTypeObject* type) {
    if (PyObject_TypeCheck(obj, type)) return true;
    PyErr_Format(PyExc_TypeError, "expected %s, got %.200s", type->tp_name, Py_TYPE(obj)->tp_name);
    return false;
}

bool check_bytes(PyObject* obj) {
    if (obj == Py_None || PyBytes_CheckExact(obj)) return true;
    PyErr_Format(PyExc_TypeError, "expected bytes or None, got %.200s", Py_TYPE(obj)->tp_name);
    return false;
}

bool check_str(PyObject* obj) {
    if (obj == Py_None || PyUnicode_CheckExact(obj)) return true;
    PyErr_Format(PyExc_TypeError, "expected str or None, got %.200s", Py_TYPE(obj)->tp_name);
    return false;
}

bool check_args(Py_ssize_t nargs, Py_ssize_t expected, const char* name) {
    if (nargs == expected) return true;
    PyErr_Format(PyExc_TypeError, "%s takes %zd arguments (%zd given)", name, expected, nargs);
    return false;
}

// A flag argument: any int.
bool get_flag(PyObject* obj, int* flag) {
    long v = PyLong_AsLong(obj);
    if (v == -1 && PyErr_Occurred()) return false;
    *flag = static_cast<int>(v);
    return true;
}

// Result of a void entry: the pending exception is the only failure signal.
PyObject* void_result() {
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Binding

PyObject* bind(PyObject*, PyObject* name) {
    const char* s = PyUnicode_AsUTF8(name);
    if (!s) return nullptr;
    int r;
    if (!strcmp(s, "headers"))
        r = kelvarn_headers_import();
    else if (!strcmp(s, "cookies"))
        r = kelvarn_cookies_import();
    else if (!strcmp(s, "url"))
        r = kelvarn_url_import();
    else {
        PyErr_Format(PyExc_ValueError, "unknown module %s", s);
        return nullptr;
    }
    if (r < 0) return nullptr;
    Py_RETURN_NONE;
}

// True when the instance's table pointer is the bound table of its class.
PyObject* bound_table(PyObject*, PyObject* obj) {
    void* table;
    void* bound;
    if (PyObject_TypeCheck(obj, KelvarnHeaders.HeadersType)) {
        table = reinterpret_cast<HeadersObject*>(obj)->__pyx_vtab;
        bound = KelvarnHeaders.Headers_vtab;
    } else if (PyObject_TypeCheck(obj, KelvarnCookies.CookieType)) {
        table = reinterpret_cast<CookieObject*>(obj)->__pyx_vtab;
        bound = KelvarnCookies.Cookie_vtab;
    } else if (PyObject_TypeCheck(obj, KelvarnURL.URLType)) {
        table = reinterpret_cast<URLObject*>(obj)->__pyx_vtab;
        bound = KelvarnURL.URL_vtab;
    } else {
        PyErr_SetString(PyExc_TypeError, "not a class with a typed method table");
        return nullptr;
    }
    return PyBool_FromLong(table == bound);
}

// ---------------------------------------------------------------------------
// kelvarn.headers

PyObject* header_fields(PyObject*, PyObject* obj) {
    if (!check_instance(obj, KelvarnHeaders.HeaderType)) return nullptr;
    auto* h = reinterpret_cast<HeaderObject*>(obj);
    return PyTuple_Pack(2, h->name, h->value);
}

PyObject* headers_values(PyObject*, PyObject* obj) {
    if (!check_instance(obj, KelvarnHeaders.HeadersType)) return nullptr;
    return Py_NewRef(reinterpret_cast<HeadersObject*>(obj)->values);
}

// headers_call(slot, flag, headers, *args): one call through the instance's
// typed method table.
PyObject* headers_call(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 3) {
        PyErr_SetString(PyExc_TypeError, "headers_call(slot, flag, headers, *args)");
        return nullptr;
    }
    const char* slot = PyUnicode_AsUTF8(args[0]);
    int flag;
    if (!slot || !get_flag(args[1], &flag) || !check_instance(args[2], KelvarnHeaders.HeadersType)) return nullptr;
    auto* h = reinterpret_cast<HeadersObject*>(args[2]);
    auto* t = h->__pyx_vtab;
    PyObject* const* a = args + 3;
    Py_ssize_t n = nargs - 3;
    if (!strcmp(slot, "keys")) {
        if (!check_args(n, 0, slot)) return nullptr;
        return t->keys(h, flag);
    }
    if (!strcmp(slot, "clone")) {
        if (!check_args(n, 0, slot)) return nullptr;
        return reinterpret_cast<PyObject*>(t->clone(h, flag));
    }
    if (!strcmp(slot, "merge")) {
        if (!check_args(n, 1, slot)) return nullptr;
        if (a[0] != Py_None && !PyList_CheckExact(a[0])) {
            PyErr_SetString(PyExc_TypeError, "expected list or None");
            return nullptr;
        }
        t->merge(h, a[0], flag);
        return void_result();
    }
    bool two = !strcmp(slot, "add") || !strcmp(slot, "set");
    if (!check_args(n, two ? 2 : 1, slot) || !check_bytes(a[0]) || (two && !check_bytes(a[1]))) return nullptr;
    if (!strcmp(slot, "add")) {
        t->add(h, a[0], a[1], flag);
        return void_result();
    }
    if (!strcmp(slot, "set")) {
        t->set(h, a[0], a[1], flag);
        return void_result();
    }
    if (!strcmp(slot, "get")) return t->get(h, a[0], flag);
    if (!strcmp(slot, "get_tuples")) return t->get_tuples(h, a[0], flag);
    if (!strcmp(slot, "get_single")) return t->get_single(h, a[0], flag);
    if (!strcmp(slot, "get_first")) return t->get_first(h, a[0], flag);
    if (!strcmp(slot, "remove")) {
        t->remove(h, a[0], flag);
        return void_result();
    }
    if (!strcmp(slot, "contains")) {
        int r = t->contains(h, a[0], flag);
        if (PyErr_Occurred()) return nullptr;
        return PyBool_FromLong(r);
    }
    PyErr_Format(PyExc_ValueError, "no slot %s", slot);
    return nullptr;
}

// ---------------------------------------------------------------------------
// kelvarn.cookies

PyObject* parse_cookie(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    int flag;
    if (!check_args(nargs, 2, "parse_cookie") || !check_bytes(args[0]) || !get_flag(args[1], &flag)) return nullptr;
    return reinterpret_cast<PyObject*>(KelvarnCookies.parse_cookie(args[0], flag));
}

PyObject* datetime_to_cookie_format(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    int flag;
    if (!check_args(nargs, 2, "datetime_to_cookie_format") || !get_flag(args[1], &flag)) return nullptr;
    if (args[0] != Py_None && !PyDateTime_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "expected datetime or None");
        return nullptr;
    }
    return KelvarnCookies.datetime_to_cookie_format(args[0], flag);
}

PyObject* datetime_from_cookie_format(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    int flag;
    if (!check_args(nargs, 2, "datetime_from_cookie_format") || !check_bytes(args[0]) || !get_flag(args[1], &flag))
        return nullptr;
    return KelvarnCookies.datetime_from_cookie_format(args[0], flag);
}

PyObject* write_cookie_for_response(PyObject*, PyObject* cookie) {
    if (!check_instance(cookie, KelvarnCookies.CookieType)) return nullptr;
    return KelvarnCookies.write_cookie_for_response(reinterpret_cast<CookieObject*>(cookie));
}

// write_cookie_loop(cookie, n): n calls from C, results dropped (benchmarks).
PyObject* write_cookie_loop(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_args(nargs, 2, "write_cookie_loop") || !check_instance(args[0], KelvarnCookies.CookieType))
        return nullptr;
    Py_ssize_t n = PyLong_AsSsize_t(args[1]);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    auto* c = reinterpret_cast<CookieObject*>(args[0]);
    auto write = KelvarnCookies.write_cookie_for_response;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* r = write(c);
        if (!r) return nullptr;
        Py_DECREF(r);
    }
    Py_RETURN_NONE;
}

PyObject* split_value(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_args(nargs, 2, "split_value") || !check_bytes(args[0]) || !check_bytes(args[1])) return nullptr;
    return KelvarnCookies.split_value(args[0], args[1]);
}

// (mode, exception or None): the sentinel and the pending exception side by
// side. Any object is passed through unchecked, so that tests can reach the
// failure signal (the entry refuses what is not bytes or None).
PyObject* same_site_mode_from_bytes(PyObject*, PyObject* value) {
    int mode = KelvarnCookies.same_site_mode_from_bytes(value);
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* r = Py_BuildValue("(iO)", mode, exc ? exc : Py_None);
    Py_XDECREF(exc);
    return r;
}

PyObject* cookie_clone(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    int flag;
    if (!check_args(nargs, 2, "cookie_clone") || !check_instance(args[0], KelvarnCookies.CookieType) ||
        !get_flag(args[1], &flag))
        return nullptr;
    auto* c = reinterpret_cast<CookieObject*>(args[0]);
    return reinterpret_cast<PyObject*>(c->__pyx_vtab->clone(c, flag));
}

PyObject* cookie_fields(PyObject*, PyObject* obj) {
    if (!check_instance(obj, KelvarnCookies.CookieType)) return nullptr;
    auto* c = reinterpret_cast<CookieObject*>(obj);
    return Py_BuildValue("(OOOOOiiLi)", c->_name, c->_value, c->expires, c->domain, c->path, c->http_only,
                         c->secure, c->max_age, static_cast<int>(c->same_site));
}

// ---------------------------------------------------------------------------
// kelvarn.url

PyObject* build_absolute_url(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    int flag;
    if (!check_args(nargs, 5, "build_absolute_url")) return nullptr;
    for (int i = 0; i < 4; ++i)
        if (!check_bytes(args[i])) return nullptr;
    if (!get_flag(args[4], &flag)) return nullptr;
    return reinterpret_cast<PyObject*>(KelvarnURL.build_absolute_url(args[0], args[1], args[2], args[3], flag));
}

PyObject* join_prefix(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    int flag;
    if (!check_args(nargs, 3, "join_prefix") || !check_str(args[0]) || !check_str(args[1]) ||
        !get_flag(args[2], &flag))
        return nullptr;
    return KelvarnURL.join_prefix(args[0], args[1], flag);
}

// url_call(slot, flag, url, *args): one call through the instance's table.
PyObject* url_call(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 3) {
        PyErr_SetString(PyExc_TypeError, "url_call(slot, flag, url, *args)");
        return nullptr;
    }
    const char* slot = PyUnicode_AsUTF8(args[0]);
    int flag;
    if (!slot || !get_flag(args[1], &flag) || !check_instance(args[2], KelvarnURL.URLType)) return nullptr;
    auto* u = reinterpret_cast<URLObject*>(args[2]);
    auto* t = u->__pyx_vtab;
    Py_ssize_t n = nargs - 3;
    URLObject* r;
    if (!strcmp(slot, "base_url")) {
        if (!check_args(n, 0, slot)) return nullptr;
        r = t->base_url(u, flag);
    } else if (!strcmp(slot, "join")) {
        if (!check_args(n, 1, slot) || !check_instance(args[3], KelvarnURL.URLType)) return nullptr;
        r = t->join(u, reinterpret_cast<URLObject*>(args[3]), flag);
    } else {
        if (!check_args(n, 1, slot) || !check_bytes(args[3])) return nullptr;
        if (!strcmp(slot, "with_host"))
            r = t->with_host(u, args[3], flag);
        else if (!strcmp(slot, "with_scheme"))
            r = t->with_scheme(u, args[3], flag);
        else if (!strcmp(slot, "with_query"))
            r = t->with_query(u, args[3], flag);
        else {
            PyErr_Format(PyExc_ValueError, "no slot %s", slot);
            return nullptr;
        }
    }
    return reinterpret_cast<PyObject*>(r);
}

PyObject* url_fields(PyObject*, PyObject* obj) {
    if (!check_instance(obj, KelvarnURL.URLType)) return nullptr;
    auto* u = reinterpret_cast<URLObject*>(obj);
    return Py_BuildValue("(OOOiOOOi)", u->value, u->schema, u->host, u->port, u->path, u->query, u->fragment,
                         u->is_absolute);
}

// ---------------------------------------------------------------------------

#define FAST(name) {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(name)), METH_FASTCALL, nullptr}
#define ONE(name) {#name, name, METH_O, nullptr}

PyMethodDef methods[] = {
    ONE(bind),
    ONE(bound_table),
    ONE(header_fields),
    ONE(headers_values),
    FAST(headers_call),
    FAST(parse_cookie),
    FAST(datetime_to_cookie_format),
    FAST(datetime_from_cookie_format),
    ONE(write_cookie_for_response),
    FAST(write_cookie_loop),
    FAST(split_value),
    ONE(same_site_mode_from_bytes),
    FAST(cookie_clone),
    ONE(cookie_fields),
    FAST(build_absolute_url),
    FAST(join_prefix),
    FAST(url_call),
    ONE(url_fields),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "kv_consumer", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_kv_consumer(void) {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) return nullptr;
    if (kelvarn_headers_import() < 0 || kelvarn_cookies_import() < 0 || kelvarn_url_import() < 0) return nullptr;
    return PyModule_Create(&module_def);
}
