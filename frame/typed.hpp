// Typed entry points: the C functions of a type's `__pyx_vtable__`, and the
// comparison and iteration helpers that several module types share.
//
// A typed entry takes the instance, the method's arguments and a trailing
// `skip` flag. Unless `skip` is set, a subclass's Python override of the
// method is called instead of the built-in body (see dispatch() in
// frame.hpp); its result is checked against the declared result type. The
// built-in body (the `_impl` function, which the FuncDef's body calls too)
// runs without binding. Any failure adds the FuncDef's traceback entry, as
// a call of the Python method would. One line per table entry:
//
//     PyObject* t_get(HeadersObject* self, PyObject* name, int skip) {
//         return kv::object_entry(self, skip, fd_get, kv::returns_tuple, get_impl, name);
//     }
#pragma once

#include "frame.hpp"

namespace kv {

// Checks of an override's result, for `check`: exactly the built-in type or
// None ("Expected ..."); a module adds its own for its types (check_instance).
inline bool returns_tuple(PyObject* r) { return check_exact(r, &PyTuple_Type); }
inline bool returns_list(PyObject* r) { return check_exact(r, &PyList_Type); }
inline bool returns_bytes(PyObject* r) { return check_exact(r, &PyBytes_Type); }

// An entry returning an object (new reference, or null with the entry
// added): the override's result must pass `check`.
template <class Self, class Check, class Impl, class... A>
PyObject* object_entry(Self* self, int skip, FuncDef& fd, Check check, Impl impl, A... args) {
    PyObject* r;
    if (dispatch(reinterpret_cast<PyObject*>(self), skip, fd, &r, args...)) {
        if (r && !check(r)) Py_CLEAR(r);
    } else {
        r = impl(self, args...);
    }
    return r ? r : fail(fd.site);
}

// An entry without a result (failure is a pending exception): the
// override's result is discarded; the body returns 0, or -1 on failure.
template <class Self, class Impl, class... A>
void void_entry(Self* self, int skip, FuncDef& fd, Impl impl, A... args) {
    PyObject* r;
    if (dispatch(reinterpret_cast<PyObject*>(self), skip, fd, &r, args...)) {
        if (!r) add_traceback(fd.site);
        Py_XDECREF(r);
        return;
    }
    if (impl(self, args...) < 0) add_traceback(fd.site);
}

// An entry returning a truth value (failure is 0 with a pending exception):
// the override's result is converted with truth(); the body returns 1, 0,
// or -1 on failure.
template <class Self, class Impl, class... A>
int truth_entry(Self* self, int skip, FuncDef& fd, Impl impl, A... args) {
    PyObject* r;
    int t;
    if (dispatch(reinterpret_cast<PyObject*>(self), skip, fd, &r, args...)) {
        t = r ? truth(r) : -1;
        Py_XDECREF(r);
    } else {
        t = impl(self, args...);
    }
    if (t < 0) add_traceback(fd.site);
    return t < 0 ? 0 : t;
}

// ---------------------------------------------------------------------------
// `!=` from `==`

// The result of `!=` from the result of `==` (new reference or null, which
// is passed on with the entry `ne_site` added): NotImplemented stays, any
// other result is negated through its truth value.
PyObject* not_equal(PyObject* eq_result, Site& ne_site);

// A tp_richcompare slot for a type that defines `==` only: `!=` negates
// it, the orderings are NotImplemented.
template <PyObject* (*Eq)(PyObject*, PyObject*), Site& NeSite>
PyObject* richcompare_from_eq(PyObject* self, PyObject* other, int op) {
    if (op == Py_EQ) return Eq(self, other);
    if (op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    return not_equal(Eq(self, other), NeSite);
}

// ---------------------------------------------------------------------------
// Iterating an exact dict

// Calls `visit(key, value)` for every item of the exact dict `dict`, with
// both held for the call; stops at the first visit that returns a negative
// value and returns it. Python code run by a visit may change the dict: a
// change of its size raises "dictionary changed size during iteration".
template <class Visit>
int for_each_item(PyObject* dict, Visit&& visit) {
    Py_ssize_t size = PyDict_GET_SIZE(dict), pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(dict, &pos, &k, &v)) {
        Ref key = Ref::borrow(k), value = Ref::borrow(v);
        int r = visit(key.get(), value.get());
        if (r < 0) return r;
        if (PyDict_GET_SIZE(dict) != size) {
            dict_changed_size();
            return -1;
        }
    }
    return 0;
}

}  // namespace kv
