// Argument binding, function objects, override dispatch and C tables.
//
// The life of a call
// ------------------
// A module declares each Python-visible function once, as a FuncDef: its
// qualified name, its kind (method or module function), its parameters
// (Param: name, type, default) and its body, `PyObject* body(self, Arg*)`.
// The exec step turns it into a function object (make_function, through
// add_method or add_function): an instance of FunctionType whose vectorcall
// pointer entry_for() picks once, from the shape of the signature.
//
// 1. Entry. CPython calls the function object's vectorcall pointer, which
//    is one of two entries:
//    - method_direct<N>: a method of N <= 2 parameters, all of them objects
//      without defaults. It tests the one shape worth a shortcut (an exact
//      instance of the owner, N positional arguments, each of its declared
//      type or None) and calls the body at once; anything else falls
//      through to function_vectorcall.
//    - function_vectorcall: every other call. It takes `self` off a method's
//      arguments and checks it is an instance of the owner, then binds.
//    Calls through tp_call (a tuple and a dict) go through function_call to
//    PyVectorcall_Call, and so to the same entry. A type's __init__ is an
//    InitDef instead: init_slot binds a tuple and a dict, and construct(),
//    the class's own vectorcall, binds the vector and allocates.
//
// 2. Binding. Signature::bind fills one Arg per parameter. The inline part
//    handles every parameter given by position with nothing to convert; it
//    checks only the declared exact types. bind_slow places keywords
//    (match(), place()) and finish() applies defaults, then converts the
//    native integers and truth values, then checks the declared types with
//    the messages of arg_type_error. Every message of a binding error is
//    made here, and only here.
//
// 3. Body. The body reads its Arg values (borrowed) and returns a new
//    reference, or null with an exception set. A body never adds a
//    traceback entry for its own function: the entry does that.
//
// 4. Failure. On null, the entry calls add_traceback(def.site) (fail()
//    returns null after it, fail_int() -1). The Site holds the qualified
//    name and the source line of the FuncDef (std::source_location), and
//    module.cpp adds a frame "kelvarn.<module>.<qualname>" at that line of
//    the module's source file (or of `file`, e.g. "<stringsource>"), with
//    a code object made once per site. Helpers that fail inside a body set
//    the exception and return null; only the entry adds the frame, so each
//    failing call shows exactly one entry of its own.
//
// 5. The typed tables. A type with a C method table (`__pyx_vtable__`,
//    published by set_vtable) has one C entry per method, taking the
//    instance, the arguments and a trailing `skip` flag. Each such entry is
//    one line over a template of typed.hpp (object_entry, void_entry,
//    truth_entry), which does this:
//    - dispatch(): unless `skip` is set or the type cannot carry an override
//      (may_override: an exact static type without a dict), find_override
//      looks the method name up on the instance; if what it finds is not
//      the FuncDef's own function object, that override is called with the
//      arguments, and its result is checked against the declared result
//      type (check_exact / check_instance messages).
//    - otherwise the `_impl` body runs directly, without binding.
//    - either way a failure adds the FuncDef's own traceback entry, so a
//      call from C reports as a call of the Python method would.
//    The module functions of a C function table (`__pyx_capi__`, published
//    by export_function) have no override step and call their `_impl`.
#include "frame.hpp"
#include "typed.hpp"

#include <cstring>

namespace kv {

Signature*& signatures_head() {
    static Signature* head = nullptr;
    return head;
}

// ---------------------------------------------------------------------------
// Argument binding

Signature::Signature(const char* name, std::initializer_list<Param> list) : name(name), next(signatures_head()) {
    signatures_head() = this;
    for (const Param& p : list) {
        switch (p.type) {
            case ParamType::Bytes: declared[n] = &PyBytes_Type; break;
            case ParamType::Str: declared[n] = &PyUnicode_Type; break;
            case ParamType::List: declared[n] = &PyList_Type; break;
            case ParamType::Tuple: declared[n] = &PyTuple_Type; break;
            case ParamType::Dict: declared[n] = &PyDict_Type; break;
            case ParamType::Object: break;
            default: objects_only = false;
        }
        params[n++] = p;
        if (p.def == Default::Required) nrequired = n;
    }
}

namespace {

bool count_error(const Signature& sig, bool too_many, Py_ssize_t given) {
    bool exact = sig.nrequired == sig.n;
    Py_ssize_t expected = (exact || !too_many) ? sig.nrequired : sig.n;
    const char* how = exact ? "exactly" : too_many ? "at most" : "at least";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig.name, how,
                 expected, expected == 1 ? "" : "s", given);
    return false;
}

bool str_equal(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        if (PyUnicode_GET_LENGTH(a) != PyUnicode_GET_LENGTH(b)) return false;
        if (PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
        Py_hash_t ha = reinterpret_cast<PyASCIIObject*>(a)->hash, hb = reinterpret_cast<PyASCIIObject*>(b)->hash;
        if (ha != -1 && hb != -1 && ha != hb) return false;
        return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                           size_t(PyUnicode_GET_LENGTH(a)) * PyUnicode_KIND(a)) == 0;
    }
    return false;
}

}  // namespace

// Index of the parameter named `key`, -1 when none, -2 on error.
int Signature::match(PyObject* key) const {
    for (int i = 0; i < n; i++)
        if (names[i] == key) return i;
    if (PyUnicode_CheckExact(key)) {
        for (int i = 0; i < n; i++)
            if (str_equal(names[i], key)) return i;
        return -1;
    }
    for (int i = 0; i < n; i++) {
        int eq = PyObject_RichCompareBool(key, names[i], Py_EQ);
        if (eq < 0) return -2;
        if (eq) return i;
    }
    return -1;
}

// Put a keyword argument in its parameter's place.
bool Signature::place(PyObject* key, PyObject* value, Py_ssize_t nargs, PyObject** values, Ref* hold) const {
    int i = match(key);
    if (i == -2) return false;
    if (i < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, key);
        return false;
    }
    if (i < nargs) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name, key);
        return false;
    }
    values[i] = value;
    if (hold) hold[i] = Ref::borrow(value);
    return true;
}

bool Signature::finish(PyObject** values, Py_ssize_t nargs, Arg* out) const {
    for (Py_ssize_t i = nargs; i < n; i++) {
        if (values[i]) continue;
        if (params[i].def == Default::Required) return count_error(*this, false, i);
    }
    // Native integers and booleans first, then the declared object types.
    for (int i = 0; i < n; i++) {
        const Param& p = params[i];
        PyObject* v = values[i];
        switch (p.type) {
            case ParamType::Int32: {
                if (!v) { out[i].i = p.defval; break; }
                int x;
                if (to_int32(v, &x) < 0) return false;
                out[i].i = x;
                break;
            }
            case ParamType::Int64: {
                if (!v) { out[i].i = p.defval; break; }
                long long x;
                if (to_int64(v, &x) < 0) return false;
                out[i].i = x;
                break;
            }
            case ParamType::Bool: {
                if (!v) { out[i].b = int(p.defval); break; }
                int t = truth(v);
                if (t < 0) return false;
                out[i].b = t;
                break;
            }
            default:
                out[i].o = v ? v : Py_None;
        }
    }
    for (int i = 0; i < n; i++) {
        const Param& p = params[i];
        PyObject* v;
        PyTypeObject* t;
        switch (p.type) {
            case ParamType::Bytes: t = &PyBytes_Type; break;
            case ParamType::Str: t = &PyUnicode_Type; break;
            case ParamType::List: t = &PyList_Type; break;
            case ParamType::Tuple: t = &PyTuple_Type; break;
            case ParamType::Dict: t = &PyDict_Type; break;
            case ParamType::DictOnly: {
                v = out[i].o;
                if (PyDict_CheckExact(v)) continue;
                arg_type_error(p.name, "dict", v);
                if (PyDict_Check(v)) {
                    PyObject* exc = PyErr_GetRaisedException();
                    Ref r = Ref::steal(PyObject_CallMethod(
                        exc, "add_note", "s",
                        "Note that subclasses of built-in types such as dict are rejected for this "
                        "parameter: pass an exact dict."));
                    if (!r) {
                        Py_DECREF(exc);
                        return false;
                    }
                    PyErr_SetRaisedException(exc);
                }
                return false;
            }
            case ParamType::Ext:
            case ParamType::ExtOnly: {
                v = out[i].o;
                t = *p.ext;
                if (p.type == ParamType::Ext ? instance_or_none(v, t) : PyObject_TypeCheck(v, t)) continue;
                arg_type_error(p.name, t->tp_name, v);
                return false;
            }
            default: continue;
        }
        v = out[i].o;
        if (!exact_or_none(v, t)) {
            arg_type_error(p.name, t->tp_name, v);
            return false;
        }
    }
    return true;
}

bool Signature::bind_slow(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Arg* out) const {
    PyObject* values[max_params] = {};
    if (nargs > n) return count_error(*this, true, nargs);
    for (Py_ssize_t i = 0; i < nargs; i++) values[i] = args[i];
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; k++) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
                return false;
            }
            if (!place(key, args[nargs + k], nargs, values)) return false;
        }
    }
    return finish(values, nargs, out);
}

bool Signature::bind(PyObject* args, PyObject* kwds, Arg* out, Ref* hold) const {
    PyObject* values[max_params] = {};
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > n) return count_error(*this, true, nargs);
    for (Py_ssize_t i = 0; i < nargs; i++) values[i] = PyTuple_GET_ITEM(args, i);
    if (kwds) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwds, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                return false;
            }
        }
        pos = 0;
        while (PyDict_Next(kwds, &pos, &key, &value)) {
            // A key of a str subclass compares through its own __eq__.
            Ref held_key = Ref::borrow(key);
            if (!place(key, value, nargs, values, hold)) return false;
        }
    }
    return finish(values, nargs, out);
}

// ---------------------------------------------------------------------------
// Function objects

namespace {

const char* short_name(const char* qualname) {
    const char* dot = std::strrchr(qualname, '.');
    return dot ? dot + 1 : qualname;
}

// The registered definitions, first to last: the registry appends.
struct Registry {
    FuncDef* first = nullptr;
    FuncDef** end = &first;
};
Registry& registry() {
    static Registry r;
    return r;
}

void enrol(FuncDef* def) {
    Registry& r = registry();
    *r.end = def;
    r.end = &def->next;
}

}  // namespace

FuncDef::FuncDef(PyTypeObject* owner, const char* qualname, Body body, std::initializer_list<Param> params,
                 std::source_location loc)
    : qualname(qualname), kind(Kind::Method), body(body), sig(short_name(qualname), params),
      site(qualname, nullptr, false, loc), owner(owner) {
    enrol(this);
}

FuncDef::FuncDef(const char* qualname, Body body, std::initializer_list<Param> params, std::source_location loc)
    : qualname(qualname), kind(Kind::Function), body(body), sig(short_name(qualname), params),
      site(qualname, nullptr, false, loc) {
    enrol(this);
}

FuncDef::FuncDef(const char* qualname, Kind kind, Body body, std::initializer_list<Param> params, const char* file,
                 std::source_location loc)
    : qualname(qualname), kind(kind), body(body), sig(short_name(qualname), params),
      site(qualname, file, false, loc) {}

FuncDef::FuncDef(const char* qualname, Kind kind, SharedBody body, const void* data,
                 std::initializer_list<Param> params, const char* file, std::source_location loc)
    : qualname(qualname), kind(kind), shared(body), data(data), sig(short_name(qualname), params),
      site(qualname, file, false, loc) {}

namespace {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FuncDef* def;
    PyObject* dict;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
};

Function* as_function(PyObject* o) { return reinterpret_cast<Function*>(o); }

// The general entry: every call shape, every error message; binds, runs the body, adds the entry on failure.
KV_NOINLINE PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                               PyObject* kwnames) {
    FuncDef& def = *as_function(callable)->def;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* self = nullptr;
    if (def.kind == Kind::Method) {
        if (nargs == 0) {
            PyErr_Format(PyExc_TypeError, "unbound method %.200S() needs an argument",
                         as_function(callable)->qualname);
            return fail(def.site);
        }
        self = args[0];
        // The bodies read the instance layout: refuse any other object.
        if (def.owner && !PyObject_TypeCheck(self, def.owner)) {
            PyErr_Format(PyExc_TypeError, "descriptor '%U' for '%.100s' objects doesn't apply to a '%.100s' object",
                         def.name, def.owner->tp_name, Py_TYPE(self)->tp_name);
            return fail(def.site);
        }
        args++;
        nargs--;
    }
    Arg values[max_params];
    if (!def.sig.bind(args, nargs, kwnames, values)) return fail(def.site);
    PyObject* r = def.body ? def.body(self, values) : def.shared(def, self, values);
    if (!r) add_traceback(def.site);
    return r;
}

// Direct entries for the common shape of a method call: an exact instance of
// the owner and all N parameters by position, each of its declared type or
// None. Then binding cannot fail and has nothing to convert, so the body runs
// at once; any other call takes the general path above, which also produces
// every error message.
template <int N>
PyObject* method_direct(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const FuncDef& def = *as_function(callable)->def;
    if (PyVectorcall_NARGS(nargsf) == N + 1 && !kwnames && Py_IS_TYPE(args[0], def.owner)) [[likely]] {
        Arg values[N ? N : 1];
        for (int i = 0; i < N; i++) {
            PyObject* v = args[i + 1];
            PyTypeObject* t = def.sig.declared[i];
            if (t && !Py_IS_TYPE(v, t) && v != Py_None) [[unlikely]]
                return function_vectorcall(callable, args, nargsf, kwnames);
            values[i].o = v;
        }
        PyObject* r = def.body(args[0], values);
        return r ? r : fail(as_function(callable)->def->site);
    }
    return function_vectorcall(callable, args, nargsf, kwnames);
}

// The vectorcall entry of a new function object: method_direct<N> where it applies, else the general one.
vectorcallfunc entry_for(const FuncDef& def) {
    const Signature& sig = def.sig;
    if (def.kind != Kind::Method || !def.owner || !def.body || !sig.objects_only || sig.nrequired != sig.n)
        return function_vectorcall;
    switch (sig.n) {
        case 0: return method_direct<0>;
        case 1: return method_direct<1>;
        case 2: return method_direct<2>;
        default: return function_vectorcall;
    }
}

// The tp_call entry (a tuple and a dict): through PyVectorcall_Call to the vectorcall entry.
PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return PyVectorcall_Call(self, args, kwargs);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = as_function(self);
    Py_VISIT(f->dict);
    Py_VISIT(f->annotations);
    Py_VISIT(f->doc);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    return 0;
}

int function_clear(PyObject* self) {
    Function* f = as_function(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->doc);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Function* f = as_function(self);
    function_clear(self);
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->module);
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<kelvarn_function %U at %p>", as_function(self)->qualname, self);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }

int set_name(PyObject* self, PyObject* value, void*) {
    return set_text(as_function(self)->name, value, "__name__ must be set to a string object");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(as_function(self)->qualname, value, "__qualname__ must be set to a string object");
}

PyObject* get_doc(PyObject* self, void*) {
    PyObject* d = as_function(self)->doc;
    return Py_NewRef(d ? d : Py_None);
}
int set_doc(PyObject* self, PyObject* value, void*) {
    Function* f = as_function(self);
    Py_XSETREF(f->doc, Py_XNewRef(value));
    return 0;
}

PyObject* get_module(PyObject* self, void*) { return Py_NewRef(as_function(self)->module); }
int set_module(PyObject* self, PyObject* value, void*) {
    Function* f = as_function(self);
    Py_SETREF(f->module, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* get_dict(PyObject* self, void*) {
    Function* f = as_function(self);
    if (!f->dict && !(f->dict = PyDict_New())) return nullptr;
    return Py_NewRef(f->dict);
}
int set_dict(PyObject* self, PyObject* value, void*) {
    if (!value || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__dict__ must be set to a dictionary");
        return -1;
    }
    Py_XSETREF(as_function(self)->dict, Py_NewRef(value));
    return 0;
}

PyObject* get_globals(PyObject*, void*) { return Py_NewRef(module_dict); }
PyObject* get_none(PyObject*, void*) { return Py_NewRef(Py_None); }
PyObject* get_false(PyObject*, void*) { return Py_NewRef(Py_False); }

PyObject* get_defaults(PyObject* self, void*) {
    const Signature& sig = as_function(self)->def->sig;
    if (sig.nrequired == sig.n) return Py_NewRef(Py_None);
    Ref t = Ref::steal(PyTuple_New(sig.n - sig.nrequired));
    if (!t) return nullptr;
    for (int i = sig.nrequired; i < sig.n; i++) {
        const Param& p = sig.params[i];
        PyObject* v;
        switch (p.def) {
            case Default::False: v = Py_NewRef(Py_False); break;
            case Default::Int: v = PyLong_FromLongLong(p.defval); break;
            default: v = Py_NewRef(Py_None);
        }
        if (!v) return nullptr;
        PyTuple_SET_ITEM(t.get(), i - sig.nrequired, v);
    }
    return t.release();
}

PyObject* get_annotations(PyObject* self, void*) {
    Function* f = as_function(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject* get_code(PyObject* self, void*) { return Py_NewRef(as_function(self)->def->code); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__dict__", get_dict, set_dict, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"_is_coroutine", get_false, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject FunctionType = [] {
    PyTypeObject t = kv::type_template("kelvarn_function", sizeof(Function));
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(Function, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = function_call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_methods = function_methods;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(Function, dict);
    return t;
}();

// The code object of a function: its name, file and parameter names.
PyObject* make_code(FuncDef& def) {
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(def.site.file ? def.site.file : module_info.source, def.sig.name, def.site.line)));
    if (!code) return nullptr;
    int self = def.kind == Kind::Method ? 1 : 0;
    int count = def.sig.n + self;
    Ref varnames = Ref::steal(PyTuple_New(count));
    if (!varnames) return nullptr;
    if (self) {
        PyObject* s = PyUnicode_InternFromString("self");
        if (!s) return nullptr;
        PyTuple_SET_ITEM(varnames.get(), 0, s);
    }
    for (int i = 0; i < def.sig.n; i++) PyTuple_SET_ITEM(varnames.get(), i + self, Py_NewRef(def.sig.names[i]));
    Ref replace = Ref::steal(PyObject_GetAttrString(code.get(), "replace"));
    if (!replace) return nullptr;
    Ref kwargs = Ref::steal(Py_BuildValue("{s:i,s:O,s:i,s:s}", "co_argcount", count, "co_varnames", varnames.get(),
                                          "co_nlocals", count, "co_qualname", def.qualname));
    if (!kwargs) return nullptr;
    return PyObject_Call(replace.get(), empty_tuple, kwargs.get());
}

}  // namespace

bool is_function(PyObject* o) { return Py_IS_TYPE(o, &FunctionType); }

PyObject* make_function(FuncDef& def) {
    if (PyType_Ready(&FunctionType) < 0) return nullptr;
    if (!def.name && !(def.name = PyUnicode_InternFromString(def.sig.name))) return nullptr;
    if (!def.code && !(def.code = make_code(def))) return nullptr;
    Function* f = PyObject_GC_New(Function, &FunctionType);
    if (!f) return nullptr;
    f->vectorcall = entry_for(def);
    f->def = &def;
    f->dict = nullptr;
    f->doc = nullptr;
    f->annotations = nullptr;
    f->name = Py_NewRef(def.name);
    f->qualname = PyUnicode_InternFromString(def.qualname);
    f->module = PyUnicode_InternFromString(module_info.full_name);
    PyObject_GC_Track(f);
    if (!f->name || !f->qualname || !f->module) {
        Py_DECREF(f);
        return nullptr;
    }
    Py_XSETREF(def.func, reinterpret_cast<PyObject*>(f));
    return def.func;
}

int add_method(PyTypeObject* type, FuncDef& def) {
    def.owner = type;
    PyObject* f = make_function(def);
    if (!f) return -1;
    if (PyDict_SetItemString(type->tp_dict, def.sig.name, f) < 0) return -1;
    PyType_Modified(type);
    return 0;
}

int add_function(FuncDef& def) {
    PyObject* f = make_function(def);
    if (!f) return -1;
    return bind(def.sig.name, f);
}

int add_methods(PyTypeObject* type) {
    for (FuncDef* def = registry().first; def; def = def->next)
        if (def->kind == Kind::Method && def->owner == type && add_method(type, *def) < 0) return -1;
    return 0;
}

int add_functions() {
    for (FuncDef* def = registry().first; def; def = def->next)
        if (def->kind == Kind::Function && add_function(*def) < 0) return -1;
    return 0;
}

// ---------------------------------------------------------------------------
// Override dispatch

int find_override(PyObject* self, const FuncDef& def, PyObject** out) {
    Ref attr = Ref::steal(PyObject_GetAttr(self, def.name));
    if (!attr) return -1;
    PyObject* fn = attr.get();
    if (PyMethod_Check(fn)) fn = PyMethod_GET_FUNCTION(fn);
    if (fn == def.func) return 0;
    *out = attr.release();
    return 1;
}

PyObject* not_equal(PyObject* eq_result, Site& ne_site) {
    Ref r = Ref::steal(eq_result);
    if (!r) return fail(ne_site);
    if (r.get() == Py_NotImplemented) return r.release();
    int t = truth(r.get());
    if (t < 0) return fail(ne_site);
    return PyBool_FromLong(!t);
}

// ---------------------------------------------------------------------------
// C tables

int set_vtable(PyTypeObject* type, void* table) {
    Ref capsule = Ref::steal(PyCapsule_New(table, nullptr, nullptr));
    if (!capsule) return -1;
    if (PyDict_SetItemString(type->tp_dict, "__pyx_vtable__", capsule.get()) < 0) return -1;
    PyType_Modified(type);
    return 0;
}

int export_function(const char* name, void* fn, const char* signature) {
    Ref capi = Ref::steal(PyObject_GetAttrString(module_obj, "__pyx_capi__"));
    if (!capi) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        capi = Ref::steal(PyDict_New());
        if (!capi || PyObject_SetAttrString(module_obj, "__pyx_capi__", capi.get()) < 0) return -1;
    }
    Ref capsule = Ref::steal(PyCapsule_New(fn, signature, nullptr));
    if (!capsule) return -1;
    return PyDict_SetItemString(capi.get(), name, capsule.get());
}

}  // namespace kv
