// Module definition, create and exec steps, the constant table and
// traceback entries.
#include "frame.hpp"

#include <frameobject.h>

#include <cstdio>
#include <cstring>

namespace kv {

PyObject* module_obj = nullptr;
PyObject* module_dict = nullptr;
PyObject* builtins = nullptr;
PyObject* empty_tuple = nullptr;
PyObject* empty_bytes = nullptr;
PyObject* empty_str = nullptr;
const char stringsource[] = "<stringsource>";

namespace {

int64_t interpreter_id = -1;
Site* exec_failure_site = nullptr;  // set by fail_exec

// Registries filled by the static constructors of the module's constants.
Name*& names_head() { static Name* head = nullptr; return head; }
Bytes*& bytes_head() { static Bytes* head = nullptr; return head; }
Builtin*& builtins_head() { static Builtin* head = nullptr; return head; }

}  // namespace

Signature*& signatures_head();

Name::Name(const char* text) : text(text), next(names_head()) { names_head() = this; }
Bytes::Bytes(const char* text, Py_ssize_t len)
    : text(text), len(len < 0 ? Py_ssize_t(std::strlen(text)) : len), next(bytes_head()) {
    bytes_head() = this;
}
Builtin::Builtin(const char* name) : name(name), next(builtins_head()) { builtins_head() = this; }

namespace {

PyObject* intern(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (s && PyObject_Hash(s) == -1) Py_CLEAR(s);
    return s;
}

int init_constants() {
    if (!empty_tuple && !(empty_tuple = PyTuple_New(0))) return -1;
    if (!empty_bytes && !(empty_bytes = PyBytes_FromStringAndSize("", 0))) return -1;
    if (!empty_str && !(empty_str = PyUnicode_FromStringAndSize("", 0))) return -1;
    for (Name* n = names_head(); n; n = n->next)
        if (!n->obj && !(n->obj = intern(n->text))) return -1;
    for (Bytes* b = bytes_head(); b; b = b->next) {
        if (b->obj) continue;
        if (!(b->obj = PyBytes_FromStringAndSize(b->text, b->len))) return -1;
        if (PyObject_Hash(b->obj) == -1) return -1;
    }
    for (Signature* s = signatures_head(); s; s = s->next)
        for (int i = 0; i < s->n; i++)
            if (!s->names[i] && !(s->names[i] = intern(s->params[i].name))) return -1;
    return 0;
}

int init_builtins() {
    for (Builtin* b = builtins_head(); b; b = b->next) {
        if (b->obj) continue;
        PyObject* o = PyObject_GetAttrString(builtins, b->name);
        if (!o) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_NameError, "name '%s' is not defined", b->name);
            }
            return -1;
        }
        b->obj = o;
    }
    return 0;
}

int check_version() {
    int major = int((Py_Version >> 24) & 0xff), minor = int((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    char text[200];
    std::snprintf(text, sizeof text,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", PY_MAJOR_VERSION,
                  PY_MINOR_VERSION, module_info.full_name, "does not match", major, minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, text, 1);
}

int copy_spec_attr(PyObject* spec, PyObject* dict, const char* from, const char* to, bool allow_none) {
    PyObject* value = PyObject_GetAttrString(spec, from);
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) { PyErr_Clear(); return 0; }
        return -1;
    }
    int r = 0;
    if (allow_none || value != Py_None) r = PyDict_SetItemString(dict, to, value);
    Py_DECREF(value);
    return r;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (interpreter_id == -1) {
        interpreter_id = current;
    } else if (interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (module_obj) return Py_NewRef(module_obj);
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (!dict) return nullptr;
    if (copy_spec_attr(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attr(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attr(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false) < 0)
        return nullptr;
    return module.release();
}

int module_exec(PyObject* module) {
    if (module_obj) {
        if (module_obj == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     module_info.name);
        return -1;
    }
    static char init_name[64];
    std::snprintf(init_name, sizeof init_name, "init %s", module_info.full_name);
    // Constant-initialised: no guard, so the modules need nothing from the C++ runtime.
    constinit static Site init_site(init_name, nullptr, true);

    module_obj = Py_NewRef(module);
    bool traced = false;
    PyObject* sys_modules;
    Ref test;
    if (!(module_dict = PyModule_GetDict(module))) goto bad;
    if (!builtins && !(builtins = PyImport_AddModuleRef("builtins"))) goto bad;
    if (PyObject_SetAttrString(module, "__builtins__", builtins) < 0) goto bad;
    if (check_version() < 0) goto bad;
    if (init_constants() < 0) goto bad;
    traced = true;
    if (!(sys_modules = PyImport_GetModuleDict())) goto bad;
    {
        int has = PyDict_ContainsString(sys_modules, module_info.full_name);
        if (has < 0) goto bad;
        if (!has && PyDict_SetItemString(sys_modules, module_info.full_name, module) < 0) goto bad;
    }
    if (init_builtins() < 0) goto bad;
    if (module_info.exec(module) < 0) goto bad;
    test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItemString(module_dict, "__test__", test.get()) < 0) goto bad;
    return 0;

bad:
    if (module_dict && traced) add_traceback(exec_failure_site ? *exec_failure_site : init_site);
    exec_failure_site = nullptr;
    Py_CLEAR(module_obj);
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, init_name);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    nullptr,  // name, filled in by module_init
    nullptr,
    0,
    no_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyObject* module_init() {
    module_def.m_name = module_info.name;
    return PyModuleDef_Init(&module_def);
}

// ---------------------------------------------------------------------------
// Namespace helpers

int bind(const char* name, PyObject* value) { return PyDict_SetItemString(module_dict, name, value); }

PyObject* lookup_global(PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(module_dict, name);
    if (v) return Py_NewRef(v);
    if (PyErr_Occurred()) return nullptr;
    v = PyDict_GetItemWithError(PyModule_GetDict(builtins), name);
    if (v) return Py_NewRef(v);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

int fail_exec(Site& site) {
    exec_failure_site = &site;
    return -1;
}

int add_type(PyTypeObject* type, const char* short_name) {
    if (PyType_Ready(type) < 0) return -1;
    return bind(short_name, reinterpret_cast<PyObject*>(type));
}

int add_exception(PyTypeObject* type, PyObject* base, const char* short_name) {
    type->tp_base = reinterpret_cast<PyTypeObject*>(base);
    return add_type(type, short_name);
}

PyObject* import_name(const char* module, const char* name) {
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    if (!mod) return nullptr;
    PyObject* value = PyObject_GetAttrString(mod.get(), name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        Ref n = Ref::steal(PyUnicode_FromString(name));
        if (n) PyErr_Format(PyExc_ImportError, "cannot import name %S", n.get());
    }
    return value;
}

int import_from(const char* module, const char* name) {
    Ref value = Ref::steal(import_name(module, name));
    if (!value) return -1;
    return bind(name, value.get());
}

// ---------------------------------------------------------------------------
// Traceback entries

void add_traceback(Site& site) {
    PyObject* exc = PyErr_GetRaisedException();
    if (!site.code) {
        char full[256];
        if (site.raw)
            std::snprintf(full, sizeof full, "%s", site.qualname);
        else
            std::snprintf(full, sizeof full, "%s.%s", module_info.full_name, site.qualname);
        site.code = reinterpret_cast<PyObject*>(
            PyCode_NewEmpty(site.file ? site.file : module_info.source, full, site.line));
    }
    if (!site.code) {  // out of memory: keep the original exception
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
        return;
    }
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(site.code),
                                       module_dict ? module_dict : PyEval_GetBuiltins(), nullptr);
    PyErr_SetRaisedException(exc);
    if (!frame) return;
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

// ---------------------------------------------------------------------------
// Shared error texts

PyObject* arg_type_error(const char* param, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected, Py_TYPE(got)->tp_name);
    return nullptr;
}

PyObject* expected_error(const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(got)->tp_name);
    return nullptr;
}

PyObject* convert_error(PyObject* got, const char* type_name) {
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(got)->tp_name, type_name);
    return nullptr;
}

PyObject* none_attribute_error(const char* attr) {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", attr);
    return nullptr;
}

PyObject* none_not_subscriptable() {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
    return nullptr;
}

PyObject* none_no_len() {
    PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
    return nullptr;
}

PyObject* none_not_iterable() {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
    return nullptr;
}

PyObject* too_many_values(Py_ssize_t expected) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
    return nullptr;
}

PyObject* need_more_values(Py_ssize_t found) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
    return nullptr;
}

PyObject* dict_changed_size() {
    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
    return nullptr;
}

bool unpack2(PyObject* o, PyObject** a, PyObject** b, Ref* hold) {
    if (PyTuple_CheckExact(o) || PyList_CheckExact(o)) {
        Py_ssize_t n = Py_SIZE(o);
        if (n != 2) {
            if (n > 2) too_many_values(2);
            else need_more_values(n);
            return false;
        }
        PyObject** items = PyTuple_CheckExact(o) ? &PyTuple_GET_ITEM(o, 0) : &PyList_GET_ITEM(o, 0);
        hold[0] = Ref::borrow(items[0]);
        hold[1] = Ref::borrow(items[1]);
    } else {
        Ref it = Ref::steal(PyObject_GetIter(o));
        if (!it) return false;
        iternextfunc next = Py_TYPE(it.get())->tp_iternext;
        for (Py_ssize_t i = 0; i < 2; i++) {
            hold[i] = Ref::steal(next(it.get()));
            if (!hold[i]) {
                if (PyErr_Occurred()) {
                    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return false;
                    PyErr_Clear();
                }
                need_more_values(i);
                return false;
            }
        }
        Ref extra = Ref::steal(next(it.get()));
        if (extra) {
            too_many_values(2);
            return false;
        }
        if (PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return false;
            PyErr_Clear();
        }
    }
    *a = hold[0].get();
    *b = hold[1].get();
    return true;
}

PyObject* join_text(PyObject* const* parts, Py_ssize_t n) {
    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 127;
    for (Py_ssize_t i = 0; i < n; i++) {
        length += PyUnicode_GET_LENGTH(parts[i]);
        Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(parts[i]);
        if (m > maxchar) maxchar = m;
    }
    PyObject* result = PyUnicode_New(length, maxchar);
    if (!result) return nullptr;
    Py_ssize_t at = 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        Py_ssize_t len = PyUnicode_GET_LENGTH(parts[i]);
        if (PyUnicode_CopyCharacters(result, at, parts[i], 0, len) < 0) {
            Py_DECREF(result);
            return nullptr;
        }
        at += len;
    }
    return result;
}

// The two-way search (Crochemore and Perrin). `maximal_suffix` gives the
// start of the maximal suffix of x[0, m) for the byte order, or its reverse,
// and that suffix's period.
static std::ptrdiff_t maximal_suffix(const unsigned char* x, std::ptrdiff_t m, bool reverse, std::ptrdiff_t* period) {
    std::ptrdiff_t ms = -1, j = 0, k = 1, p = 1;
    while (j + k < m) {
        unsigned char a = x[j + k], b = x[ms + k];
        if (reverse ? a > b : a < b) {
            j += k;
            k = 1;
            p = j - ms;
        } else if (a == b) {
            if (k != p) {
                k++;
            } else {
                j += p;
                k = 1;
            }
        } else {
            ms = j;
            j = ms + 1;
            k = p = 1;
        }
    }
    *period = p;
    return ms;
}

const char* find_bytes_two_way(const char* text, size_t size, const char* pattern, size_t length) {
    auto y = reinterpret_cast<const unsigned char*>(text);
    auto x = reinterpret_cast<const unsigned char*>(pattern);
    auto n = std::ptrdiff_t(size), m = std::ptrdiff_t(length);
    std::ptrdiff_t p, q;
    std::ptrdiff_t i = maximal_suffix(x, m, false, &p), j = maximal_suffix(x, m, true, &q);
    std::ptrdiff_t ell = i > j ? i : j, per = i > j ? p : q;
    if (std::memcmp(x, x + per, size_t(ell + 1)) == 0) {
        // A periodic needle: what matched of the last period is remembered.
        std::ptrdiff_t memory = -1;
        for (j = 0; j <= n - m;) {
            i = (ell > memory ? ell : memory) + 1;
            while (i < m && x[i] == y[i + j]) i++;
            if (i < m) {
                j += i - ell;
                memory = -1;
                continue;
            }
            for (i = ell; i > memory && x[i] == y[i + j];) i--;
            if (i <= memory) return text + j;
            j += per;
            memory = m - per - 1;
        }
    } else {
        per = (ell + 1 > m - ell - 1 ? ell + 1 : m - ell - 1) + 1;
        for (j = 0; j <= n - m;) {
            i = ell + 1;
            while (i < m && x[i] == y[i + j]) i++;
            if (i < m) {
                j += i - ell;
                continue;
            }
            for (i = ell; i >= 0 && x[i] == y[i + j];) i--;
            if (i < 0) return text + j;
            j += per;
        }
    }
    return nullptr;
}

PyObject* shown(PyObject* text) {
    if (PyUnicode_GET_LENGTH(text) <= shown_max) return Py_NewRef(text);
    Ref head = Ref::steal(PyUnicode_Substring(text, 0, shown_max));
    return head ? PyUnicode_FromFormat("%U...", head.get()) : nullptr;
}

// ---------------------------------------------------------------------------
// Typed conversions

namespace {

// The integer protocol of typed parameters: an int as it is, anything else
// through its __int__.
PyObject* as_int(PyObject* o) {
    if (PyLong_Check(o)) return Py_NewRef(o);
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (!nb || !nb->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    PyObject* r = nb->nb_int(o);
    if (!r || PyLong_CheckExact(r)) return r;
    if (PyLong_Check(r)) {
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                             "strict subclass of int is deprecated, and may be removed in a future version of "
                             "Python.",
                             Py_TYPE(r)->tp_name) < 0) {
            Py_DECREF(r);
            return nullptr;
        }
        return r;
    }
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(r)->tp_name);
    Py_DECREF(r);
    return nullptr;
}

}  // namespace

// 32-bit targets convert through a 32-bit C long, as on the platforms where
// long has that width: out of range is the host's "C long" overflow there.
int to_int32_slow(PyObject* o, int* out) {
    Ref n = Ref::steal(as_int(o));
    if (!n) return -1;
    long v = PyLong_AsLong(n.get());
    if (v == -1 && PyErr_Occurred()) return -1;
    if (v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
        return -1;
    }
    *out = int(v);
    return 0;
}

int to_int64(PyObject* o, long long* out) {
    Ref n = Ref::steal(as_int(o));
    if (!n) return -1;
    long long v = PyLong_AsLongLong(n.get());
    if (v == -1 && PyErr_Occurred()) return -1;
    *out = v;
    return 0;
}

int truth(PyObject* o) {
    if (o == Py_True) return 1;
    if (o == Py_False || o == Py_None) return 0;
    return PyObject_IsTrue(o);
}

}  // namespace kv
