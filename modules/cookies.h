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

#ifdef __cplusplus
}
#endif

#endif /* KELVARN_COOKIES_H */
