/* Declarations of kelvarn.url for other native modules of the package.
 *
 * The instance layout of URL, the slot order of its typed method table and
 * the C function types published in kelvarn.url.__pyx_capi__. The module is
 * compiled against these very declarations, so what is published here is
 * what the module uses.
 *
 * Every entry takes borrowed references and returns a new reference, or
 * NULL with an exception set. The trailing flag of the typed methods is 0 to
 * honour an override defined by a Python subclass, 1 to skip that check.
 */
#ifndef KELVARN_URL_H
#define KELVARN_URL_H

#include <Python.h>

#ifdef __cplusplus
extern "C" {
#endif

struct __pyx_obj_7kelvarn_3url_URL;

/* Typed method table of URL, in slot order. */
struct __pyx_vtabstruct_7kelvarn_3url_URL {
    struct __pyx_obj_7kelvarn_3url_URL *(*join)(struct __pyx_obj_7kelvarn_3url_URL *,
                                                struct __pyx_obj_7kelvarn_3url_URL *, int __pyx_skip_dispatch);
    struct __pyx_obj_7kelvarn_3url_URL *(*base_url)(struct __pyx_obj_7kelvarn_3url_URL *, int __pyx_skip_dispatch);
    struct __pyx_obj_7kelvarn_3url_URL *(*with_host)(struct __pyx_obj_7kelvarn_3url_URL *, PyObject *,
                                                     int __pyx_skip_dispatch);
    struct __pyx_obj_7kelvarn_3url_URL *(*with_scheme)(struct __pyx_obj_7kelvarn_3url_URL *, PyObject *,
                                                       int __pyx_skip_dispatch);
    struct __pyx_obj_7kelvarn_3url_URL *(*with_query)(struct __pyx_obj_7kelvarn_3url_URL *, PyObject *,
                                                      int __pyx_skip_dispatch);
};

/* Instance layout of kelvarn.url.URL. */
struct __pyx_obj_7kelvarn_3url_URL {
    PyObject_HEAD
    struct __pyx_vtabstruct_7kelvarn_3url_URL *__pyx_vtab;
    PyObject *value;     /* bytes or None */
    PyObject *schema;    /* bytes or None */
    PyObject *host;      /* bytes or None */
    int port;            /* 0 when none */
    PyObject *path;      /* bytes or None */
    PyObject *query;     /* bytes or None */
    PyObject *fragment;  /* bytes or None */
    int is_absolute;     /* 0 or 1 */
};

/* Entries of kelvarn.url.__pyx_capi__, in publication order. */
typedef struct __pyx_obj_7kelvarn_3url_URL *(*__pyx_t_7kelvarn_3url_build_absolute_url)(
    PyObject *scheme, PyObject *host, PyObject *base_path, PyObject *path, int __pyx_skip_dispatch);
typedef PyObject *(*__pyx_t_7kelvarn_3url_join_prefix)(PyObject *prefix, PyObject *path, int __pyx_skip_dispatch);

#define KELVARN_URL_BUILD_ABSOLUTE_URL_SIGNATURE \
    "struct __pyx_obj_7kelvarn_3url_URL *(PyObject *, PyObject *, PyObject *, PyObject *, int __pyx_skip_dispatch)"
#define KELVARN_URL_JOIN_PREFIX_SIGNATURE "PyObject *(PyObject *, PyObject *, int __pyx_skip_dispatch)"

#ifdef __cplusplus
}
#endif

#endif /* KELVARN_URL_H */
