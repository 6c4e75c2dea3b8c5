// Generator objects and generator-state records.
#include "frame.hpp"

#include <cstring>

namespace kv {

namespace {

PyObject delegate_marker = {};

}  // namespace

PyObject* const delegate = &delegate_marker;

GenDef::GenDef(const char* qualname, GenBody body, std::source_location loc)
    : qualname(qualname), body(body), site(qualname, nullptr, false, loc) {}

namespace {

Generator* as_gen(PyObject* o) { return reinterpret_cast<Generator*>(o); }

PyObject* already_executing() {
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return nullptr;
}

// The generator ends with the pending exception: a StopIteration becomes
// RuntimeError, and the entry of the generator's function is added.
PyObject* finish_with_error(Generator* g) {
    g->finished = 1;
    Py_CLEAR(g->yieldfrom);
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyObject* cause = PyErr_GetRaisedException();
        PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
        PyObject* exc = PyErr_GetRaisedException();
        PyException_SetCause(exc, Py_NewRef(cause));
        PyException_SetContext(exc, cause);
        PyErr_SetRaisedException(exc);
    }
    return fail(g->def->site);
}

// Run the body from its suspension point. `sent` is the value sent in, or
// null with an exception pending.
PyObject* run_body(Generator* g, PyObject* sent) {
    for (;;) {
        PyObject* r = g->def->body(g, sent);
        if (r == delegate) {
            // The body stored a sub-iterator: take its first item.
            PyObject* item = Py_TYPE(g->yieldfrom)->tp_iternext(g->yieldfrom);
            if (item) return item;
            if (PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_StopIteration)) {
                    Py_CLEAR(g->yieldfrom);
                    sent = nullptr;
                    continue;
                }
                PyErr_Clear();
            }
            Py_CLEAR(g->yieldfrom);
            sent = Py_None;
            continue;
        }
        if (r) return r;
        if (PyErr_Occurred()) return finish_with_error(g);
        g->finished = 1;
        return nullptr;
    }
}

// Resume with a value: delegated to the sub-iterator while there is one.
PyObject* resume(Generator* g, PyObject* value) {
    if (g->running) return already_executing();
    if (g->finished) return nullptr;
    if (g->state == 0 && !g->yieldfrom && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    g->running = 1;
    PyObject* r;
    if (g->yieldfrom) {
        PyObject* item = value == Py_None ? Py_TYPE(g->yieldfrom)->tp_iternext(g->yieldfrom)
                                          : PyObject_CallMethod(g->yieldfrom, "send", "O", value);
        if (item) {
            g->running = 0;
            return item;
        }
        PyObject* sent = Py_None;
        if (PyErr_Occurred()) {
            if (PyErr_ExceptionMatches(PyExc_StopIteration)) PyErr_Clear();
            else sent = nullptr;
        }
        Py_CLEAR(g->yieldfrom);
        r = run_body(g, sent);
    } else {
        r = run_body(g, value);
    }
    g->running = 0;
    return r;
}

PyObject* gen_iternext(PyObject* self) { return resume(as_gen(self), Py_None); }

PyObject* gen_send(PyObject* self, PyObject* value) {
    Generator* g = as_gen(self);
    PyObject* r = resume(g, value);
    if (!r && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return r;
}

// Raise `exc` at the suspension point.
PyObject* throw_into(Generator* g, PyObject* exc) {
    if (g->finished || g->state == 0) {
        // Not started or finished: the exception leaves at once, unchanged
        // (even a StopIteration: no body ran), as for Python generators.
        bool was_finished = g->finished;
        g->finished = 1;
        Py_CLEAR(g->yieldfrom);
        PyErr_SetRaisedException(exc);
        return was_finished ? nullptr : fail(g->def->site);
    }
    // From here the generator runs: a sub-iterator's close() or throw() may
    // run Python code that must not resume it.
    struct Running {
        Generator* g;
        explicit Running(Generator* g) : g(g) { g->running = 1; }
        ~Running() { g->running = 0; }
    } running(g);
    bool delegating = g->yieldfrom != nullptr;
    if (delegating) {
        Ref yf = Ref::steal(g->yieldfrom);
        g->yieldfrom = nullptr;
        if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
            Ref close = Ref::steal(PyObject_GetAttrString(yf.get(), "close"));
            if (close) {
                Ref r = Ref::steal(PyObject_CallNoArgs(close.get()));
                if (!r) {
                    Py_DECREF(exc);
                    PyObject* sent = nullptr;
                    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
                        PyErr_Clear();
                        sent = Py_None;
                    }
                    return run_body(g, sent);
                }
            } else {
                PyErr_Clear();
            }
        } else {
            Ref throw_ = Ref::steal(PyObject_GetAttrString(yf.get(), "throw"));
            if (throw_) {
                Ref r = Ref::steal(PyObject_CallOneArg(throw_.get(), exc));
                Py_DECREF(exc);
                if (r) {
                    g->yieldfrom = yf.release();
                    return r.release();
                }
                PyObject* sent = nullptr;
                if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
                    PyErr_Clear();
                    sent = Py_None;
                }
                return run_body(g, sent);
            }
            PyErr_Clear();
        }
    }
    // Raised at the suspension point. There a StopIteration ends a
    // delegation as the sub-iterator's own end would, as in `yield from`.
    PyObject* sent = nullptr;
    if (delegating && PyErr_GivenExceptionMatches(exc, PyExc_StopIteration)) {
        Py_DECREF(exc);
        sent = Py_None;
    } else {
        PyErr_SetRaisedException(exc);
    }
    return run_body(g, sent);
}

PyObject* gen_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    Generator* g = as_gen(self);
    if (nargs < 1 || nargs > 3) {
        if (nargs < 1) PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        else PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    if (g->running) return already_executing();
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0)
        return nullptr;
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
    if (tb != Py_None && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    PyObject* exc;
    if (PyExceptionClass_Check(typ)) {
        if (PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject*>(typ))) {
            exc = Py_NewRef(val);
        } else if (val == Py_None) {
            exc = PyObject_CallNoArgs(typ);
        } else if (PyTuple_Check(val)) {
            exc = PyObject_Call(typ, val, nullptr);
        } else {
            exc = PyObject_CallOneArg(typ, val);
        }
        if (!exc) return nullptr;
        if (!PyExceptionInstance_Check(exc)) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s", typ,
                         Py_TYPE(exc)->tp_name);
            Py_DECREF(exc);
            return nullptr;
        }
    } else if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Py_NewRef(typ);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (tb != Py_None && PyException_SetTraceback(exc, tb) < 0) {
        Py_DECREF(exc);
        return nullptr;
    }
    PyObject* r = throw_into(g, exc);
    if (!r && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return r;
}

// close(): GeneratorExit at the suspension point; a yielded value is an error.
int close_gen(Generator* g) {
    if (g->running) {
        already_executing();
        return -1;
    }
    if (g->finished) return 0;
    if (g->state == 0 && !g->yieldfrom) {
        g->finished = 1;
        return 0;
    }
    PyObject* exc = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (!exc) return -1;
    Ref r = Ref::steal(throw_into(g, exc));
    if (r) {
        PyErr_SetString(PyExc_RuntimeError, "generator ignored GeneratorExit");
        return -1;
    }
    if (PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    return 0;
}

PyObject* gen_close(PyObject* self, PyObject*) {
    if (close_gen(as_gen(self)) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* gen_reduce(PyObject* self, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s' object", Py_TYPE(self)->tp_name);
    return nullptr;
}

void gen_finalize(PyObject* self) {
    Generator* g = as_gen(self);
    if (g->finished || (g->state == 0 && !g->yieldfrom)) return;
    PyObject* saved = PyErr_GetRaisedException();
    if (close_gen(g) < 0) PyErr_WriteUnraisable(self);
    PyErr_SetRaisedException(saved);
}

int gen_traverse(PyObject* self, visitproc visit, void* arg) {
    Generator* g = as_gen(self);
    Py_VISIT(g->scope);
    Py_VISIT(g->yieldfrom);
    Py_VISIT(g->name);
    Py_VISIT(g->qualname);
    return 0;
}

int gen_clear(PyObject* self) {
    Generator* g = as_gen(self);
    Py_CLEAR(g->scope);
    Py_CLEAR(g->yieldfrom);
    return 0;
}

void gen_dealloc(PyObject* self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    Generator* g = as_gen(self);
    gen_clear(self);
    Py_XDECREF(g->name);
    Py_XDECREF(g->qualname);
    PyObject_GC_Del(self);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_gen(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_gen(self)->qualname); }
int set_name(PyObject* self, PyObject* value, void*) {
    return set_text(as_gen(self)->name, value, "__name__ must be set to a string object");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(as_gen(self)->qualname, value, "__qualname__ must be set to a string object");
}
PyObject* get_module(PyObject*, void*) { return PyUnicode_FromString(module_info.full_name); }
PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_gen(self)->running); }
PyObject* get_suspended(PyObject* self, void*) {
    Generator* g = as_gen(self);
    return PyBool_FromLong(!g->running && !g->finished && (g->state != 0 || g->yieldfrom));
}
PyObject* get_frame(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_code(PyObject* self, void*) { return Py_NewRef(as_gen(self)->def->code); }
PyObject* get_yieldfrom(PyObject* self, void*) {
    PyObject* yf = as_gen(self)->yieldfrom;
    return Py_NewRef(yf ? yf : Py_None);
}

PyGetSetDef gen_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"gi_frame", get_frame, nullptr, nullptr, nullptr},
    {"gi_code", get_code, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", get_yieldfrom, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef gen_methods[] = {
    {"send", gen_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gen_throw)), METH_FASTCALL, nullptr},
    {"close", gen_close, METH_NOARGS, nullptr},
    {"__reduce__", gen_reduce, METH_NOARGS, nullptr},
    {"__reduce_ex__", gen_reduce, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject GeneratorType = [] {
    PyTypeObject t = kv::type_template("kelvarn_generator", sizeof(Generator));
    t.tp_dealloc = gen_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = gen_traverse;
    t.tp_clear = gen_clear;
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = gen_iternext;
    t.tp_methods = gen_methods;
    t.tp_getset = gen_getset;
    t.tp_finalize = gen_finalize;
    return t;
}();

}  // namespace

PyObject* make_generator(GenDef& def, PyObject* scope) {
    if (PyType_Ready(&GeneratorType) < 0) return nullptr;
    if (!def.code) {
        const char* dot = std::strrchr(def.qualname, '.');
        def.code = reinterpret_cast<PyObject*>(
            PyCode_NewEmpty(module_info.source, dot ? dot + 1 : def.qualname, def.site.line));
        if (!def.code) return nullptr;
    }
    Generator* g = PyObject_GC_New(Generator, &GeneratorType);
    if (!g) return nullptr;
    g->def = &def;
    g->scope = Py_NewRef(scope);
    g->yieldfrom = nullptr;
    g->state = 0;
    g->running = 0;
    g->finished = 0;
    g->name = Py_NewRef(reinterpret_cast<PyCodeObject*>(def.code)->co_name);
    if (!def.qualname_obj && !(def.qualname_obj = PyUnicode_InternFromString(def.qualname))) {
        g->qualname = nullptr;
        g->finished = 1;
        Py_DECREF(g);
        return nullptr;
    }
    g->qualname = Py_NewRef(def.qualname_obj);
    PyObject_GC_Track(g);
    return reinterpret_cast<PyObject*>(g);
}

// ---------------------------------------------------------------------------
// Generator-state records

namespace {

ScopeType* scope_type(PyObject* o) {
    return reinterpret_cast<ScopeType*>(reinterpret_cast<char*>(Py_TYPE(o)) - offsetof(ScopeType, type));
}

int scope_traverse(PyObject* self, visitproc visit, void* arg) {
    int n = scope_type(self)->nrefs;
    for (int i = 0; i < n; i++) Py_VISIT(scope_ref(self, i));
    return 0;
}

int scope_clear(PyObject* self) {
    int n = scope_type(self)->nrefs;
    for (int i = 0; i < n; i++) Py_CLEAR(scope_ref(self, i));
    return 0;
}

void scope_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    scope_clear(self);
    ScopeType* t = scope_type(self);
    if (Py_IS_TYPE(self, &t->type) && t->nfree < 8) {
        t->freelist[t->nfree++] = self;
        return;
    }
    PyObject_GC_Del(self);
}

}  // namespace

ScopeType::ScopeType(const char* name, int nrefs) : type(type_template(name, Py_ssize_t(sizeof(Scope) + sizeof(PyObject*) * (nrefs - 1)))), nrefs(nrefs) {
    type.tp_dealloc = scope_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    type.tp_traverse = scope_traverse;
    type.tp_clear = scope_clear;
}

int ready_scope(ScopeType& t) { return PyType_Ready(&t.type); }

PyObject* new_scope(ScopeType& t) {
    PyObject* o;
    if (t.nfree > 0) {
        o = t.freelist[--t.nfree];
        std::memset(static_cast<void*>(reinterpret_cast<Scope*>(o)->refs), 0, sizeof(PyObject*) * t.nrefs);
        PyObject_Init(o, &t.type);
    } else {
        o = reinterpret_cast<PyObject*>(PyObject_GC_New(Scope, &t.type));
        if (!o) return nullptr;
    }
    for (int i = 0; i < t.nrefs; i++) scope_ref(o, i) = Py_NewRef(Py_None);
    PyObject_GC_Track(o);
    return o;
}

}  // namespace kv
