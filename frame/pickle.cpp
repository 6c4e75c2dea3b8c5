// Pickling: __reduce__, __setstate__ and the module-level reconstructors.
#include "frame.hpp"

#include <cstdio>

namespace kv {

namespace {

Name new_name("__new__");

const PickleDef& pickle_def(const FuncDef& def) { return *static_cast<const PickleDef*>(def.data); }

char* field(PyObject* self, const Field& f) { return reinterpret_cast<char*>(self) + f.offset; }
PyObject*& object_field(PyObject* self, const Field& f) { return *reinterpret_cast<PyObject**>(field(self, f)); }
int& int_field(PyObject* self, const Field& f) { return *reinterpret_cast<int*>(field(self, f)); }
long long& int64_field(PyObject* self, const Field& f) { return *reinterpret_cast<long long*>(field(self, f)); }

bool is_object(FieldKind k) { return k == FieldKind::Bytes || k == FieldKind::Str || k == FieldKind::List || k == FieldKind::Ext; }

PyObject* field_to_python(PyObject* self, const Field& f) {
    switch (f.kind) {
        case FieldKind::Bool: return PyBool_FromLong(int_field(self, f));
        case FieldKind::Int32: return PyLong_FromLong(int_field(self, f));
        case FieldKind::Int64: return PyLong_FromLongLong(int64_field(self, f));
        case FieldKind::Enum32: return f.to_py(int_field(self, f));
        default: return Py_NewRef(object_field(self, f));
    }
}

// Store one state item into its field, checked as the field is declared.
bool store_field(PyObject* self, const Field& f, PyObject* item) {
    switch (f.kind) {
        case FieldKind::Bytes:
            if (!check_exact(item, &PyBytes_Type)) return false;
            break;
        case FieldKind::Str:
            if (!check_exact(item, &PyUnicode_Type)) return false;
            break;
        case FieldKind::List:
            if (!check_exact(item, &PyList_Type)) return false;
            break;
        case FieldKind::Ext:
            if (!check_instance(item, *f.ext)) return false;
            break;
        case FieldKind::Bool: {
            int t = truth(item);
            if (t < 0) return false;
            int_field(self, f) = t;
            return true;
        }
        case FieldKind::Int32:
        case FieldKind::Enum32: {
            int v;
            if (to_int32(item, &v) < 0) return false;
            int_field(self, f) = v;
            return true;
        }
        case FieldKind::Int64: {
            long long v;
            if (to_int64(item, &v) < 0) return false;
            int64_field(self, f) = v;
            return true;
        }
    }
    assign(object_field(self, f), item);
    return true;
}

PyObject* set_state(const PickleDef& p, PyObject* self, PyObject* state) {
    if (state == Py_None) return none_not_subscriptable();
    Py_ssize_t size = PyTuple_GET_SIZE(state);
    for (int i = 0; i < p.nfields; i++) {
        if (i >= size) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            return nullptr;
        }
        if (!store_field(self, p.fields[i], PyTuple_GET_ITEM(state, i))) return nullptr;
    }
    if (size > p.nfields) {
        Ref dict;
        if (PyObject_GetOptionalAttrString(self, "__dict__", reinterpret_cast<PyObject**>(&dict)) < 0)
            return nullptr;
        if (dict) {
            Ref r = Ref::steal(PyObject_CallMethod(dict.get(), "update", "O", PyTuple_GET_ITEM(state, p.nfields)));
            if (!r) return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject* reduce_body(const FuncDef& def, PyObject* self, Arg*) {
    const PickleDef& p = pickle_def(def);
    Ref dict;
    if (PyObject_GetOptionalAttrString(self, "__dict__", reinterpret_cast<PyObject**>(&dict)) < 0) return nullptr;
    if (dict.get() == Py_None) dict.reset();
    // The values first: a conversion may run Python code, which must not
    // find the state tuple with empty items.
    Ref values[sizeof p.fields / sizeof p.fields[0]];
    bool separate = bool(dict);
    for (int i = 0; i < p.nfields; i++) {
        const Field& f = p.fields[i];
        values[i] = Ref::steal(field_to_python(self, f));
        if (!values[i]) return nullptr;
        if (is_object(f.kind) && values[i].get() != Py_None) separate = true;
    }
    Ref state = Ref::steal(PyTuple_New(p.nfields + (dict ? 1 : 0)));
    if (!state) return nullptr;
    for (int i = 0; i < p.nfields; i++) PyTuple_SET_ITEM(state.get(), i, values[i].release());
    if (dict) PyTuple_SET_ITEM(state.get(), p.nfields, dict.release());

    PyObject* name = p.unpickle.name;
    PyObject* reconstructor = PyDict_GetItemWithError(module_dict, name);  // borrowed
    if (!reconstructor) {
        if (PyErr_Occurred()) return nullptr;
        reconstructor = PyDict_GetItemWithError(PyModule_GetDict(builtins), name);
        if (!reconstructor) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            return nullptr;
        }
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    if (separate)
        return Py_BuildValue("O(OlO)O", reconstructor, type, p.checksums[0], Py_None, state.get());
    return Py_BuildValue("O(OlO)", reconstructor, type, p.checksums[0], state.get());
}

PyObject* setstate_body(const FuncDef& def, PyObject* self, Arg* args) {
    PyObject* state = args[0].o;
    if (!check_exact(state, &PyTuple_Type)) return nullptr;
    return set_state(pickle_def(def), self, state);
}

PyObject* unpickle_body(const FuncDef& def, PyObject*, Arg* args) {
    const PickleDef& p = pickle_def(def);
    PyObject* type = args[0].o;
    long checksum = long(args[1].i);
    PyObject* state = args[2].o;
    if (checksum != p.checksums[0] && checksum != p.checksums[1] && checksum != p.checksums[2]) {
        Ref error = Ref::steal(import_name("pickle", "PickleError"));
        if (!error) return nullptr;
        char text[512];
        std::snprintf(text, sizeof text, "Incompatible checksums (0x%s%lx vs (0x%07lx, 0x%07lx, 0x%07lx) = %s)",
                      checksum < 0 ? "-" : "", checksum < 0 ? -checksum : checksum, p.checksums[0],
                      p.checksums[1], p.checksums[2], p.field_list);
        PyErr_SetString(error.get(), text);
        return nullptr;
    }
    Ref result = Ref::steal(call_method(reinterpret_cast<PyObject*>(p.type), new_name.obj, type));
    if (!result) return nullptr;
    if (state != Py_None) {
        if (!check_exact(state, &PyTuple_Type)) return nullptr;
        Ref r = Ref::steal(set_state(p, result.get(), state));
        if (!r) return nullptr;
    }
    return result.release();
}

const char* format_name(char* buffer, const char* pattern, const char* class_name) {
    std::snprintf(buffer, 96, pattern, class_name);
    return buffer;
}

}  // namespace

PickleDef::PickleDef(const char* class_name, PyTypeObject* type, std::initializer_list<Field> list, long c0, long c1,
                     long c2, const char* field_list)
    : class_name(class_name), type(type), checksums{c0, c1, c2}, field_list(field_list),
      reduce(format_name(names[0], "%s.__reduce__", class_name), Kind::Method, reduce_body, this, {}, stringsource),
      setstate(format_name(names[1], "%s.__setstate__", class_name), Kind::Method, setstate_body, this,
               {{"__pyx_state"}}, stringsource),
      unpickle(format_name(names[2], "__pyx_unpickle_%s", class_name), Kind::Function, unpickle_body, this,
               {{"__pyx_type"}, {"__pyx_checksum", ParamType::Int32}, {"__pyx_state"}}, stringsource) {
    for (const Field& f : list) fields[nfields++] = f;
}

int add_pickling(PickleDef& def) {
    if (add_method(def.type, def.reduce) < 0) return -1;
    return add_method(def.type, def.setstate);
}

int add_reconstructor(PickleDef& def) { return add_function(def.unpickle); }

}  // namespace kv
