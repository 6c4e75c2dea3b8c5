/* Support for binding the C-level interface of kelvarn's native modules.
 *
 * Shared by the import helpers of headers.h, cookies.h and url.h: each of
 * them imports its module once (usually from the consumer's module
 * initialisation), checks that the published objects match the declarations
 * the consumer was compiled with, and fills a struct of typed pointers.
 * Every check that fails raises ImportError with a message that names the
 * object and both sides of the mismatch; nothing is half-bound then.
 *
 * All functions here need the interpreter lock. They are static inline so
 * that the header can be included in several translation units; like
 * PyDateTimeAPI, the filled structs (KelvarnHeaders, KelvarnCookies,
 * KelvarnURL) are static, one per translation unit, so each unit that uses
 * one calls its import helper (or is handed the pointers it needs).
 */
#ifndef KELVARN_CAPI_H
#define KELVARN_CAPI_H

#include <Python.h>
#include <string.h>

#if defined(__GNUC__) || defined(__clang__)
#define KELVARN_CAPI_UNUSED __attribute__((unused))
#else
#define KELVARN_CAPI_UNUSED
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The class `class_name` of `module`, a new reference, after checking that it
 * is a type whose instances have exactly `size` bytes (the size of the
 * consumer's declaration of the layout). */
static inline PyTypeObject *kelvarn_capi_import_type(PyObject *module, const char *class_name, size_t size) {
    const char *module_name = PyModule_GetName(module);
    if (module_name == NULL) return NULL;
    PyObject *cls = PyObject_GetAttrString(module, class_name);
    if (cls == NULL) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "%s has no class %s", module_name, class_name);
        }
        return NULL;
    }
    if (!PyType_Check(cls)) {
        PyErr_Format(PyExc_ImportError, "%s.%s is not a type (got %.200s)", module_name, class_name,
                     Py_TYPE(cls)->tp_name);
        Py_DECREF(cls);
        return NULL;
    }
    PyTypeObject *type = (PyTypeObject *)cls;
    if (type->tp_basicsize != (Py_ssize_t)size || type->tp_itemsize != 0) {
        PyErr_Format(PyExc_ImportError,
                     "%s.%s has instances of %zd bytes, but the declaration compiled in has %zu: "
                     "rebuild against the installed kelvarn",
                     module_name, class_name, type->tp_basicsize, size);
        Py_DECREF(cls);
        return NULL;
    }
    return type;
}

/* The typed method table of `type` (the class `class_name` of `module`): the
 * pointer of the unnamed capsule stored under `__pyx_vtable__` in the class's
 * own dictionary. */
static inline void *kelvarn_capi_import_vtable(PyObject *module, const char *class_name, PyTypeObject *type) {
    const char *module_name = PyModule_GetName(module);
    if (module_name == NULL) return NULL;
    PyObject *dict = PyType_GetDict(type);
    if (dict == NULL) return NULL;
    PyObject *capsule = NULL;
    int found = PyDict_GetItemStringRef(dict, "__pyx_vtable__", &capsule);
    Py_DECREF(dict);
    if (found < 0) return NULL;
    if (found == 0) {
        PyErr_Format(PyExc_ImportError, "%s.%s has no typed method table (no __pyx_vtable__ in its dictionary)",
                     module_name, class_name);
        return NULL;
    }
    void *table = NULL;
    if (!PyCapsule_CheckExact(capsule)) {
        PyErr_Format(PyExc_ImportError, "%s.%s.__pyx_vtable__ is not a capsule (got %.200s)", module_name,
                     class_name, Py_TYPE(capsule)->tp_name);
    } else if (PyCapsule_GetName(capsule) != NULL) {
        PyErr_Format(PyExc_ImportError, "%s.%s.__pyx_vtable__ is a capsule named \"%s\", expected an unnamed one",
                     module_name, class_name, PyCapsule_GetName(capsule));
    } else {
        table = PyCapsule_GetPointer(capsule, NULL);
    }
    Py_DECREF(capsule);
    return table;
}

/* The entry `name` of `module.__pyx_capi__`, after checking that its capsule
 * carries exactly the signature text `signature`. Stores the address in the
 * function pointer at `fn` (of any function pointer type). */
static inline int kelvarn_capi_import_function(PyObject *module, const char *name, const char *signature, void *fn,
                                               size_t fn_size) {
    const char *module_name = PyModule_GetName(module);
    if (module_name == NULL) return -1;
    PyObject *table = NULL;
    if (PyObject_GetOptionalAttrString(module, "__pyx_capi__", &table) < 0) return -1;
    if (table == NULL) {
        PyErr_Format(PyExc_ImportError, "%s has no C function table (no __pyx_capi__)", module_name);
        return -1;
    }
    PyObject *capsule = NULL;
    int found = PyDict_Check(table) ? PyDict_GetItemStringRef(table, name, &capsule) : -2;
    Py_DECREF(table);
    if (found == -2) {
        PyErr_Format(PyExc_ImportError, "%s.__pyx_capi__ is not a dict", module_name);
        return -1;
    }
    if (found < 0) return -1;
    if (found == 0) {
        PyErr_Format(PyExc_ImportError, "%s does not export the C function %s", module_name, name);
        return -1;
    }
    int result = -1;
    if (!PyCapsule_CheckExact(capsule)) {
        PyErr_Format(PyExc_ImportError, "%s.__pyx_capi__['%s'] is not a capsule (got %.200s)", module_name, name,
                     Py_TYPE(capsule)->tp_name);
    } else {
        const char *got = PyCapsule_GetName(capsule);
        if (got == NULL || strcmp(got, signature) != 0) {
            PyErr_Format(PyExc_ImportError, "C function %s.%s has signature \"%s\", expected \"%s\"", module_name,
                         name, got ? got : "(none)", signature);
        } else {
            void *address = PyCapsule_GetPointer(capsule, signature);
            if (address != NULL && fn_size == sizeof address) {
                memcpy(fn, &address, sizeof address);
                result = 0;
            } else if (address != NULL) {
                PyErr_SetString(PyExc_ImportError, "function pointers and data pointers differ in size");
            }
        }
    }
    Py_DECREF(capsule);
    return result;
}

#define KELVARN_CAPI_IMPORT_FUNCTION(module, name, signature, slot) \
    kelvarn_capi_import_function((module), (name), (signature), (void *)&(slot), sizeof(slot))

#ifdef __cplusplus
}
#endif

#endif /* KELVARN_CAPI_H */
