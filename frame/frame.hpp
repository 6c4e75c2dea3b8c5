// Shared support compiled into every kelvarn extension module.
//
// A module source declares its types, its functions (one FuncDef each: name,
// parameters, body) and an exec callback; this frame does module creation and
// execution, the constant table, argument binding with its messages, typed
// conversions, function and generator objects, traceback entries, pickling
// and override dispatch.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "compat.hpp"
#include "portable.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <source_location>

namespace kv {

// ---------------------------------------------------------------------------
// Owned references

class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) { Ref r; r.p_ = p; return r; }
    static Ref borrow(PyObject* p) { Py_XINCREF(p); return steal(p); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) { PyObject* old = p_; p_ = o.p_; o.p_ = nullptr; Py_XDECREF(old); }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const { return p_; }
    PyObject* release() { PyObject* p = p_; p_ = nullptr; return p; }
    void reset(PyObject* p = nullptr) { PyObject* old = p_; p_ = p; Py_XDECREF(old); }
    explicit operator bool() const { return p_ != nullptr; }
private:
    PyObject* p_ = nullptr;
};

// A zeroed static type object, to be filled in slot by slot.
inline PyTypeObject type_template(const char* name, Py_ssize_t basicsize) {
    PyTypeObject t;
    std::memset(static_cast<void*>(&t), 0, sizeof t);
    compat::make_immortal(reinterpret_cast<PyObject*>(&t));
    t.tp_name = name;
    t.tp_basicsize = basicsize;
    return t;
}

// A static exception type: the layout of BaseException; the base, the GC
// support and the instance dictionary come from the base when it is readied.
inline PyTypeObject exception_template(const char* name) {
    PyTypeObject t = type_template(name, sizeof(PyBaseExceptionObject));
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    return t;
}

// Replace an owned field with a new (borrowed) value.
inline void assign(PyObject*& field, PyObject* value) {
    PyObject* old = field;
    Py_INCREF(value);
    field = value;
    Py_XDECREF(old);
}

// Replace an owned field with a new reference, which the field takes over.
inline void replace(PyObject*& field, PyObject* value) {
    PyObject* old = field;
    field = value;
    Py_XDECREF(old);
}

// The two-way search for needles too long for the first-byte scan of
// find_bytes: linear in n + m whatever the bytes, in constant space.
const char* find_bytes_two_way(const char* text, size_t size, const char* pattern, size_t length);

// The first occurrence of `needle` (m bytes, m >= 1) in the n bytes at `p`,
// or null: memchr finds each candidate first byte, a byte loop checks the
// rest (a call of memcmp would cost more than the one or two bytes it
// compares). Portable (Windows has no memmem) and quicker for the short
// separators used here; no worse than linear in n for them.
inline const char* find_bytes(const char* p, size_t n, const char* needle, size_t m) {
    // Longer needles, which only callers of split_value pass, take the
    // two-way search: up to m compares per position would be quadratic.
    if (m > 8) return find_bytes_two_way(p, n, needle, m);
    const char* end = p + n;
    while (size_t(end - p) >= m) {
        auto at = static_cast<const char*>(std::memchr(p, needle[0], size_t(end - p) - m + 1));
        if (!at) return nullptr;
        size_t i = 1;
        while (i < m && at[i] == needle[i]) i++;
        if (i == m) return at;
        p = at + 1;
    }
    return nullptr;
}

// Percent-decoding as the standard unquote_to_bytes() does it: "%" and two
// hexadecimal digits (either case) become that byte, anything else stays.
struct HexTable {
    signed char value[256];
    constexpr HexTable() : value() {
        for (int c = 0; c < 256; c++)
            value[c] = static_cast<signed char>(c >= '0' && c <= '9'   ? c - '0'
                                                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                                       : -1);
    }
};
inline constexpr HexTable hex_table;

// The byte that the two hexadecimal digits at p stand for, or -1.
inline int hex_pair(const char* p) {
    int hi = hex_table.value[static_cast<unsigned char>(p[0])], lo = hex_table.value[static_cast<unsigned char>(p[1])];
    return (hi | lo) < 0 ? -1 : hi << 4 | lo;
}

// Writes at most `n` bytes to `out`; returns the length written.
inline Py_ssize_t percent_decode(const char* p, Py_ssize_t n, char* out) {
    char* w = out;
    for (Py_ssize_t i = 0; i < n; i++) {
        char c = p[i];
        if (c == '%' && i + 2 < n) {
            int b = hex_pair(p + i + 1);
            if (b >= 0) {
                *w++ = char(b);
                i += 2;
                continue;
            }
        }
        *w++ = c;
    }
    return w - out;
}

// A scratch buffer of n bytes: on the stack for short texts, on the heap
// otherwise (null with MemoryError set when that fails).
class Scratch {
public:
    explicit Scratch(Py_ssize_t n)
        : p_(n <= Py_ssize_t(sizeof small_) ? small_ : static_cast<char*>(PyMem_Malloc(size_t(n) + 1))) {
        if (!p_) PyErr_NoMemory();
    }
    ~Scratch() {
        if (p_ && p_ != small_) PyMem_Free(p_);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    char* get() const { return p_; }

private:
    char small_[256];
    char* p_;
};

// The setter of a text attribute such as __name__: only str is accepted.
inline int set_text(PyObject*& field, PyObject* value, const char* message) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    assign(field, value);
    return 0;
}

// ---------------------------------------------------------------------------
// Module identity and record

struct ModuleInfo {
    const char* name;        // "headers"
    const char* full_name;   // "kelvarn.headers"
    const char* source;      // "kelvarn/headers.cpp", the file named by traceback entries
    int (*exec)(PyObject* module);  // the module's own steps: tables, types, imports, functions
};
extern const ModuleInfo module_info;  // defined by each module source

extern PyObject* module_obj;   // the ready module (null until exec succeeds)
extern PyObject* module_dict;  // its namespace
extern PyObject* builtins;     // the builtins module

PyObject* module_init();  // body of PyInit_<name>

#define KV_MODULE_INIT(NAME) \
    PyMODINIT_FUNC PyInit_##NAME(void) { return ::kv::module_init(); }

// ---------------------------------------------------------------------------
// Constant table: interned, pre-hashed names created once by the exec step.
// Module sources name their constants by kind: `n_` for a Name, `bytes_` for
// a Bytes constant, `builtin_` for a Builtin.

struct Name {
    explicit Name(const char* text);
    const char* text;
    PyObject* obj = nullptr;
    Name* next;
    operator PyObject*() const { return obj; }
};

// A byte-string constant.
struct Bytes {
    explicit Bytes(const char* text, Py_ssize_t len = -1);
    const char* text;
    Py_ssize_t len;
    PyObject* obj = nullptr;
    Bytes* next;
    operator PyObject*() const { return obj; }
};

// A built-in looked up once in `builtins`; a missing one fails the exec step
// with NameError.
struct Builtin {
    explicit Builtin(const char* name);
    const char* name;
    PyObject* obj = nullptr;
    Builtin* next;
    operator PyObject*() const { return obj; }
};

extern PyObject* empty_tuple;
extern PyObject* empty_bytes;
extern PyObject* empty_str;

// ---------------------------------------------------------------------------
// Traceback entries

struct Site {
    // `qualname` is "Headers.get"; the entry names "kelvarn.headers.Headers.get"
    // unless `raw` is set, in which case the name is used as it stands.
    constexpr Site(const char* qualname, const char* file = nullptr, bool raw = false,
                   std::source_location loc = std::source_location::current())
        : qualname(qualname), file(file), raw(raw), line(int(loc.line())) {}
    const char* qualname;
    const char* file;   // null: the module source
    bool raw;
    int line;
    PyObject* code = nullptr;  // cached traceback code object
};

extern const char stringsource[];  // "<stringsource>"

void add_traceback(Site& site);
inline PyObject* fail(Site& site) { add_traceback(site); return nullptr; }
inline int fail_int(Site& site) { add_traceback(site); return -1; }

// ---------------------------------------------------------------------------
// Shared error texts (all return null / -1 with the exception set)

PyObject* arg_type_error(const char* param, const char* expected, PyObject* got);
PyObject* expected_error(const char* expected, PyObject* got);   // "Expected %s, got %.200s"
PyObject* convert_error(PyObject* got, const char* type_name);   // "Cannot convert %.200s to %.200s"
PyObject* none_attribute_error(const char* attr);               // "'NoneType' object has no attribute ..."
PyObject* none_not_subscriptable();
PyObject* none_no_len();
PyObject* none_not_iterable();
PyObject* too_many_values(Py_ssize_t expected);
PyObject* need_more_values(Py_ssize_t found);
PyObject* dict_changed_size();

// Declared-type checks: exactly the built-in type (or None), or an instance of
// the extension type (or None).
inline bool exact_or_none(PyObject* o, PyTypeObject* t) { return Py_IS_TYPE(o, t) || o == Py_None; }
inline bool instance_or_none(PyObject* o, PyTypeObject* t) { return o == Py_None || PyObject_TypeCheck(o, t); }
// Assignment checks with the "Expected" / "Cannot convert" texts.
inline bool check_exact(PyObject* o, PyTypeObject* t) {
    if (exact_or_none(o, t)) return true;
    expected_error(t->tp_name, o);
    return false;
}
inline bool check_instance(PyObject* o, PyTypeObject* t) {
    if (instance_or_none(o, t)) return true;
    convert_error(o, t->tp_name);
    return false;
}

// Unpack a two-item object: a tuple or list by length, anything else by
// iteration. Borrowed results are written into `a`, `b`; `hold` keeps
// iterated items alive.
bool unpack2(PyObject* o, PyObject** a, PyObject** b, Ref* hold);

// Concatenate text objects into one string allocated once.
PyObject* join_text(PyObject* const* parts, Py_ssize_t n);

// A piece of input echoed in a message, kept to a bounded size whatever the
// input: a text of more than `shown_max` characters becomes its first
// `shown_max` characters followed by "..." (as "%.200s" cuts, marked); a
// shorter one is returned as it is. Takes a str; returns a new reference.
constexpr Py_ssize_t shown_max = 200;
PyObject* shown(PyObject* text);

// ---------------------------------------------------------------------------
// Typed conversions

int to_int32_slow(PyObject* o, int* out);
// A one-digit exact int (at most 30 bits) is read as it is, inline.
inline int to_int32(PyObject* o, int* out) {
    if (PyLong_CheckExact(o) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
        *out = int(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o)));
        return 0;
    }
    return to_int32_slow(o, out);
}
int to_int64(PyObject* o, long long* out);
int truth(PyObject* o);  // 1, 0 or -1

// ---------------------------------------------------------------------------
// Parameters and argument binding

enum class ParamType : uint8_t {
    Object,     // any object
    Bytes,      // exactly bytes or None
    Str,        // exactly str or None
    List,       // exactly list or None
    Tuple,      // exactly tuple or None
    Dict,       // exactly dict or None
    DictOnly,   // exactly dict, None refused, a note for subclasses (annotated parameter)
    Ext,        // instance of *ext (subclasses allowed) or None
    ExtOnly,    // instance of *ext (subclasses allowed), None refused
    Int32,      // signed 32-bit integer
    Int64,      // signed 64-bit integer
    Bool,       // truth value
};

enum class Default : uint8_t { Required, None, False, Int };

struct Param {
    const char* name;
    ParamType type = ParamType::Object;
    Default def = Default::Required;
    long long defval = 0;
    PyTypeObject* const* ext = nullptr;
};

union Arg {
    PyObject* o;
    long long i;
    int b;
};

constexpr int max_params = 10;

struct Signature {
    Signature(const char* name, std::initializer_list<Param> params);
    const char* name;  // short name used in messages
    Param params[max_params];
    int n = 0;
    int nrequired = 0;
    PyObject* names[max_params] = {};
    Signature* next;

    // Bind a vectorcall argument vector. Inline, the common case: every
    // parameter given by position and none to convert, so only the declared
    // types are checked in order.
    bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Arg* out) const {
        if (!kwnames && nargs == n && objects_only) [[likely]] {
            for (int i = 0; i < n; i++) {
                PyObject* v = args[i];
                out[i].o = v;
                PyTypeObject* t = declared[i];
                if (!t || Py_IS_TYPE(v, t) || v == Py_None) continue;
                return bind_slow(args, nargs, kwnames, out);
            }
            return true;
        }
        return bind_slow(args, nargs, kwnames, out);
    }
    // Bind a tuple and a dictionary (the `__init__` convention). The values
    // taken from the dictionary are held in `hold` (max_params references),
    // to be kept until the body is done: Python code run by the conversions
    // or the body may empty the dictionary.
    bool bind(PyObject* args, PyObject* kwds, Arg* out, Ref* hold) const;

    // Fast binding: the exact type each parameter needs besides None (null:
    // any object), and whether no parameter needs a conversion.
    PyTypeObject* declared[max_params] = {};
    bool objects_only = true;

private:
    bool finish(PyObject** values, Py_ssize_t nargs, Arg* out) const;
    bool place(PyObject* key, PyObject* value, Py_ssize_t nargs, PyObject** values, Ref* hold = nullptr) const;
    bool bind_slow(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Arg* out) const;
    int match(PyObject* key) const;
};

// ---------------------------------------------------------------------------
// Initialisers

// A type's `__init__`: its parameters, its traceback entry and its body, which
// returns 0, or -1 with an exception set (the frame adds the entry).
struct InitDef {
    InitDef(const char* qualname, int (*body)(PyObject* self, Arg* args), std::initializer_list<Param> params,
            std::source_location loc = std::source_location::current())
        : sig("__init__", params), site(qualname, nullptr, false, loc), body(body) {}
    Signature sig;
    Site site;
    int (*body)(PyObject* self, Arg* args);
};

// The tp_init slot: the arguments arrive as a tuple and a dictionary.
template <InitDef& D>
int init_slot(PyObject* self, PyObject* args, PyObject* kwds) {
    Arg a[max_params];
    Ref hold[max_params];
    if (!D.sig.bind(args, kwds, a, hold) || D.body(self, a) < 0) return fail_int(D.site);
    return 0;
}

// The type's own vectorcall: calling the class itself binds the arguments
// without a tuple, allocates and initialises. Subclasses do not inherit it,
// so their __new__ and __init__ overrides run through the usual type call.
// A type may name its tp_new and D's body as `New` and `Body` too, which
// lets the compiler make the whole construction one function.
inline PyObject* type_new(PyTypeObject* t, PyObject* args, PyObject* kwds) { return t->tp_new(t, args, kwds); }
template <InitDef& D>
int init_body(PyObject* self, Arg* args) { return D.body(self, args); }

template <InitDef& D, newfunc New = type_new, int (*Body)(PyObject*, Arg*) = init_body<D>>
PyObject* construct(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Arg a[max_params];
    if (!D.sig.bind(args, PyVectorcall_NARGS(nargsf), kwnames, a)) return fail(D.site);
    Ref self = Ref::steal(New(reinterpret_cast<PyTypeObject*>(type), empty_tuple, nullptr));
    if (!self) return nullptr;
    if (Body(self.get(), a) < 0) return fail(D.site);
    return self.release();
}

// ---------------------------------------------------------------------------
// Function objects

enum class Kind : uint8_t { Method, Function };

using Body = PyObject* (*)(PyObject* self, Arg* args);
struct FuncDef;
// A body shared by several definitions (the pickling functions) receives its
// definition and reads `data`.
using SharedBody = PyObject* (*)(const FuncDef& def, PyObject* self, Arg* args);

// A module declares each Python function once, beside its body:
//
//     kv::FuncDef fd_get(&HeadersType, "Headers.get", get_body, {{"name", ParamType::Bytes}});  // a method
//     kv::FuncDef fd_parse("parse_cookie", parse_body, {{"raw_value", ParamType::Bytes}});   // a function
//
// These two forms register the definition, in declaration order (the order
// of a type's dictionary and of the namespace is observable), and the exec
// step installs them with add_methods(type) and add_functions(). The forms
// with a Kind are not registered: the frame's own definitions (pickling) and
// any that a module places by hand.
struct FuncDef {
    FuncDef(PyTypeObject* owner, const char* qualname, Body body, std::initializer_list<Param> params = {},
            std::source_location loc = std::source_location::current());
    FuncDef(const char* qualname, Body body, std::initializer_list<Param> params = {},
            std::source_location loc = std::source_location::current());
    FuncDef(const char* qualname, Kind kind, Body body, std::initializer_list<Param> params = {},
            const char* file = nullptr, std::source_location loc = std::source_location::current());
    FuncDef(const char* qualname, Kind kind, SharedBody body, const void* data,
            std::initializer_list<Param> params, const char* file,
            std::source_location loc = std::source_location::current());
    const char* qualname;  // "Headers.get" or "parse_cookie"
    Kind kind;
    Body body = nullptr;
    SharedBody shared = nullptr;
    const void* data = nullptr;
    Signature sig;
    Site site;
    PyObject* name = nullptr;  // interned short name
    PyObject* func = nullptr;  // the function object made by the exec step
    PyObject* code = nullptr;  // its __code__
    PyTypeObject* owner = nullptr;  // a method's class, given or set by add_method
    FuncDef* next = nullptr;        // the next registered definition
};

// Create the function object for `def` (stored in def.func, borrowed).
PyObject* make_function(FuncDef& def);
// Create and place a method in the type's dictionary.
int add_method(PyTypeObject* type, FuncDef& def);
// Create and bind a module-level function in the namespace.
int add_function(FuncDef& def);
// Install every registered method of `type`, in declaration order.
int add_methods(PyTypeObject* type);
// Bind every registered module function, in declaration order.
int add_functions();
// Ready a static type and bind it in the namespace under its short name.
int add_type(PyTypeObject* type, const char* short_name);
// Ready a static exception type (made with exception_template) over `base`
// and bind it in the namespace.
int add_exception(PyTypeObject* type, PyObject* base, const char* short_name);
// Store an object in the namespace (borrowed value).
int bind(const char* name, PyObject* value);
// `from <module> import <name>`: the object (new reference); a missing
// name is ImportError "cannot import name <name>".
PyObject* import_name(const char* module, const char* name);
// The same, bound into the namespace.
int import_from(const char* module, const char* name);

bool is_function(PyObject* o);

// A module global looked up at the moment of use: the namespace, then the
// built-ins; NameError "name '%U' is not defined" when neither has it.
// Returns a new reference.
PyObject* lookup_global(PyObject* name);

// For the exec callback: the failing step's traceback entry is `site`, a raw
// site named "init <module>" at another file and line (steps that report as
// generated code, e.g. "<stringsource>"), instead of the default.
// Returns -1 so that `return kv::fail_exec(site);` reads naturally.
int fail_exec(Site& site);

// ---------------------------------------------------------------------------
// Override dispatch of typed methods

inline bool may_override(PyObject* self) {
    PyTypeObject* t = Py_TYPE(self);
    return t->tp_dictoffset != 0 ||
           (t->tp_flags & (Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_IS_ABSTRACT)) != 0;
}

// 1 with *out set to the override (new reference), 0 when the module's own
// method applies, -1 on error.
int find_override(PyObject* self, const FuncDef& def, PyObject** out);

// Call with borrowed positional arguments.
template <class... A>
PyObject* call(PyObject* callable, A... args) {
    PyObject* argv[] = {nullptr, args...};
    return PyObject_Vectorcall(callable, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}
inline PyObject* call(PyObject* callable) { return PyObject_CallNoArgs(callable); }

// The override step of a typed entry point. Returns false when the module's
// own body must run; true when an override was called, with *result holding
// its result (new reference) or null on error. The caller checks the result
// type and adds its traceback entry:
//
//     PyObject* r;
//     if (kv::dispatch(self, skip, fd_get, &r, name)) {
//         if (r && !kv::check_exact(r, &PyTuple_Type)) Py_CLEAR(r);
//         return r ? r : kv::fail(fd_get.site);
//     }
template <class... A>
bool dispatch(PyObject* self, int skip, const FuncDef& def, PyObject** result, A... args) {
    if (skip || !may_override(self)) return false;
    PyObject* found;
    int r = find_override(self, def, &found);
    if (r == 0) return false;
    // A null argument (a C caller's way of saying "none") reaches Python as None.
    *result = r < 0 ? nullptr : call(found, (args ? args : Py_None)...);
    if (r > 0) Py_DECREF(found);
    return true;
}

// Call a method by name with borrowed positional arguments.
template <class... A>
PyObject* call_method(PyObject* self, PyObject* name, A... args) {
    PyObject* argv[] = {self, args...};
    return PyObject_VectorcallMethod(name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// Publish a capsule in the class dictionary under `__pyx_vtable__`.
int set_vtable(PyTypeObject* type, void* table);
// Publish a C function in the module's `__pyx_capi__` dictionary.
int export_function(const char* name, void* fn, const char* signature);

// ---------------------------------------------------------------------------
// Generator objects

struct Generator;
// Resume the body. `sent` is the value sent in (None for next()), or null
// when an exception is pending at the suspension point. Returns the value to
// yield (new reference), `delegate` after storing an iterator in
// `gen->yieldfrom`, or null: finished when no exception is set.
using GenBody = PyObject* (*)(Generator* gen, PyObject* sent);
extern PyObject* const delegate;

struct GenDef {
    GenDef(const char* qualname, GenBody body, std::source_location loc = std::source_location::current());
    const char* qualname;  // "Headers.items"
    GenBody body;
    Site site;
    PyObject* code = nullptr;
    PyObject* qualname_obj = nullptr;
};

struct Generator {
    PyObject_HEAD
    GenDef* def;
    PyObject* scope;      // the generator-state object
    PyObject* yieldfrom;  // sub-iterator being delegated to
    PyObject* name;
    PyObject* qualname;
    int state;            // body position; 0 before the first resume
    char running;
    char finished;
};

// New generator over `scope` (a reference is taken).
PyObject* make_generator(GenDef& def, PyObject* scope);

// Generator-state types: a GC-tracked record of N references with a free
// list of at most 8 objects.
struct ScopeType {
    ScopeType(const char* name, int nrefs);
    PyTypeObject type;
    int nrefs;
    int nfree = 0;
    PyObject* freelist[8];
};
struct Scope {
    PyObject_HEAD
    PyObject* refs[1];
};
int ready_scope(ScopeType& t);
PyObject* new_scope(ScopeType& t);  // all references None
inline PyObject*& scope_ref(PyObject* scope, int i) { return reinterpret_cast<Scope*>(scope)->refs[i]; }

// ---------------------------------------------------------------------------
// Pickling

enum class FieldKind : uint8_t {
    Bytes,     // exactly bytes or None
    Str,       // exactly str or None
    List,      // exactly list or None
    Ext,       // instance of *ext or None
    Bool,      // int field holding 0 or 1
    Int32,     // int field
    Int64,     // long long field
    Enum32,    // int field, converted to Python by `to_py`
};

struct Field {
    const char* name;
    FieldKind kind;
    Py_ssize_t offset;
    PyTypeObject* const* ext = nullptr;
    PyObject* (*to_py)(int) = nullptr;
};

struct PickleDef {
    PickleDef(const char* class_name, PyTypeObject* type, std::initializer_list<Field> fields,
              long checksum0, long checksum1, long checksum2, const char* field_list);
    const char* class_name;
    PyTypeObject* type;
    Field fields[10];
    int nfields = 0;
    long checksums[3];
    const char* field_list;  // "(name, value)" text of the rejection message
    char names[3][96];
    FuncDef reduce;
    FuncDef setstate;
    FuncDef unpickle;
};

// Place `__reduce__` and `__setstate__` in the class dictionary.
int add_pickling(PickleDef& def);
// Bind the `__pyx_unpickle_<Class>` reconstructor in the namespace.
int add_reconstructor(PickleDef& def);

}  // namespace kv
