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

#include "kelvarn_capi.h"

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
typedef struct __pyx_obj_7kelvarn_3url_URL *(*kelvarn_url_build_absolute_url_fn)(
    PyObject *scheme, PyObject *host, PyObject *base_path, PyObject *path, int __pyx_skip_dispatch);
typedef PyObject *(*kelvarn_url_join_prefix_fn)(PyObject *prefix, PyObject *path, int __pyx_skip_dispatch);

#define KELVARN_URL_BUILD_ABSOLUTE_URL_SIGNATURE \
    "struct __pyx_obj_7kelvarn_3url_URL *(PyObject *, PyObject *, PyObject *, PyObject *, int __pyx_skip_dispatch)"
#define KELVARN_URL_JOIN_PREFIX_SIGNATURE "PyObject *(PyObject *, PyObject *, int __pyx_skip_dispatch)"

/* Binding from another native module, in the manner of PyDateTime_IMPORT:
 * call kelvarn_url_import() once (for instance from the module's
 * initialisation); on success it returns 0 and fills KelvarnURL, on any
 * mismatch between the installed module and these declarations it returns -1
 * with ImportError set. Then, with a URL instance `u`:
 *
 *     struct __pyx_obj_7kelvarn_3url_URL *base = u->__pyx_vtab->base_url(u, 0);
 *     PyObject *joined = KelvarnURL.join_prefix(prefix, path, 0);
 *
 * and PyObject_TypeCheck(obj, KelvarnURL.URLType) before treating an
 * arbitrary object as a URL. */
typedef struct {
    PyObject *module; /* kelvarn.url */
    PyTypeObject *URLType;
    struct __pyx_vtabstruct_7kelvarn_3url_URL *URL_vtab;
    kelvarn_url_build_absolute_url_fn build_absolute_url;
    kelvarn_url_join_prefix_fn join_prefix;
} KelvarnURL_CAPI;

static KelvarnURL_CAPI KelvarnURL KELVARN_CAPI_UNUSED;

static inline int kelvarn_url_import(void) {
    KelvarnURL_CAPI api = {NULL, NULL, NULL, NULL, NULL};
    api.module = PyImport_ImportModule("kelvarn.url");
    if (api.module == NULL) return -1;
    if (KELVARN_CAPI_IMPORT_FUNCTION(api.module, "build_absolute_url", KELVARN_URL_BUILD_ABSOLUTE_URL_SIGNATURE,
                                     api.build_absolute_url) < 0 ||
        KELVARN_CAPI_IMPORT_FUNCTION(api.module, "join_prefix", KELVARN_URL_JOIN_PREFIX_SIGNATURE,
                                     api.join_prefix) < 0)
        goto bad;
    api.URLType = kelvarn_capi_import_type(api.module, "URL", sizeof(struct __pyx_obj_7kelvarn_3url_URL));
    if (api.URLType == NULL) goto bad;
    api.URL_vtab = (struct __pyx_vtabstruct_7kelvarn_3url_URL *)
        kelvarn_capi_import_vtable(api.module, "URL", api.URLType);
    if (api.URL_vtab == NULL) goto bad;
    Py_XDECREF(KelvarnURL.module);
    Py_XDECREF(KelvarnURL.URLType);
    KelvarnURL = api;
    return 0;
bad:
    Py_XDECREF(api.URLType);
    Py_DECREF(api.module);
    return -1;
}

#ifdef __cplusplus
}
#endif

#endif /* KELVARN_URL_H */
