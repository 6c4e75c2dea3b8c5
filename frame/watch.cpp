// Guards: conditions on dict entries and functions, watched through the
// interpreter's dict and function watchers.
#include "watch.hpp"

#include <cstring>

namespace kv {

struct GuardAccess {
    static void touch(Guard* g) {
        g->ok_ = false;
        g->dirty_ = true;
    }
    static void fail(Guard* g) { g->failed_ = true; }
};

namespace {

enum class ConditionKind : uint8_t { Key, Items, Function };

// One condition of one guard. Every reference is owned: a recorded object
// cannot die and have its address reused by a stand-in that would compare
// as the same object.
struct Condition {
    Guard* guard;
    ConditionKind kind;
    PyObject* target;  // the dict, or the function
    PyObject* key;     // Key: the name
    PyObject* v[3];    // Key: the value (null: absent); Items: a copy of the dict;
                       // Function: code, defaults, keyword defaults (null: none)
    // Key, Items: the exact type of every key of the dict (str; bytes for a
    // table keyed by bytes), and whether a key of another type may have been
    // added since the dict was last found to hold none.
    PyTypeObject* key_type;
    bool foreign;
};

Condition* conditions = nullptr;
Py_ssize_t count = 0, capacity = 0;
// More than any guard of this package needs; beyond it the guard stays off.
constexpr Py_ssize_t max_conditions = 4096;

int dict_watcher = -1, func_watcher = -1;
bool dict_tried = false, func_tried = false;

bool same_key(PyObject* a, PyObject* b) {
    if (a == b) return true;
    if (!PyUnicode_CheckExact(a)) return true;  // an unusual key: assume it may be ours
    if (PyUnicode_GET_LENGTH(a) != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), size_t(PyUnicode_GET_LENGTH(a)) * PyUnicode_KIND(a)) == 0;
}

// Whether every key of `dict` is exactly of `type`. Keys of exact str and
// bytes hash and compare without running code; a key of any other type can
// make every lookup in the dict call its __eq__.
bool uniform_keys(PyObject* dict, PyTypeObject* type) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(dict, &pos, &k, &v))
        if (!Py_IS_TYPE(k, type)) return false;
    return true;
}

// The callbacks run before the change is made, so they only mark the guards;
// the comparison waits for the next holds(). They run no Python code and
// raise nothing. A key of another type (or a whole dict merged in, for
// which `key` is the source) marks the conditions on the dict: until it is
// gone again they do not hold, and the dict is not looked up.
int on_dict(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) {
    bool keyed = key && (event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED ||
                         event == PyDict_EVENT_DELETED);
    for (Py_ssize_t i = 0; i < count; i++) {
        Condition& c = conditions[i];
        if (c.kind == ConditionKind::Function || c.target != dict) continue;
        if ((event == PyDict_EVENT_ADDED && key && !Py_IS_TYPE(key, c.key_type)) || event == PyDict_EVENT_CLONED)
            c.foreign = true;
        else if (c.kind == ConditionKind::Key && keyed && !same_key(key, c.key))
            continue;
        GuardAccess::touch(c.guard);
    }
    return 0;
}

int on_function(PyFunction_WatchEvent event, PyFunctionObject* func, PyObject*) {
    // Every function created or destroyed in the interpreter comes here.
    if (event == PyFunction_EVENT_CREATE || event == PyFunction_EVENT_DESTROY) return 0;
    for (Py_ssize_t i = 0; i < count; i++) {
        const Condition& c = conditions[i];
        if (c.kind == ConditionKind::Function && c.target == reinterpret_cast<PyObject*>(func)) GuardAccess::touch(c.guard);
    }
    return 0;
}

bool have_dict_watcher() {
    if (dict_watcher < 0 && !dict_tried) {
        dict_tried = true;
        dict_watcher = PyDict_AddWatcher(on_dict);
        if (dict_watcher < 0) PyErr_Clear();
    }
    return dict_watcher >= 0;
}

bool have_func_watcher() {
    if (func_watcher < 0 && !func_tried) {
        func_tried = true;
        func_watcher = PyFunction_AddWatcher(on_function);
        if (func_watcher < 0) PyErr_Clear();
    }
    return func_watcher >= 0;
}

bool watched_dict(PyObject* dict) {
    for (Py_ssize_t i = 0; i < count; i++)
        if (conditions[i].kind != ConditionKind::Function && conditions[i].target == dict) return true;
    return false;
}

// Append a condition (references are taken). False when full.
bool add(const Condition& c) {
    if (count == max_conditions) return false;
    if (count == capacity) {
        Py_ssize_t n = capacity ? capacity * 2 : 64;
        auto* p = static_cast<Condition*>(PyMem_Realloc(conditions, size_t(n) * sizeof(Condition)));
        if (!p) {
            PyErr_Clear();
            return false;
        }
        conditions = p;
        capacity = n;
    }
    Condition& d = conditions[count];
    d = c;
    Py_INCREF(d.target);
    Py_XINCREF(d.key);
    for (PyObject* o : d.v) Py_XINCREF(o);
    count++;
    return true;
}

// Whether a condition still holds. Looks up exact str (or bytes) keys in
// dicts that hold no other keys only, so no Python code runs.
bool holds_now(Condition& c) {
    if (c.kind != ConditionKind::Function && c.foreign) {
        if (!uniform_keys(c.target, c.key_type)) return false;
        c.foreign = false;
    }
    switch (c.kind) {
        case ConditionKind::Key: {
            PyObject* v = PyDict_GetItemWithError(c.target, c.key);
            if (!v && PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
            return v == c.v[0];
        }
        case ConditionKind::Items: {
            if (PyDict_GET_SIZE(c.target) != PyDict_GET_SIZE(c.v[0])) return false;
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            while (PyDict_Next(c.v[0], &pos, &k, &v)) {
                PyObject* now = PyDict_GetItemWithError(c.target, k);
                if (now != v) {
                    PyErr_Clear();
                    return false;
                }
            }
            return true;
        }
        case ConditionKind::Function: {
            PyObject* f = c.target;
            return PyFunction_GET_CODE(f) == c.v[0] && PyFunction_GET_DEFAULTS(f) == c.v[1] &&
                   PyFunction_GET_KW_DEFAULTS(f) == c.v[2];
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// Reachability

// The names that a code object and the code objects nested in it use.
bool collect_names(PyObject* code, PyObject* into) {
    Ref names = Ref::steal(PyObject_GetAttrString(code, "co_names"));
    Ref consts = Ref::steal(PyObject_GetAttrString(code, "co_consts"));
    if (!names || !consts || !PyTuple_Check(names.get()) || !PyTuple_Check(consts.get())) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()); i++)
        if (PySet_Add(into, PyTuple_GET_ITEM(names.get(), i)) < 0) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); i++) {
        PyObject* k = PyTuple_GET_ITEM(consts.get(), i);
        if (PyCode_Check(k) && !collect_names(k, into)) return false;
    }
    return true;
}

struct Walk {
    Guard& guard;
    PyObject* seen;  // set of addresses of the functions and classes visited
    static constexpr int max_depth = 24;

    // True the first time `o` is met.
    int first_visit(PyObject* o) {
        Ref id = Ref::steal(PyLong_FromVoidPtr(o));
        if (!id) return -1;
        int has = PySet_Contains(seen, id.get());
        if (has != 0) return has < 0 ? -1 : 0;
        return PySet_Add(seen, id.get()) < 0 ? -1 : 1;
    }

    // Watch `names` in `dict` (then in `fallback`, the built-ins, for the
    // names `dict` lacks) and walk what they name.
    bool names_in(PyObject* dict, PyObject* fallback, PyObject* names, int depth) {
        Ref list = Ref::steal(PySequence_List(names));
        if (!list) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); i++) {
            PyObject* name = PyList_GET_ITEM(list.get(), i);
            if (!PyUnicode_CheckExact(name)) continue;
            guard.key(dict, name);
            PyObject* v = PyDict_GetItemWithError(dict, name);
            if (!v && PyErr_Occurred()) return false;
            if (!v && fallback) {
                guard.key(fallback, name);
                v = PyDict_GetItemWithError(fallback, name);
                if (!v && PyErr_Occurred()) return false;
            }
            if (v) {
                Ref hold = Ref::borrow(v);
                if (!walk(v, names, depth + 1)) return false;
            }
        }
        return true;
    }

    bool walk(PyObject* o, PyObject* names, int depth) {
        if (depth > max_depth) return false;
        if (PyFunction_Check(o)) {
            int first = first_visit(o);
            if (first <= 0) return first == 0;
            auto* f = reinterpret_cast<PyFunctionObject*>(o);
            if (f->func_closure) return false;
            guard.function(o);
            Ref own = Ref::steal(PySet_New(nullptr));
            if (!own || !collect_names(f->func_code, own.get())) return false;
            return names_in(f->func_globals, f->func_builtins, own.get(), depth);
        }
        if (PyMethod_Check(o)) {
            return walk(PyMethod_GET_FUNCTION(o), names, depth + 1) && walk(PyMethod_GET_SELF(o), names, depth + 1);
        }
        if (Py_IS_TYPE(o, &PyStaticMethod_Type) || Py_IS_TYPE(o, &PyClassMethod_Type)) {
            Ref f = Ref::steal(PyObject_GetAttrString(o, "__func__"));
            return f && walk(f.get(), names, depth + 1);
        }
        if (PyModule_Check(o)) {
            // Attribute reads of a module subclass may run its own code.
            if (!PyModule_CheckExact(o)) return false;
            if (!names) return true;
            PyObject* md = PyModule_GetDict(o);
            Ref getattr = Ref::steal(PyUnicode_InternFromString("__getattr__"));
            if (!getattr) return false;
            Ref more = Ref::steal(PySet_New(names));
            if (!more || PySet_Add(more.get(), getattr.get()) < 0) return false;
            return names_in(md, nullptr, more.get(), depth);
        }
        if (PyType_Check(o)) {
            auto* t = reinterpret_cast<PyTypeObject*>(o);
            if (t->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) return true;
            int first = first_visit(o);
            if (first <= 0) return first == 0;
            if (!walk(reinterpret_cast<PyObject*>(Py_TYPE(o)), nullptr, depth + 1)) return false;
            // Held: the class's MRO may be replaced (and the old tuple freed)
            // by whatever runs while its bases are walked.
            Ref mro = Ref::borrow(t->tp_mro);
            if (!mro || !PyTuple_Check(mro.get())) return false;
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); i++) {
                auto* b = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i));
                if (b->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) continue;
                Ref d = Ref::steal(PyType_GetDict(b));
                if (!d) return false;
                guard.items(d.get());
                Py_ssize_t pos = 0;
                PyObject *k, *v;
                while (PyDict_Next(d.get(), &pos, &k, &v)) {
                    Ref hold = Ref::borrow(v);
                    if (!walk(v, nullptr, depth + 1)) return false;
                }
            }
            return true;
        }
        // A table (a dict reached by name) is read item by item.
        if (PyDict_CheckExact(o)) {
            int first = first_visit(o);
            if (first <= 0) return first == 0;
            guard.items(o);
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            while (PyDict_Next(o, &pos, &k, &v)) {
                Ref hold = Ref::borrow(v);
                if (!walk(v, nullptr, depth + 1)) return false;
            }
            return true;
        }
        // Instances: those of a class that can change take their behaviour
        // from it; a wrapper that records what it wraps (functools) is
        // followed to it.
        PyTypeObject* t = Py_TYPE(o);
        if (!(t->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) && !walk(reinterpret_cast<PyObject*>(t), nullptr, depth + 1))
            return false;
        if ((t->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) && t->tp_dictoffset != 0) {
            Ref d = Ref::steal(PyObject_GenericGetDict(o, nullptr));
            if (!d) return false;
            PyObject* w = PyDict_Check(d.get()) ? PyDict_GetItemString(d.get(), "__wrapped__") : nullptr;
            if (w) {
                Ref hold = Ref::borrow(w);
                return walk(w, names, depth + 1);
            }
        }
        return true;
    }
};

}  // namespace

void Guard::reset() {
    ok_ = dirty_ = failed_ = false;
    // Detach this guard's conditions first, release them afterwards: a
    // release can run code that changes a watched dict, whose callback then
    // scans a consistent table.
    Py_ssize_t n = 0;
    for (Py_ssize_t i = 0; i < count; i++)
        if (conditions[i].guard == this) n++;
    if (n == 0) return;
    auto* dropped = static_cast<Condition*>(PyMem_Malloc(size_t(n) * sizeof(Condition)));
    if (!dropped) {  // keep them: they only make this guard recheck more often
        PyErr_Clear();
        failed_ = true;
        return;
    }
    Py_ssize_t kept = 0, d = 0;
    for (Py_ssize_t i = 0; i < count; i++) {
        if (conditions[i].guard == this)
            dropped[d++] = conditions[i];
        else
            conditions[kept++] = conditions[i];
    }
    count = kept;
    for (Py_ssize_t i = 0; i < n; i++) {
        const Condition& c = dropped[i];
        if (c.kind != ConditionKind::Function && dict_watcher >= 0 && !watched_dict(c.target) &&
            PyDict_Unwatch(dict_watcher, c.target) < 0)
            PyErr_Clear();
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        Condition& c = dropped[i];
        Py_DECREF(c.target);
        Py_XDECREF(c.key);
        for (PyObject* o : c.v) Py_XDECREF(o);
    }
    PyMem_Free(dropped);
}

void Guard::key(PyObject* dict, PyObject* key) {
    if (failed_) return;
    if (!PyDict_Check(dict) || !PyUnicode_CheckExact(key) || !have_dict_watcher()) {
        failed_ = true;
        return;
    }
    // A dict is checked for other keys once per guard; later conditions on
    // it take over what the callbacks have marked since.
    const Condition* known = nullptr;
    for (Py_ssize_t i = 0; i < count; i++) {
        const Condition& c = conditions[i];
        if (c.guard != this || c.kind != ConditionKind::Key || c.target != dict) continue;
        if (same_key(key, c.key)) return;
        known = &c;
    }
    bool foreign = known ? known->foreign : false;
    if (!known && !uniform_keys(dict, &PyUnicode_Type)) {
        failed_ = true;
        return;
    }
    PyObject* v = PyDict_GetItemWithError(dict, key);
    if ((!v && PyErr_Occurred()) || PyDict_Watch(dict_watcher, dict) < 0 ||
        !add({this, ConditionKind::Key, dict, key, {v, nullptr, nullptr}, &PyUnicode_Type, foreign})) {
        PyErr_Clear();
        failed_ = true;
    }
}

void Guard::items(PyObject* dict) {
    if (failed_) return;
    if (!PyDict_Check(dict) || !have_dict_watcher()) {
        failed_ = true;
        return;
    }
    // Tables keyed by str, or by bytes (the standard unquote's escapes).
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    PyTypeObject* type = PyDict_Next(dict, &pos, &k, &v) ? Py_TYPE(k) : &PyUnicode_Type;
    if ((type != &PyUnicode_Type && type != &PyBytes_Type) || !uniform_keys(dict, type)) {
        failed_ = true;
        return;
    }
    Ref copy = Ref::steal(PyDict_Copy(dict));
    if (!copy || PyDict_Watch(dict_watcher, dict) < 0 ||
        !add({this, ConditionKind::Items, dict, nullptr, {copy.get(), nullptr, nullptr}, type, false})) {
        PyErr_Clear();
        failed_ = true;
    }
}

void Guard::function(PyObject* func) {
    if (failed_) return;
    if (!PyFunction_Check(func) || !have_func_watcher()) {
        failed_ = true;
        return;
    }
    for (Py_ssize_t i = 0; i < count; i++)
        if (conditions[i].guard == this && conditions[i].kind == ConditionKind::Function && conditions[i].target == func) return;
    PyObject* kwdefaults = PyFunction_GET_KW_DEFAULTS(func);
    if (!add({this, ConditionKind::Function, func, nullptr,
              {PyFunction_GET_CODE(func), PyFunction_GET_DEFAULTS(func), kwdefaults}, nullptr, false})) {
        failed_ = true;
        return;
    }
    // The keyword defaults are a dict that can change in place.
    if (kwdefaults) items(kwdefaults);
}

void Guard::reachable(PyObject* obj) {
    if (failed_) return;
    Ref seen = Ref::steal(PySet_New(nullptr));
    if (!seen) {
        PyErr_Clear();
        failed_ = true;
        return;
    }
    Walk w{*this, seen.get()};
    if (!w.walk(obj, nullptr, 0)) {
        PyErr_Clear();
        failed_ = true;
    }
}

void Guard::arm() {
    ok_ = false;
    dirty_ = true;
    recheck();
}

bool Guard::recheck() {
    dirty_ = false;
    if (failed_) return false;
    bool any = false;
    for (Py_ssize_t i = 0; i < count; i++) {
        Condition& c = conditions[i];
        if (c.guard != this) continue;
        if (!holds_now(c)) return false;
        any = true;
    }
    ok_ = any;
    return ok_;
}

}  // namespace kv

namespace kv {

bool defined_in(PyObject* func, const char* module, const char* name) {
    if (!PyFunction_Check(func)) return false;
    Ref key = Ref::steal(PyUnicode_FromString(module));
    Ref mod = Ref::steal(key ? PyImport_GetModule(key.get()) : nullptr);
    bool ok = false;
    if (mod && PyModule_Check(mod.get()) && PyFunction_GET_GLOBALS(func) == PyModule_GetDict(mod.get())) {
        auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(func));
        Ref file = Ref::steal(PyModule_GetFilenameObject(mod.get()));
        ok = file && PyUnicode_CompareWithASCIIString(code->co_name, name) == 0 &&
             PyUnicode_Compare(code->co_filename, file.get()) == 0;
    }
    PyErr_Clear();
    return ok;
}

}  // namespace kv

namespace kv {

namespace {

// What one call gave: its result, or the exception it raised.
struct Outcome {
    Ref result;
    Ref error;
};

Outcome outcome_of(ProbeCall call, PyObject* input) {
    Outcome o;
    o.result = Ref::steal(call(input));
    if (!o.result) o.error = Ref::steal(PyErr_GetRaisedException());
    return o;
}

bool same_outcome(const Outcome& a, const Outcome& b) {
    if (a.result && b.result)
        return Py_TYPE(a.result.get()) == Py_TYPE(b.result.get()) &&
               PyObject_RichCompareBool(a.result.get(), b.result.get(), Py_EQ) == 1;
    if (!a.error || !b.error || Py_TYPE(a.error.get()) != Py_TYPE(b.error.get())) return false;
    Ref x = Ref::steal(PyException_GetArgs(a.error.get()));
    Ref y = Ref::steal(PyException_GetArgs(b.error.get()));
    return x && y && PyObject_RichCompareBool(x.get(), y.get(), Py_EQ) == 1;
}

}  // namespace

bool Probe::agrees() const {
    bool same = true;
    for (size_t i = 0; same && i < count; i++) {
        Ref input = Ref::steal(PyBytes_FromStringAndSize(inputs[i].data(), Py_ssize_t(inputs[i].size())));
        if (!input) break;
        Outcome a = outcome_of(standard, input.get());
        Outcome b = outcome_of(stand_in, input.get());
        same = same_outcome(a, b);
    }
    bool ok = same && !PyErr_Occurred();
    PyErr_Clear();
    return ok;
}

}  // namespace kv
