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

#ifdef __cplusplus
}
#endif

#endif /* KELVARN_HEADERS_H */
