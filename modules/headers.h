/* C-level interface of kelvarn.headers: instance layouts and the typed method
 * table of Headers, for native modules that bind the types directly.
 *
 * Every Headers instance points to its class's table; the entries take the
 * instance, the arguments and a skip-dispatch flag (0: honour a Python
 * subclass's override, 1: run the built-in body). Arguments are borrowed,
 * object results are new references, NULL (or an exception left set for the
 * void and int entries) signals failure. */
#ifndef KELVARN_HEADERS_H
#define KELVARN_HEADERS_H

#include <Python.h>

#include "kelvarn_capi.h"

#ifdef __cplusplus
extern "C" {
#endif

struct __pyx_obj_7kelvarn_7headers_Headers;

struct __pyx_obj_7kelvarn_7headers_Header {
    PyObject_HEAD
    PyObject *name;  /* bytes or None */
    PyObject *value; /* bytes or None */
};

struct __pyx_vtabstruct_7kelvarn_7headers_Headers {
    PyObject *(*keys)(struct __pyx_obj_7kelvarn_7headers_Headers *, int __pyx_skip_dispatch);
    struct __pyx_obj_7kelvarn_7headers_Headers *(*clone)(struct __pyx_obj_7kelvarn_7headers_Headers *,
                                                          int __pyx_skip_dispatch);
    PyObject *(*get)(struct __pyx_obj_7kelvarn_7headers_Headers *, PyObject *, int __pyx_skip_dispatch);
    PyObject *(*get_tuples)(struct __pyx_obj_7kelvarn_7headers_Headers *, PyObject *, int __pyx_skip_dispatch);
    void (*add)(struct __pyx_obj_7kelvarn_7headers_Headers *, PyObject *, PyObject *, int __pyx_skip_dispatch);
    void (*set)(struct __pyx_obj_7kelvarn_7headers_Headers *, PyObject *, PyObject *, int __pyx_skip_dispatch);
    PyObject *(*get_single)(struct __pyx_obj_7kelvarn_7headers_Headers *, PyObject *, int __pyx_skip_dispatch);
    PyObject *(*get_first)(struct __pyx_obj_7kelvarn_7headers_Headers *, PyObject *, int __pyx_skip_dispatch);
    void (*remove)(struct __pyx_obj_7kelvarn_7headers_Headers *, PyObject *, int __pyx_skip_dispatch);
    void (*merge)(struct __pyx_obj_7kelvarn_7headers_Headers *, PyObject *, int __pyx_skip_dispatch);
    int (*contains)(struct __pyx_obj_7kelvarn_7headers_Headers *, PyObject *, int __pyx_skip_dispatch);
};

struct __pyx_obj_7kelvarn_7headers_Headers {
    PyObject_HEAD
    struct __pyx_vtabstruct_7kelvarn_7headers_Headers *__pyx_vtab;
    PyObject *values; /* list or None */
};

/* Binding from another native module, in the manner of PyDateTime_IMPORT:
 * call kelvarn_headers_import() once (for instance from the module's
 * initialisation); on success it returns 0 and fills KelvarnHeaders, on any
 * mismatch between the installed module and these declarations it returns -1
 * with ImportError set. Then, with a Headers instance `h`:
 *
 *     PyObject *values = h->__pyx_vtab->get(h, name, 0);  // honours overrides
 *     PyObject *first = KelvarnHeaders.Headers_vtab->get_first(h, name, 1);
 *
 * and PyObject_TypeCheck(obj, KelvarnHeaders.HeadersType) before treating an
 * arbitrary object as a Headers. */
typedef struct {
    PyObject *module; /* kelvarn.headers */
    PyTypeObject *HeaderType;
    PyTypeObject *HeadersType;
    struct __pyx_vtabstruct_7kelvarn_7headers_Headers *Headers_vtab;
} KelvarnHeaders_CAPI;

static KelvarnHeaders_CAPI KelvarnHeaders KELVARN_CAPI_UNUSED;

static inline int kelvarn_headers_import(void) {
    KelvarnHeaders_CAPI api = {NULL, NULL, NULL, NULL};
    api.module = PyImport_ImportModule("kelvarn.headers");
    if (api.module == NULL) return -1;
    api.HeaderType =
        kelvarn_capi_import_type(api.module, "Header", sizeof(struct __pyx_obj_7kelvarn_7headers_Header));
    if (api.HeaderType == NULL) goto bad;
    api.HeadersType =
        kelvarn_capi_import_type(api.module, "Headers", sizeof(struct __pyx_obj_7kelvarn_7headers_Headers));
    if (api.HeadersType == NULL) goto bad;
    api.Headers_vtab = (struct __pyx_vtabstruct_7kelvarn_7headers_Headers *)
        kelvarn_capi_import_vtable(api.module, "Headers", api.HeadersType);
    if (api.Headers_vtab == NULL) goto bad;
    Py_XDECREF(KelvarnHeaders.module);
    Py_XDECREF(KelvarnHeaders.HeaderType);
    Py_XDECREF(KelvarnHeaders.HeadersType);
    KelvarnHeaders = api;
    return 0;
bad:
    Py_XDECREF(api.HeadersType);
    Py_XDECREF(api.HeaderType);
    Py_DECREF(api.module);
    return -1;
}

#ifdef __cplusplus
}
#endif

#endif /* KELVARN_HEADERS_H */
