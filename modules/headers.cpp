// kelvarn.headers: the Header pair and the Headers collection.
#include "frame.hpp"

namespace {

using kv::Arg;
using kv::F;
using kv::Kind;
using kv::Ref;
using kv::T;

kv::Name n_lower("lower");
kv::Name n_name("name");
kv::Name n_value("value");

// ===========================================================================
// Header

struct HeaderObject {
    PyObject_HEAD
    PyObject* name;
    PyObject* value;
};

extern PyTypeObject HeaderType;

HeaderObject* as_header(PyObject* o) { return reinterpret_cast<HeaderObject*>(o); }

PyObject* header_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    as_header(o)->name = Py_NewRef(Py_None);
    as_header(o)->value = Py_NewRef(Py_None);
    return o;
}

void header_dealloc(PyObject* self) {
    Py_CLEAR(as_header(self)->name);
    Py_CLEAR(as_header(self)->value);
    Py_TYPE(self)->tp_free(self);
}

kv::Signature header_init_sig("__init__", {{"name", T::Bytes}, {"value", T::Bytes}});
kv::Site header_init_site("Header.__init__");

int header_init(PyObject* self, PyObject* args, PyObject* kwds) {
    Arg a[2];
    if (!header_init_sig.bind(args, kwds, a)) return kv::fail_int(header_init_site);
    kv::assign(as_header(self)->name, a[0].o);
    kv::assign(as_header(self)->value, a[1].o);
    return 0;
}

kv::Site header_repr_site("Header.__repr__");
kv::Name header_repr_prefix("<Header "), header_repr_sep(": "), header_repr_suffix(">");

PyObject* header_repr(PyObject* self) {
    Ref name = Ref::steal(PyObject_Str(as_header(self)->name));
    if (!name) return kv::fail(header_repr_site);
    Ref value = Ref::steal(PyObject_Str(as_header(self)->value));
    if (!value) return kv::fail(header_repr_site);
    PyObject* parts[] = {header_repr_prefix, name.get(), header_repr_sep, value.get(), header_repr_suffix};
    PyObject* r = kv::join_text(parts, 5);
    return r ? r : kv::fail(header_repr_site);
}

// ASCII case-insensitive equality of two exact byte strings, without
// allocating: what `a.lower() == b.lower()` computes.
bool bytes_equal_nocase(PyObject* a, PyObject* b) {
    Py_ssize_t n = PyBytes_GET_SIZE(a);
    if (n != PyBytes_GET_SIZE(b)) return false;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(a));
    const unsigned char* q = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(b));
    for (Py_ssize_t i = 0; i < n; i++) {
        unsigned char x = p[i], y = q[i];
        if (x == y) continue;
        if (x >= 'A' && x <= 'Z') x += 32;
        if (y >= 'A' && y <= 'Z') y += 32;
        if (x != y) return false;
    }
    return true;
}

kv::Site header_eq_site("Header.__eq__");

// The `==` result object, or NotImplemented.
PyObject* header_eq(PyObject* self, PyObject* other) {
    if (!PyObject_TypeCheck(other, &HeaderType)) Py_RETURN_NOTIMPLEMENTED;
    if (Py_IS_TYPE(self, &HeaderType) && Py_IS_TYPE(other, &HeaderType) &&
        PyBytes_CheckExact(as_header(self)->name) && PyBytes_CheckExact(as_header(other)->name)) {
        // Exact types: the attributes are the fields and bytes.lower cannot be overridden.
        if (!bytes_equal_nocase(as_header(other)->name, as_header(self)->name)) Py_RETURN_FALSE;
        PyObject* r = PyObject_RichCompare(as_header(other)->value, as_header(self)->value, Py_EQ);
        return r ? r : kv::fail(header_eq_site);
    }
    Ref on = Ref::steal(PyObject_GetAttr(other, n_name));
    if (!on) return kv::fail(header_eq_site);
    Ref a = Ref::steal(kv::call_method(on.get(), n_lower));
    if (!a) return kv::fail(header_eq_site);
    Ref sn = Ref::steal(PyObject_GetAttr(self, n_name));
    if (!sn) return kv::fail(header_eq_site);
    Ref b = Ref::steal(kv::call_method(sn.get(), n_lower));
    if (!b) return kv::fail(header_eq_site);
    Ref c = Ref::steal(PyObject_RichCompare(a.get(), b.get(), Py_EQ));
    if (!c) return kv::fail(header_eq_site);
    int t = kv::truth(c.get());
    if (t < 0) return kv::fail(header_eq_site);
    if (!t) return c.release();
    Ref ov = Ref::steal(PyObject_GetAttr(other, n_value));
    if (!ov) return kv::fail(header_eq_site);
    Ref sv = Ref::steal(PyObject_GetAttr(self, n_value));
    if (!sv) return kv::fail(header_eq_site);
    PyObject* r = PyObject_RichCompare(ov.get(), sv.get(), Py_EQ);
    return r ? r : kv::fail(header_eq_site);
}

kv::Site header_ne_site("Header.__ne__");

PyObject* header_richcompare(PyObject* self, PyObject* other, int op) {
    if (op == Py_EQ) return header_eq(self, other);
    if (op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    Ref r = Ref::steal(header_eq(self, other));
    if (!r) return kv::fail(header_ne_site);
    if (r.get() == Py_NotImplemented) return r.release();
    int t = kv::truth(r.get());
    if (t < 0) return kv::fail(header_ne_site);
    return PyBool_FromLong(!t);
}

// iter(header): name, then value.
PyObject* header_iter_body(kv::Generator* g, PyObject* sent) {
    if (!sent) return nullptr;
    HeaderObject* self = as_header(kv::scope_ref(g->scope, 0));
    switch (g->state) {
        case 0: g->state = 1; return Py_NewRef(self->name);
        case 1: g->state = 2; return Py_NewRef(self->value);
        default: return nullptr;
    }
}

kv::GenDef header_iter_gen("Header.__iter__", header_iter_body);
kv::ScopeType header_iter_scope("kelvarn.headers.__pyx_scope_struct__Header___iter__", 1);
kv::Site header_iter_site("Header.__iter__");

PyObject* header_iter(PyObject* self) {
    Ref scope = Ref::steal(kv::new_scope(header_iter_scope));
    if (!scope) return kv::fail(header_iter_site);
    kv::assign(kv::scope_ref(scope.get(), 0), self);
    PyObject* g = kv::make_generator(header_iter_gen, scope.get());
    return g ? g : kv::fail(header_iter_site);
}

PyObject* header_get_name(PyObject* self, void*) { return Py_NewRef(as_header(self)->name); }
PyObject* header_get_value(PyObject* self, void*) { return Py_NewRef(as_header(self)->value); }

PyGetSetDef header_getset[] = {
    {"name", header_get_name, nullptr, nullptr, nullptr},
    {"value", header_get_value, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject HeaderType = [] {
    PyTypeObject t = kv::type_template("kelvarn.headers.Header", sizeof(HeaderObject));
    t.tp_dealloc = header_dealloc;
    t.tp_repr = header_repr;
    t.tp_hash = PyObject_HashNotImplemented;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_richcompare = header_richcompare;
    t.tp_iter = header_iter;
    t.tp_getset = header_getset;
    t.tp_init = header_init;
    t.tp_new = header_new;
    return t;
}();

kv::PickleDef header_pickle("Header", &HeaderType,
                            {{"name", F::Bytes, offsetof(HeaderObject, name)},
                             {"value", F::Bytes, offsetof(HeaderObject, value)}},
                            0xaaf55bf, 0xe891e3f, 0xfa7a105, "(name, value)");

// ===========================================================================
// Module

int exec_module(PyObject*) {
    if (kv::add_type(&HeaderType, "Header") < 0) return -1;
    if (kv::add_pickling(header_pickle) < 0) return -1;
    if (kv::ready_scope(header_iter_scope) < 0) return -1;
    if (kv::import_from("collections.abc", "Mapping") < 0) return -1;
    if (kv::import_from("collections.abc", "MutableSequence") < 0) return -1;
    if (kv::add_reconstructor(header_pickle) < 0) return -1;
    return 0;
}

}  // namespace

const kv::ModuleInfo kv::module_info = {"headers", "kelvarn.headers", "kelvarn/headers.cpp", exec_module};

KV_MODULE_INIT(headers)
