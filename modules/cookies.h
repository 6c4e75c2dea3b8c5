/* kelvarn.cookies: declarations for other native modules of the package.
 *
 * The instance layout of Cookie, its typed method table and the C function
 * table published in `kelvarn.cookies.__pyx_capi__`. A consumer imports the
 * module, takes the capsules from `__pyx_capi__` (each capsule's name is the
 * signature text given beside its pointer type below) and calls through
 * them with the interpreter lock held. Arguments are borrowed; results are
 * new references; NULL (or UNDEFINED with an exception set, for
 * same_site_mode_from_bytes) signals failure.
 */
#ifndef KELVARN_COOKIES_H
#define KELVARN_COOKIES_H

#include <Python.h>

#include "kelvarn_capi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* SameSite mode, a signed 32-bit enumeration. The field may hold any 32-bit
 * value (nothing restricts it to the four members); C++ needs the fixed
 * underlying type to allow that. */
enum __pyx_t_7kelvarn_7cookies_CookieSameSiteMode
#ifdef __cplusplus
    : int
#endif
{
    __pyx_e_7kelvarn_7cookies_UNDEFINED = 0,
    __pyx_e_7kelvarn_7cookies_LAX = 1,
    __pyx_e_7kelvarn_7cookies_STRICT = 2,
    __pyx_e_7kelvarn_7cookies_NONE = 3
};

struct __pyx_obj_7kelvarn_7cookies_Cookie;

/* Typed method table of Cookie (slot order is binding). */
struct __pyx_vtabstruct_7kelvarn_7cookies_Cookie {
    struct __pyx_obj_7kelvarn_7cookies_Cookie *(*clone)(struct __pyx_obj_7kelvarn_7cookies_Cookie *,
                                                         int __pyx_skip_dispatch);
};

/* Instance layout of kelvarn.cookies.Cookie. */
struct __pyx_obj_7kelvarn_7cookies_Cookie {
    PyObject_HEAD
    struct __pyx_vtabstruct_7kelvarn_7cookies_Cookie *__pyx_vtab;
    PyObject *_name;   /* str, or None */
    PyObject *_value;  /* str, or None */
    PyObject *expires; /* datetime.datetime (or subclass), or None */
    PyObject *domain;  /* str, or None */
    PyObject *path;    /* str, or None */
    int http_only;
    int secure;
    long long max_age; /* -1: not set */
    enum __pyx_t_7kelvarn_7cookies_CookieSameSiteMode same_site;
};

/* Entries of __pyx_capi__, in publication order. */

/* "struct __pyx_obj_7kelvarn_7cookies_Cookie *(PyObject *, int __pyx_skip_dispatch)" */
typedef struct __pyx_obj_7kelvarn_7cookies_Cookie *(*kelvarn_cookies_parse_cookie_fn)(PyObject *, int);
/* "PyObject *(PyDateTime_DateTime *, int __pyx_skip_dispatch)"; the argument is a
 * datetime.datetime (or subclass) or None, passed as an object pointer. */
typedef PyObject *(*kelvarn_cookies_datetime_to_cookie_format_fn)(PyObject *, int);
/* "PyDateTime_DateTime *(PyObject *, int __pyx_skip_dispatch)"; the result is a
 * datetime.datetime or None. */
typedef PyObject *(*kelvarn_cookies_datetime_from_cookie_format_fn)(PyObject *, int);
/* "PyObject *(struct __pyx_obj_7kelvarn_7cookies_Cookie *)" */
typedef PyObject *(*kelvarn_cookies_write_cookie_for_response_fn)(struct __pyx_obj_7kelvarn_7cookies_Cookie *);
/* "PyObject *(PyObject *, PyObject *)" */
typedef PyObject *(*kelvarn_cookies_split_value_fn)(PyObject *, PyObject *);
/* "enum __pyx_t_7kelvarn_7cookies_CookieSameSiteMode (PyObject *)" */
typedef enum __pyx_t_7kelvarn_7cookies_CookieSameSiteMode (*kelvarn_cookies_same_site_mode_from_bytes_fn)(
    PyObject *);

/* Signature texts of the entries (the names of their capsules). */
#define KELVARN_COOKIES_PARSE_COOKIE_SIGNATURE \
    "struct __pyx_obj_7kelvarn_7cookies_Cookie *(PyObject *, int __pyx_skip_dispatch)"
#define KELVARN_COOKIES_DATETIME_TO_COOKIE_FORMAT_SIGNATURE "PyObject *(PyDateTime_DateTime *, int __pyx_skip_dispatch)"
#define KELVARN_COOKIES_DATETIME_FROM_COOKIE_FORMAT_SIGNATURE \
    "PyDateTime_DateTime *(PyObject *, int __pyx_skip_dispatch)"
#define KELVARN_COOKIES_WRITE_COOKIE_FOR_RESPONSE_SIGNATURE "PyObject *(struct __pyx_obj_7kelvarn_7cookies_Cookie *)"
#define KELVARN_COOKIES_SPLIT_VALUE_SIGNATURE "PyObject *(PyObject *, PyObject *)"
#define KELVARN_COOKIES_SAME_SITE_MODE_FROM_BYTES_SIGNATURE \
    "enum __pyx_t_7kelvarn_7cookies_CookieSameSiteMode (PyObject *)"

/* Binding from another native module, in the manner of PyDateTime_IMPORT:
 * call kelvarn_cookies_import() once (for instance from the module's
 * initialisation); on success it returns 0 and fills KelvarnCookies, on any
 * mismatch between the installed module and these declarations it returns -1
 * with ImportError set. Then, for instance:
 *
 *     PyObject *header = KelvarnCookies.write_cookie_for_response(cookie);
 *     enum __pyx_t_7kelvarn_7cookies_CookieSameSiteMode mode =
 *         KelvarnCookies.same_site_mode_from_bytes(text);
 *     if (mode == __pyx_e_7kelvarn_7cookies_UNDEFINED && PyErr_Occurred()) ...
 *
 * and PyObject_TypeCheck(obj, KelvarnCookies.CookieType) before treating an
 * arbitrary object as a Cookie. */
typedef struct {
    PyObject *module; /* kelvarn.cookies */
    PyTypeObject *CookieType;
    struct __pyx_vtabstruct_7kelvarn_7cookies_Cookie *Cookie_vtab;
    kelvarn_cookies_parse_cookie_fn parse_cookie;
    kelvarn_cookies_datetime_to_cookie_format_fn datetime_to_cookie_format;
    kelvarn_cookies_datetime_from_cookie_format_fn datetime_from_cookie_format;
    kelvarn_cookies_write_cookie_for_response_fn write_cookie_for_response;
    kelvarn_cookies_split_value_fn split_value;
    kelvarn_cookies_same_site_mode_from_bytes_fn same_site_mode_from_bytes;
} KelvarnCookies_CAPI;

static KelvarnCookies_CAPI KelvarnCookies KELVARN_CAPI_UNUSED;

static inline int kelvarn_cookies_import(void) {
    KelvarnCookies_CAPI api;
    memset(&api, 0, sizeof api);
    api.module = PyImport_ImportModule("kelvarn.cookies");
    if (api.module == NULL) return -1;
    if (KELVARN_CAPI_IMPORT_FUNCTION(api.module, "parse_cookie", KELVARN_COOKIES_PARSE_COOKIE_SIGNATURE,
                                     api.parse_cookie) < 0 ||
        KELVARN_CAPI_IMPORT_FUNCTION(api.module, "datetime_to_cookie_format",
                                     KELVARN_COOKIES_DATETIME_TO_COOKIE_FORMAT_SIGNATURE,
                                     api.datetime_to_cookie_format) < 0 ||
        KELVARN_CAPI_IMPORT_FUNCTION(api.module, "datetime_from_cookie_format",
                                     KELVARN_COOKIES_DATETIME_FROM_COOKIE_FORMAT_SIGNATURE,
                                     api.datetime_from_cookie_format) < 0 ||
        KELVARN_CAPI_IMPORT_FUNCTION(api.module, "write_cookie_for_response",
                                     KELVARN_COOKIES_WRITE_COOKIE_FOR_RESPONSE_SIGNATURE,
                                     api.write_cookie_for_response) < 0 ||
        KELVARN_CAPI_IMPORT_FUNCTION(api.module, "split_value", KELVARN_COOKIES_SPLIT_VALUE_SIGNATURE,
                                     api.split_value) < 0 ||
        KELVARN_CAPI_IMPORT_FUNCTION(api.module, "same_site_mode_from_bytes",
                                     KELVARN_COOKIES_SAME_SITE_MODE_FROM_BYTES_SIGNATURE,
                                     api.same_site_mode_from_bytes) < 0)
        goto bad;
    api.CookieType =
        kelvarn_capi_import_type(api.module, "Cookie", sizeof(struct __pyx_obj_7kelvarn_7cookies_Cookie));
    if (api.CookieType == NULL) goto bad;
    api.Cookie_vtab = (struct __pyx_vtabstruct_7kelvarn_7cookies_Cookie *)
        kelvarn_capi_import_vtable(api.module, "Cookie", api.CookieType);
    if (api.Cookie_vtab == NULL) goto bad;
    Py_XDECREF(KelvarnCookies.module);
    Py_XDECREF(KelvarnCookies.CookieType);
    KelvarnCookies = api;
    return 0;
bad:
    Py_XDECREF(api.CookieType);
    Py_DECREF(api.module);
    return -1;
}

#ifdef __cplusplus
}
#endif

#endif /* KELVARN_COOKIES_H */
