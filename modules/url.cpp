// kelvarn.url: the URL value parsed from bytes, its composition and the
// helpers that assemble URLs from parts.
//
// A URL is parsed once, at construction, by `httptools.parse_url` (as the
// module global names it at every construction; the function found is kept
// while watchers see both namespaces unchanged). Every derived URL is built by
// concatenating the stored components in one allocation and parsing the
// result afresh.
#include "frame.hpp"
#include "typed.hpp"
#include "url.h"
#include "watch.hpp"

namespace {

using kv::Arg;
using kv::FieldKind;
using kv::Ref;
using kv::ParamType;

using URLObject = __pyx_obj_7kelvarn_3url_URL;
using URLTable = __pyx_vtabstruct_7kelvarn_3url_URL;

kv::Name n_httptools("httptools");
kv::Name n_parse_url("parse_url");
kv::Name n_schema("schema");
kv::Name n_host("host");
kv::Name n_port("port");
kv::Name n_path("path");
kv::Name n_query("query");
kv::Name n_fragment("fragment");
kv::Name n_value("value");
kv::Name n_spec("__spec__");
kv::Name n_initializing("_initializing");

extern PyTypeObject URLType;
PyTypeObject* const url_type = &URLType;
URLTable url_table;

URLObject* as_url(PyObject* o) { return reinterpret_cast<URLObject*>(o); }
PyObject* as_object(URLObject* u) { return reinterpret_cast<PyObject*>(u); }

// ===========================================================================
// InvalidURL

extern PyTypeObject InvalidURLType;
PyObject* const invalid_url = reinterpret_cast<PyObject*>(&InvalidURLType);

kv::Signature invalid_url_init_sig("__init__", {{"message", ParamType::Str}});
kv::Site invalid_url_init_site("InvalidURL.__init__");

// The message becomes the single item of `args`.
int invalid_url_init(PyObject* self, PyObject* args, PyObject* kwds) {
    Arg a[1];
    Ref hold[kv::max_params];
    if (!invalid_url_init_sig.bind(args, kwds, a, hold)) return kv::fail_int(invalid_url_init_site);
    Ref base_args = Ref::steal(PyTuple_Pack(1, a[0].o));
    if (!base_args) return kv::fail_int(invalid_url_init_site);
    if (reinterpret_cast<PyTypeObject*>(PyExc_Exception)->tp_init(self, base_args.get(), nullptr) < 0)
        return kv::fail_int(invalid_url_init_site);
    return 0;
}

PyTypeObject InvalidURLType = [] {
    PyTypeObject t = kv::exception_template("kelvarn.url.InvalidURL");
    t.tp_init = invalid_url_init;
    return t;
}();

// ===========================================================================
// Byte-string assembly

// One part of a concatenation: a byte string with `skip` bytes dropped at
// its start and `trim` at its end, or raw text when `obj` is null.
struct Piece {
    PyObject* obj;
    Py_ssize_t skip = 0;
    Py_ssize_t trim = 0;
    const char* raw = nullptr;
    Py_ssize_t raw_len = 0;
};

Piece raw_piece(const char* text, Py_ssize_t len) { return Piece{nullptr, 0, 0, text, len}; }

// A part that is not a byte string (None, in practice) goes through the
// runtime's `+`, from left to right, so that the error is the runtime's own
// message for that operand ("can't concat NoneType to bytes", ...).
PyObject* concat_slow(const Piece* pieces, int n) {
    Ref acc;
    for (int i = 0; i < n; i++) {
        const Piece& p = pieces[i];
        Ref item;
        if (!p.obj)
            item = Ref::steal(PyBytes_FromStringAndSize(p.raw, p.raw_len));
        else if (p.skip || p.trim)  // only ever set on byte strings
            item = Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(p.obj) + p.skip,
                                                        PyBytes_GET_SIZE(p.obj) - p.skip - p.trim));
        else
            item = Ref::borrow(p.obj);
        if (!item) return nullptr;
        acc = i == 0 ? std::move(item) : Ref::steal(PyNumber_Add(acc.get(), item.get()));
        if (!acc) return nullptr;
    }
    return acc.release();
}

// Concatenate the pieces into one new byte string, allocated once.
PyObject* concat(std::initializer_list<Piece> list) {
    const Piece* pieces = list.begin();
    int n = int(list.size());
    if (n == 1 && pieces[0].obj && !pieces[0].skip && !pieces[0].trim) return Py_NewRef(pieces[0].obj);
    Py_ssize_t total = 0;
    for (const Piece& p : list) {
        Py_ssize_t len;
        if (!p.obj) len = p.raw_len;
        else if (PyBytes_CheckExact(p.obj)) len = PyBytes_GET_SIZE(p.obj) - p.skip - p.trim;
        else return concat_slow(pieces, n);
        if (len > PY_SSIZE_T_MAX - total) return PyErr_NoMemory();
        total += len;
    }
    PyObject* result = PyBytes_FromStringAndSize(nullptr, total);
    if (!result) return nullptr;
    char* at = PyBytes_AS_STRING(result);
    for (const Piece& p : list) {
        if (!p.obj) {
            std::memcpy(at, p.raw, size_t(p.raw_len));
            at += p.raw_len;
        } else {
            Py_ssize_t len = PyBytes_GET_SIZE(p.obj) - p.skip - p.trim;
            std::memcpy(at, PyBytes_AS_STRING(p.obj) + p.skip, size_t(len));
            at += len;
        }
    }
    return result;
}

// A query or fragment counts only when it is neither None nor empty.
bool present(PyObject* o) { return PyBytes_CheckExact(o) ? PyBytes_GET_SIZE(o) > 0 : o != Py_None; }

bool bytes_is(PyObject* o, const char* text, Py_ssize_t len) {
    return PyBytes_CheckExact(o) && PyBytes_GET_SIZE(o) == len && std::memcmp(PyBytes_AS_STRING(o), text, size_t(len)) == 0;
}

bool starts_with_slash(PyObject* b) { return PyBytes_GET_SIZE(b) > 0 && PyBytes_AS_STRING(b)[0] == '/'; }
bool ends_with_slash(PyObject* b) {
    Py_ssize_t n = PyBytes_GET_SIZE(b);
    return n > 0 && PyBytes_AS_STRING(b)[n - 1] == '/';
}

// ===========================================================================
// Schema check

kv::Site valid_schema_site("valid_schema");

// None, empty, "http" and "https" pass; anything else raises InvalidURL.
KV_NOINLINE bool invalid_schema(PyObject* schema);
inline bool valid_schema(PyObject* schema) {
    if (schema == Py_None) return true;
    Py_ssize_t n = PyBytes_GET_SIZE(schema);
    const char* s = PyBytes_AS_STRING(schema);
    if (n == 0 || ((n == 4 || (n == 5 && s[4] == 's')) && std::memcmp(s, "http", 4) == 0)) return true;
    return invalid_schema(schema);
}

bool invalid_schema(PyObject* schema) {
    Py_ssize_t n = PyBytes_GET_SIZE(schema);
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(schema), n, "strict"));
    if (text) text = Ref::steal(kv::shown(text.get()));
    if (text) PyErr_Format(invalid_url, "Expected http or https schema; got instead %U", text.get());
    kv::add_traceback(valid_schema_site);
    return false;
}

// ===========================================================================
// URL construction

int url_init(PyObject* self, Arg* a);
kv::InitDef url_init_def("URL.__init__", url_init, {{"value", ParamType::Bytes}});
kv::Site& url_init_site = url_init_def.site;

// The parser: `httptools.parse_url` read from the module global now.
PyObject* lookup_parser() {
    PyObject* module = PyDict_GetItemWithError(kv::module_dict, n_httptools);  // borrowed
    if (!module) {
        if (PyErr_Occurred()) return nullptr;
        module = PyDict_GetItemWithError(PyModule_GetDict(kv::builtins), n_httptools);
        if (!module) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", n_httptools.obj);
            return nullptr;
        }
    }
    Ref hold = Ref::borrow(module);
    return PyObject_GetAttr(module, n_parse_url);
}

// The last parser found, kept while the global names an exact module (whose
// attribute lookup reads its namespace and nothing else) and that module's
// namespace holds it. Dict watchers on both namespaces turn the guard off at
// the first change; a module's class can change without touching a dict, so
// that is checked at each call.
kv::Guard parser_guard;
PyObject* parser_module = nullptr;
PyObject* parser = nullptr;

PyObject* current_parser() {
    if (parser_guard.holds() && Py_IS_TYPE(parser_module, &PyModule_Type)) return Py_NewRef(parser);
    Ref found = Ref::steal(lookup_parser());
    if (!found) return nullptr;
    PyObject* module = PyDict_GetItemWithError(kv::module_dict, n_httptools);  // borrowed
    if (!module || !PyModule_CheckExact(module)) {
        PyErr_Clear();
        return found.release();
    }
    PyObject* namespace_ = PyModule_GetDict(module);
    PyObject* in_namespace = PyDict_GetItemWithError(namespace_, n_parse_url);
    PyErr_Clear();
    if (in_namespace != found.get() || (module == parser_module && in_namespace == parser)) return found.release();
    // The previous objects are released last: that may run code, which must
    // find the new state complete.
    PyObject* old_module = parser_module;
    PyObject* old_parser = parser;
    parser_module = Py_NewRef(module);
    parser = Py_NewRef(found.get());
    parser_guard.reset();
    parser_guard.key(kv::module_dict, n_httptools);
    parser_guard.key(namespace_, n_parse_url);
    parser_guard.arm();
    Py_XDECREF(old_module);
    Py_XDECREF(old_parser);
    return found.release();
}

// Reading the components of a parse result. When the result's type uses the
// generic attribute lookup and defines every component as a data descriptor
// (httptools' own result type does), the lookup always ends at those
// descriptors: they are found once per type version and called directly,
// which gives the outcome of the attribute lookup without its cost. Any other
// type, or a type changed since, is read through the ordinary lookup.
//
// A component whose descriptor is a built-in getset descriptor (as
// httptools' are) is read through its getter function directly. The lookup
// would call that descriptor's __get__, which checks that the instance is of
// the descriptor's class and then calls the getter: the check depends only on
// the class's bases, so it is made once per version, and a getset
// descriptor's own type cannot change. While the version holds, the class's
// dictionaries are unchanged, so they keep the descriptor, and its getter,
// alive.
enum Component { c_schema, c_host, c_port, c_path, c_query, c_fragment, c_count };
const kv::Name* const component_names[c_count] = {&n_schema, &n_host, &n_port, &n_path, &n_query, &n_fragment};

struct Reader {
    PyTypeObject* type = nullptr;  // compared by address together with the version
    unsigned int version = 0;
    PyObject* descr[c_count] = {};
    getter get[c_count] = {};  // a getset descriptor's getter, or null
    void* closure[c_count] = {};
};
Reader reader;

// (A type is recorded only together with the non-zero version it had.)
bool current(const Reader& r, PyTypeObject* t) { return t == r.type && t->tp_version_tag == r.version; }

// A data descriptor: the generic lookup calls its getter before looking at
// the instance. Decided by the descriptor's type, which can change at any
// time without changing the version of the class that holds the descriptor.
bool is_data_descriptor(PyObject* d) { return Py_TYPE(d)->tp_descr_get && Py_TYPE(d)->tp_descr_set; }

// The getter that the getset descriptor `d` calls for instances of `t`, or
// null when `d` is another kind of descriptor or its __get__ would not call
// one (an unreadable attribute, an instance of a class the descriptor does
// not belong to: those raise through __get__ itself).
PyGetSetDef* direct_getter(PyObject* d, PyTypeObject* t) {
    if (!Py_IS_TYPE(d, &PyGetSetDescr_Type)) return nullptr;
    auto* g = reinterpret_cast<PyGetSetDescrObject*>(d);
    if (!g->d_getset->get || !PyType_IsSubtype(t, PyDescr_TYPE(g))) return nullptr;
    return g->d_getset;
}

// Whether the components of `t` instances can be read through the cache.
bool prepare_reader(PyTypeObject* t) {
    if (t->tp_getattro != PyObject_GenericGetAttr) return false;
    if (current(reader, t)) return reader.descr[0] != nullptr;
    // Empty the cache before releasing the old descriptors: releasing one
    // can run code that constructs a URL and fills the cache again.
    PyObject* old[c_count];
    for (int i = 0; i < c_count; i++) {
        old[i] = reader.descr[i];
        reader.descr[i] = nullptr;
        reader.get[i] = nullptr;
    }
    reader.type = nullptr;
    reader.version = 0;
    for (PyObject* d : old) Py_XDECREF(d);
    if (reader.type) return current(reader, t) && reader.descr[0] != nullptr;
    if (!PyUnstable_Type_AssignVersionTag(t)) return false;
    unsigned int version = t->tp_version_tag;
    PyObject* found[c_count];
    bool all = true;
    for (int i = 0; i < c_count; i++) {
        PyObject* d = kv::compat::type_lookup(t, *component_names[i]);  // borrowed; raises nothing
        if (!d || !is_data_descriptor(d)) all = false;
        found[i] = d;
    }
    if (t->tp_version_tag != version) return false;
    if (all)
        for (int i = 0; i < c_count; i++) {
            reader.descr[i] = Py_NewRef(found[i]);
            if (PyGetSetDef* g = direct_getter(found[i], t)) {
                reader.get[i] = g->get;
                reader.closure[i] = g->closure;
            }
        }
    reader.type = t;
    reader.version = version;
    return all;
}

// The reads the getter fast path does not take.
KV_NOINLINE PyObject* read_component_slow(PyObject* parsed, Component c, bool cached) {
    PyTypeObject* t = Py_TYPE(parsed);
    if (cached && current(reader, t) && reader.descr[c] && is_data_descriptor(reader.descr[c])) {
        Ref d = Ref::borrow(reader.descr[c]);
        return Py_TYPE(d.get())->tp_descr_get(d.get(), parsed, reinterpret_cast<PyObject*>(t));
    }
    return PyObject_GetAttr(parsed, *component_names[c]);
}

// A getter may have run code that changed the class or the descriptor's
// type: both are checked at each read.
inline PyObject* read_component(PyObject* parsed, Component c, bool cached) {
    if (cached && current(reader, Py_TYPE(parsed)))
        if (getter get = reader.get[c]) return get(parsed, reader.closure[c]);
    return read_component_slow(parsed, c, cached);
}

// httptools' own result type, recognised once: a static, immutable type
// (its dictionary cannot change, so its descriptors stay) whose components
// are getset descriptors of its own, with the generic attribute lookup. Its
// getters return the fields that parse_url filled in and run no Python code,
// so reading a component twice gives the same object: for such a result the
// schema is read once, and the one test per construction is the result's
// type. Any other result takes the reads above.
//
// Each of these getters returns the object in one field of the instance (a
// read-only attribute of an extension class). Where that field lies is found
// once, on a probe instance made by the class itself from seven distinct
// objects: the field whose content is the object the getter returns, when
// exactly one field holds it. The component is then read from that field;
// otherwise its getter is called.
struct DirectReader {
    PyTypeObject* type = nullptr;
    getter get[c_count] = {};
    void* closure[c_count] = {};
    Py_ssize_t offset[c_count] = {};  // 0: call the getter
};
DirectReader direct;

PyObject*& field_at(PyObject* o, Py_ssize_t offset) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + offset);
}

void find_fields(DirectReader& d) {
    PyTypeObject* t = d.type;
    Ref parts[7];
    const char* texts[] = {"s", "h", nullptr, "/p", "q", "f", "u"};
    for (int i = 0; i < 7; i++) {
        parts[i] = Ref::steal(texts[i] ? PyBytes_FromString(texts[i]) : PyLong_FromLong(1 << 20));
        if (!parts[i]) return PyErr_Clear();
    }
    PyObject* argv[7];
    for (int i = 0; i < 7; i++) argv[i] = parts[i].get();
    // (schema, host, port, path, query, fragment, userinfo), as parse_url
    // makes it; a class with other parameters refuses the call.
    Ref probe = Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(t), argv, 7, nullptr));
    if (!probe || !Py_IS_TYPE(probe.get(), t)) return PyErr_Clear();
    Py_ssize_t found[c_count];
    for (int i = 0; i < c_count; i++) {
        Ref v = Ref::steal(d.get[i](probe.get(), d.closure[i]));
        if (!v) return PyErr_Clear();
        found[i] = 0;
        for (Py_ssize_t o = sizeof(PyObject); o + Py_ssize_t(sizeof(PyObject*)) <= t->tp_basicsize;
             o += sizeof(PyObject*)) {
            if (field_at(probe.get(), o) != v.get()) continue;
            if (found[i]) return;  // held twice
            found[i] = o;
        }
        if (!found[i] || v.get() != argv[i]) return;
    }
    for (int i = 0; i < c_count; i++) d.offset[i] = found[i];
}

constexpr const char httptools_result_name[] = "httptools.parser.url_parser.URL";
kv::Name n_result_module("httptools.parser.url_parser");
kv::Name n_result_class("URL");

KV_NOINLINE bool recognise_result(PyTypeObject* t) {
    if ((t->tp_flags & Py_TPFLAGS_HEAPTYPE) || !(t->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) || direct.type ||
        t->tp_getattro != PyObject_GenericGetAttr || std::strcmp(t->tp_name, httptools_result_name) != 0)
        return false;
    // The class that the loaded httptools module names URL.
    Ref module = Ref::steal(PyImport_GetModule(n_result_module));
    PyObject* named = module && PyModule_CheckExact(module.get())
                          ? PyDict_GetItemWithError(PyModule_GetDict(module.get()), n_result_class)
                          : nullptr;
    PyErr_Clear();
    if (named != reinterpret_cast<PyObject*>(t)) return false;
    DirectReader found{t, {}, {}};
    for (int i = 0; i < c_count; i++) {
        PyObject* d = kv::compat::type_lookup(t, *component_names[i]);  // borrowed; raises nothing
        if (!d || !Py_IS_TYPE(d, &PyGetSetDescr_Type) || PyDescr_TYPE(d) != t) return false;
        PyGetSetDef* g = reinterpret_cast<PyGetSetDescrObject*>(d)->d_getset;
        if (!g->get) return false;
        found.get[i] = g->get;
        found.closure[i] = g->closure;
    }
    find_fields(found);
    direct = found;
    return true;
}

// A component of httptools' result (new reference).
inline PyObject* direct_read(PyObject* r, Component c) {
    if (Py_ssize_t o = direct.offset[c])
        if (PyObject* v = field_at(r, o)) return Py_NewRef(v);
    return direct.get[c](r, direct.closure[c]);
}

inline bool direct_result(PyObject* parsed) {
    PyTypeObject* t = Py_TYPE(parsed);
    return t == direct.type || (!direct.type && recognise_result(t));
}

// The port number: 0 for a false value, else the value as a 32-bit int. An
// exact int converts to 0 exactly when it is false, so its truth is not asked.
int port_number(PyObject* port, int* number) {
    *number = 0;
    if (port == Py_None) return 0;
    if (!PyLong_CheckExact(port)) {
        int has_port = kv::truth(port);
        if (has_port <= 0) return has_port;
    }
    return kv::to_int32(port, number);
}

// Read a component as bytes or None through `read`.
template <class Read>
inline PyObject* checked(Read& read, Component c) {
    PyObject* v = read(c);
    if (v && !kv::exact_or_none(v, &PyBytes_Type)) {
        kv::check_exact(v, &PyBytes_Type);
        Py_CLEAR(v);
    }
    return v;
}

// Assign the fields in order from the components that `read` returns (new
// references); `schema_again` reads the schema a second time for
// is_absolute. Earlier assignments stay when a later step fails. Each field
// takes over the reference its read returned.
template <class Read>
int fill(URLObject* self, PyObject* value, Read read, bool schema_again) {
    Ref schema = Ref::steal(checked(read, c_schema));
    if (!schema) return -1;
    if (!valid_schema(schema.get())) return -1;
    bool absolute = schema.get() != Py_None;
    kv::assign(self->value, value);
    kv::replace(self->schema, schema.release());
    PyObject* host = checked(read, c_host);
    if (!host) return -1;
    kv::replace(self->host, host);
    Ref port = Ref::steal(read(c_port));
    if (!port) return -1;
    int number;
    if (port_number(port.get(), &number) < 0) return -1;
    self->port = number;
    PyObject* path = checked(read, c_path);
    if (!path) return -1;
    kv::replace(self->path, path);
    PyObject* query = checked(read, c_query);
    if (!query) return -1;
    kv::replace(self->query, query);
    PyObject* fragment = checked(read, c_fragment);
    if (!fragment) return -1;
    kv::replace(self->fragment, fragment);
    if (schema_again) {
        Ref again = Ref::steal(read(c_schema));
        if (!again) return -1;
        absolute = again.get() != Py_None;
    }
    self->is_absolute = absolute;
    return 0;
}

// The guarded steps: parse `value` and assign the fields in order.
int parse_into(URLObject* self, PyObject* value) {
    Ref parse_url = Ref::steal(current_parser());
    if (!parse_url) return -1;
    Ref parsed = Ref::steal(kv::call(parse_url.get(), value));
    if (!parsed) return -1;
    PyObject* r = parsed.get();
    if (direct_result(r))
        return fill(self, value, [r](Component c) { return direct_read(r, c); }, false);
    bool cached = prepare_reader(Py_TYPE(r));
    return fill(self, value, [r, cached](Component c) { return read_component(r, c, cached); }, true);
}

// Turn an Exception-family error of the guarded steps into InvalidURL with
// the caught exception as its context. Other errors pass unchanged.
//
// The message is built while the caught exception is the one being handled,
// as in an `except` block: whatever is raised meanwhile (the decoding error,
// an error inside the caught exception's __str__, InvalidURL itself) is
// chained to it by the runtime, and an error raised inside __str__ while
// handling another one keeps that one as its context. Both echoed pieces are
// cut to a bounded length; the caught exception keeps its own message.
void wrap_parse_error(PyObject* value) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return;
    kv::add_traceback(url_init_site);
    Ref caught = Ref::steal(PyErr_GetRaisedException());
    PyObject* previous = PyErr_GetHandledException();  // new reference, or null
    PyErr_SetHandledException(caught.get());
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value), "strict"));
    Ref detail, message;
    if (text) text = Ref::steal(kv::shown(text.get()));
    if (text) detail = Ref::steal(PyObject_Str(caught.get()));
    if (detail) detail = Ref::steal(kv::shown(detail.get()));
    if (detail)
        message = Ref::steal(
            PyUnicode_FromFormat("The value cannot be parsed as URL (%U): %U", text.get(), detail.get()));
    if (message) PyErr_SetObject(invalid_url, message.get());
    PyErr_SetHandledException(previous);
    Py_XDECREF(previous);
    // An error set without the runtime's chaining still gets the context.
    PyObject* raised = PyErr_GetRaisedException();
    if (raised != caught.get()) {
        PyObject* context = PyException_GetContext(raised);
        if (context) Py_DECREF(context);
        else PyException_SetContext(raised, caught.release());
    }
    PyErr_SetRaisedException(raised);
}

// URL.__init__ after the argument check: 0, or -1 with the error set.
int construct(URLObject* self, PyObject* value) {
    if (value == Py_None || PyBytes_GET_SIZE(value) == 0) {
        PyErr_SetString(invalid_url, "Input empty or null.");
        return -1;
    }
    Ref v;
    if (PyBytes_AS_STRING(value)[0] == '.') {
        v = Ref::steal(concat({raw_piece("/", 1), Piece{value}}));
        if (!v) {
            wrap_parse_error(value);
            return -1;
        }
    } else {
        v = Ref::borrow(value);
    }
    if (parse_into(self, v.get()) < 0) {
        wrap_parse_error(v.get());
        return -1;
    }
    return 0;
}

// Released instances of URL itself, kept for the next ones (as the
// generator scopes of the frame keep theirs): a URL is typically made,
// read and dropped, and its memory is then reused without the allocator.
constexpr int url_free_max = 8;
PyObject* url_free[url_free_max];
int url_free_count = 0;

PyObject* url_new(PyTypeObject* type, PyObject*, PyObject*) {
    // URL itself comes from the free list or is allocated as its inherited
    // tp_alloc would, without clearing the memory first: every field is set
    // below.
    PyObject* o;
    if (type == url_type)
        o = PyObject_Init(url_free_count ? url_free[--url_free_count]
                                         : static_cast<PyObject*>(PyObject_Malloc(sizeof(URLObject))),
                          type);
    else
        o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    URLObject* u = as_url(o);
    u->__pyx_vtab = &url_table;
    // None is immortal: its count is not kept.
    u->value = Py_None;
    u->schema = Py_None;
    u->host = Py_None;
    u->port = 0;
    u->path = Py_None;
    u->query = Py_None;
    u->fragment = Py_None;
    u->is_absolute = 0;
    return o;
}

// The fields hold bytes or None (every writer checks), whose release runs no
// code that could see the instance: they are released without being cleared.
void url_dealloc(PyObject* self) {
    URLObject* u = as_url(self);
    Py_DECREF(u->value);
    Py_DECREF(u->schema);
    Py_DECREF(u->host);
    Py_DECREF(u->path);
    Py_DECREF(u->query);
    Py_DECREF(u->fragment);
    if (Py_IS_TYPE(self, url_type) && url_free_count < url_free_max) {
        url_free[url_free_count++] = self;
        return;
    }
    Py_TYPE(self)->tp_free(self);
}

// `URL(value)` for code of this module: a new instance of URL itself.
PyObject* new_url(PyObject* value) {
    if (!kv::exact_or_none(value, &PyBytes_Type)) {
        kv::arg_type_error("value", "bytes", value);
        return kv::fail(url_init_site);
    }
    Ref self = Ref::steal(url_new(&URLType, nullptr, nullptr));
    if (!self) return nullptr;
    if (construct(as_url(self.get()), value) < 0) return kv::fail(url_init_site);
    return self.release();
}

// A URL built from concatenated parts; the parts are released first.
PyObject* new_url_from(PyObject* assembled) {
    if (!assembled) return nullptr;
    Ref v = Ref::steal(assembled);
    return new_url(v.get());
}

int url_init(PyObject* self, Arg* a) { return construct(as_url(self), a[0].o); }

// ===========================================================================
// Text forms and equality

kv::Site url_repr_site("URL.__repr__");
kv::Site url_str_site("URL.__str__");
kv::Site url_eq_site("URL.__eq__");
kv::Site url_ne_site("URL.__ne__");

PyObject* url_repr(PyObject* self) {
    // str() of bytes may warn (python -b), and a warning hook may
    // re-initialise self: the value is held while it is converted.
    Ref value = Ref::borrow(as_url(self)->value);
    PyObject* r = PyUnicode_FromFormat("<URL %S>", value.get());
    return r ? r : kv::fail(url_repr_site);
}

PyObject* url_str(PyObject* self) {
    PyObject* value = as_url(self)->value;
    if (value == Py_None) {
        kv::none_attribute_error("decode");
        return kv::fail(url_str_site);
    }
    PyObject* r = PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value), "strict");
    return r ? r : kv::fail(url_str_site);
}

// True or False, or NotImplemented when `other` is not a URL.
PyObject* url_eq(PyObject* self, PyObject* other) {
    if (!PyObject_TypeCheck(other, &URLType)) Py_RETURN_NOTIMPLEMENTED;
    int r;
    if (Py_IS_TYPE(other, &URLType)) {
        r = PyObject_RichCompareBool(as_url(self)->value, as_url(other)->value, Py_EQ);
    } else {  // a subclass may define its own `value`
        Ref v = Ref::steal(PyObject_GetAttr(other, n_value));
        if (!v) return kv::fail(url_eq_site);
        // Its comparison may run Python code that re-initialises self: the
        // value compared is held meanwhile.
        Ref own = Ref::borrow(as_url(self)->value);
        r = PyObject_RichCompareBool(own.get(), v.get(), Py_EQ);
    }
    if (r < 0) return kv::fail(url_eq_site);
    return PyBool_FromLong(r);
}

constexpr auto url_richcompare = kv::richcompare_from_eq<url_eq, url_ne_site>;

// ===========================================================================
// Composition: the bodies (no traceback entry of their own)

PyObject* other_type_error(PyObject* other) {
    return kv::arg_type_error("other", "kelvarn.url.URL", other ? other : Py_None);
}

PyObject* join_impl(URLObject* self, PyObject* other) {
    // `other` is declared as a URL but may arrive as None (or, from native
    // code, as anything): its fields exist only on a URL.
    if (!other || !PyObject_TypeCheck(other, &URLType)) return other_type_error(other);
    URLObject* o = as_url(other);
    if (o->is_absolute) {
        // The first str() may warn (python -b) and run a hook that
        // re-initialises either URL: both values are held.
        Ref a = Ref::borrow(self->value), b = Ref::borrow(o->value);
        Ref shown_a = Ref::steal(PyObject_Str(a.get()));
        if (shown_a) shown_a = Ref::steal(kv::shown(shown_a.get()));
        if (!shown_a) return nullptr;
        Ref shown_b = Ref::steal(PyObject_Str(b.get()));
        if (shown_b) shown_b = Ref::steal(kv::shown(shown_b.get()));
        if (!shown_b) return nullptr;
        PyErr_Format(PyExc_ValueError, "Cannot concatenate to an absolute URL (%U + %U)", shown_a.get(),
                     shown_b.get());
        return nullptr;
    }
    if (present(self->query) || present(self->fragment)) {
        PyErr_SetString(PyExc_ValueError, "Cannot concatenate a URL with query or fragment to another URL portion");
        return nullptr;
    }
    PyObject* a = self->value;
    PyObject* b = o->value;
    if (PyBytes_CheckExact(a) && PyBytes_CheckExact(b) && ends_with_slash(a) && starts_with_slash(b))
        return new_url_from(concat({Piece{a, 0, 1}, Piece{b}}));
    return new_url_from(concat({Piece{a}, Piece{b}}));
}
kv::FuncDef fd_join(&URLType, "URL.join", [](PyObject* self, Arg* a) { return join_impl(as_url(self), a[0].o); },
                    {{"other", ParamType::Ext, kv::Default::Required, 0, &url_type}});

// ":" and the decimal digits of `port` at the end of `buf`, as "%d" writes
// them (the formatting functions cost more than the rest of a rebuild).
Piece port_digits(char (&buf)[16], int port) {
    char* at = buf + sizeof buf;
    unsigned v = port < 0 ? 0u - unsigned(port) : unsigned(port);
    do *--at = char('0' + v % 10);
    while (v /= 10);
    if (port < 0) *--at = '-';
    *--at = ':';
    return raw_piece(at, buf + sizeof buf - at);
}

// The host and port as a rebuild writes them after "://". A host taken from
// the parse (`parsed`) that holds a ':' is an IPv6 address, which the parser
// reports without its brackets: they are put back. The port follows as ":"
// and its digits unless it is 0. The pieces point into the object itself.
struct Authority {
    Authority(PyObject* host, bool parsed, int port) : host{host} {
        bool v6 = parsed && PyBytes_CheckExact(host) &&
                  std::memchr(PyBytes_AS_STRING(host), ':', size_t(PyBytes_GET_SIZE(host)));
        open = raw_piece("[", v6 ? 1 : 0);
        close = raw_piece("]", v6 ? 1 : 0);
        port_piece = port ? port_digits(digits, port) : raw_piece("", 0);
    }
    Authority(const Authority&) = delete;
    Piece open, host, close, port_piece;
    char digits[16];
};

PyObject* base_url_impl(URLObject* self) {
    if (!self->is_absolute) {
        PyErr_SetString(PyExc_ValueError, "This URL is relative. Cannot extract a base URL (without path).");
        return nullptr;
    }
    // A default port (80 with http, 443 with https) is left out.
    int port = self->port;
    bool shown_port = port != 0 && ((bytes_is(self->schema, "http", 4) && port != 80) ||
                                    (bytes_is(self->schema, "https", 5) && port != 443));
    Authority a(self->host, true, shown_port ? port : 0);
    return new_url_from(concat({Piece{self->schema}, raw_piece("://", 3), a.open, a.host, a.close, a.port_piece}));
}
kv::FuncDef fd_base_url(&URLType, "URL.base_url", [](PyObject* self, Arg*) { return base_url_impl(as_url(self)); });

// schema://authority path [?query] [#fragment], with the query and fragment
// given (null: left out).
PyObject* rebuild(PyObject* schema, const Authority& a, PyObject* path, PyObject* query, PyObject* fragment) {
    Piece q0 = query ? raw_piece("?", 1) : raw_piece("", 0), q1 = Piece{query ? query : kv::empty_bytes};
    Piece f0 = fragment ? raw_piece("#", 1) : raw_piece("", 0), f1 = Piece{fragment ? fragment : kv::empty_bytes};
    return concat({Piece{schema}, raw_piece("://", 3), a.open, a.host, a.close, a.port_piece, Piece{path}, q0, q1,
                   f0, f1});
}

PyObject* optional(PyObject* component) { return present(component) ? component : nullptr; }

bool check_bytes_arg(const char* name, PyObject* o) {
    if (o && kv::exact_or_none(o, &PyBytes_Type)) return true;
    kv::arg_type_error(name, "bytes", o ? o : Py_None);
    return false;
}

PyObject* not_absolute() {
    PyErr_SetString(PyExc_ValueError, "This URL is not absolute.");
    return nullptr;
}

PyObject* with_host_impl(URLObject* self, PyObject* host) {
    if (!check_bytes_arg("host", host)) return nullptr;
    if (!self->is_absolute) return not_absolute();
    // The argument is written as given (it may carry a port); the
    // receiver's port is not carried over.
    Authority a(host, false, 0);
    return new_url_from(rebuild(self->schema, a, self->path, optional(self->query), optional(self->fragment)));
}
kv::FuncDef fd_with_host(&URLType, "URL.with_host",
                         [](PyObject* self, Arg* a) { return with_host_impl(as_url(self), a[0].o); },
                         {{"host", ParamType::Bytes}});

PyObject* with_scheme_impl(URLObject* self, PyObject* schema) {
    if (!check_bytes_arg("schema", schema)) return nullptr;
    if (!self->is_absolute) return not_absolute();
    if (!valid_schema(schema)) return nullptr;
    // The port is not carried over: it belongs to the old schema, whose
    // default port it may well be.
    Authority a(self->host, true, 0);
    return new_url_from(rebuild(schema, a, self->path, optional(self->query), optional(self->fragment)));
}
kv::FuncDef fd_with_scheme(&URLType, "URL.with_scheme",
                           [](PyObject* self, Arg* a) { return with_scheme_impl(as_url(self), a[0].o); },
                           {{"schema", ParamType::Bytes}});

PyObject* with_query_impl(URLObject* self, PyObject* query) {
    if (!check_bytes_arg("query", query)) return nullptr;
    PyObject* q = optional(query);
    PyObject* f = optional(self->fragment);
    if (self->is_absolute) {
        Authority a(self->host, true, self->port);
        return new_url_from(rebuild(self->schema, a, self->path, q, f));
    }
    Piece q0 = q ? raw_piece("?", 1) : raw_piece("", 0), q1 = Piece{q ? q : kv::empty_bytes};
    Piece f0 = f ? raw_piece("#", 1) : raw_piece("", 0), f1 = Piece{f ? f : kv::empty_bytes};
    if (!q && !f) return new_url_from(concat({Piece{self->path}}));
    return new_url_from(concat({Piece{self->path}, q0, q1, f0, f1}));
}
kv::FuncDef fd_with_query(&URLType, "URL.with_query",
                          [](PyObject* self, Arg* a) { return with_query_impl(as_url(self), a[0].o); },
                          {{"query", ParamType::Bytes}});

// ===========================================================================
// Composition: Python methods and typed entry points


// The typed entries: an override's result is None or a URL (a subclass too).
bool returns_url(PyObject* r) { return kv::check_instance(r, &URLType); }

URLObject* t_join(URLObject* self, URLObject* other, int skip) {
    return as_url(kv::object_entry(self, skip, fd_join, returns_url, join_impl, other ? as_object(other) : Py_None));
}
URLObject* t_base_url(URLObject* self, int skip) {
    return as_url(kv::object_entry(self, skip, fd_base_url, returns_url, base_url_impl));
}
URLObject* t_with_host(URLObject* self, PyObject* host, int skip) {
    return as_url(kv::object_entry(self, skip, fd_with_host, returns_url, with_host_impl, host));
}
URLObject* t_with_scheme(URLObject* self, PyObject* schema, int skip) {
    return as_url(kv::object_entry(self, skip, fd_with_scheme, returns_url, with_scheme_impl, schema));
}
URLObject* t_with_query(URLObject* self, PyObject* query, int skip) {
    return as_url(kv::object_entry(self, skip, fd_with_query, returns_url, with_query_impl, query));
}

kv::Site url_add_site("URL.__add__");

// url + bytes, url + URL: the typed join with the override check. A URL on
// the right-hand side is not supported.
PyObject* url_add(PyObject* self, PyObject* other) {
    if (!PyObject_TypeCheck(self, &URLType)) Py_RETURN_NOTIMPLEMENTED;
    Ref o;
    if (PyBytes_Check(other)) {
        o = Ref::steal(new_url(other));
        if (!o) return kv::fail(url_add_site);
    } else if (PyObject_TypeCheck(other, &URLType)) {
        o = Ref::borrow(other);
    } else {
        Py_RETURN_NOTIMPLEMENTED;
    }
    URLObject* r = as_url(self)->__pyx_vtab->join(as_url(self), as_url(o.get()), 0);
    return r ? as_object(r) : kv::fail(url_add_site);
}

// `__radd__` (what the host would derive from the addition slot) is
// replaced: a URL on the right-hand side of `+` is not supported.
kv::FuncDef fd_radd(&URLType, "URL.__radd__", [](PyObject*, Arg*) { Py_RETURN_NOTIMPLEMENTED; }, {{"other"}});

// ===========================================================================
// Building helpers

PyObject* build_absolute_url_impl(PyObject* scheme, PyObject* host, PyObject* base_path, PyObject* path) {
    // Path: "/" when missing, and always with a leading slash.
    Piece path_lead = raw_piece("", 0), path_piece = raw_piece("/", 1);
    if (path != Py_None && PyBytes_GET_SIZE(path) > 0) {
        path_piece = Piece{path};
        if (!starts_with_slash(path)) path_lead = raw_piece("/", 1);
    }
    // Base path: a leading slash, one trailing slash removed.
    Piece base_lead = raw_piece("", 0), base_piece = raw_piece("", 0);
    if (base_path != Py_None && PyBytes_GET_SIZE(base_path) > 0) {
        if (!starts_with_slash(base_path)) base_lead = raw_piece("/", 1);
        base_piece = Piece{base_path, 0, ends_with_slash(base_path) ? 1 : 0};
    }
    return new_url_from(concat(
        {Piece{scheme}, raw_piece("://", 3), Piece{host}, base_lead, base_piece, path_lead, path_piece}));
}
kv::FuncDef fd_build_absolute_url(
    "build_absolute_url", [](PyObject*, Arg* a) { return build_absolute_url_impl(a[0].o, a[1].o, a[2].o, a[3].o); },
    {{"scheme", ParamType::Bytes}, {"host", ParamType::Bytes}, {"base_path", ParamType::Bytes},
     {"path", ParamType::Bytes}});

// Concatenate text slices into one new string.
struct TextPiece {
    PyObject* obj;  // str, or null for "/"
    Py_ssize_t skip = 0;
};

PyObject* concat_text(std::initializer_list<TextPiece> list) {
    Py_ssize_t total = 0;
    Py_UCS4 maxchar = 127;
    for (const TextPiece& p : list) {
        if (!p.obj) { total += 1; continue; }
        total += PyUnicode_GET_LENGTH(p.obj) - p.skip;
        Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(p.obj);
        if (m > maxchar) maxchar = m;
    }
    PyObject* result = PyUnicode_New(total, maxchar);
    if (!result) return nullptr;
    Py_ssize_t at = 0;
    for (const TextPiece& p : list) {
        if (!p.obj) {
            PyUnicode_WRITE(PyUnicode_KIND(result), PyUnicode_DATA(result), at, '/');
            at += 1;
            continue;
        }
        Py_ssize_t len = PyUnicode_GET_LENGTH(p.obj) - p.skip;
        if (PyUnicode_CopyCharacters(result, at, p.obj, p.skip, len) < 0) {
            Py_DECREF(result);
            return nullptr;
        }
        at += len;
    }
    return result;
}

bool text_empty(PyObject* s) { return s == Py_None || PyUnicode_GET_LENGTH(s) == 0; }
bool text_starts_with_slash(PyObject* s) { return PyUnicode_GET_LENGTH(s) > 0 && PyUnicode_READ_CHAR(s, 0) == '/'; }
bool text_ends_with_slash(PyObject* s) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    return n > 0 && PyUnicode_READ_CHAR(s, n - 1) == '/';
}

PyObject* join_prefix_impl(PyObject* prefix, PyObject* path) {
    if (text_empty(prefix)) return Py_NewRef(path);
    bool lead = !text_starts_with_slash(prefix);
    if (text_empty(path)) {
        if (lead) return concat_text({{nullptr}, {prefix}, {nullptr}});
        return concat_text({{prefix}, {nullptr}});
    }
    bool prefix_slash = text_ends_with_slash(prefix);
    bool path_slash = text_starts_with_slash(path);
    TextPiece head = lead ? TextPiece{nullptr} : TextPiece{prefix};
    if (prefix_slash && path_slash) {
        if (lead) return concat_text({head, {prefix}, {path, 1}});
        return concat_text({head, {path, 1}});
    }
    if (!prefix_slash && !path_slash) {
        if (lead) return concat_text({head, {prefix}, {nullptr}, {path}});
        return concat_text({head, {nullptr}, {path}});
    }
    if (lead) return concat_text({head, {prefix}, {path}});
    return concat_text({head, {path}});
}
kv::FuncDef fd_join_prefix("join_prefix", [](PyObject*, Arg* a) { return join_prefix_impl(a[0].o, a[1].o); },
                           {{"prefix", ParamType::Str}, {"path", ParamType::Str}});


bool check_arg(const char* name, PyObject* o, PyTypeObject* type) {
    if (o && kv::exact_or_none(o, type)) return true;
    kv::arg_type_error(name, type->tp_name, o ? o : Py_None);
    return false;
}

// Entries of the C function table. Native callers are expected to pass the
// declared types; anything else is refused with the argument error rather
// than read as a byte string.
URLObject* c_build_absolute_url(PyObject* scheme, PyObject* host, PyObject* base_path, PyObject* path, int) {
    if (!check_arg("scheme", scheme, &PyBytes_Type) || !check_arg("host", host, &PyBytes_Type) ||
        !check_arg("base_path", base_path, &PyBytes_Type) || !check_arg("path", path, &PyBytes_Type))
        return as_url(kv::fail(fd_build_absolute_url.site));
    PyObject* r = build_absolute_url_impl(scheme, host, base_path, path);
    return as_url(r ? r : kv::fail(fd_build_absolute_url.site));
}

PyObject* c_join_prefix(PyObject* prefix, PyObject* path, int) {
    if (!check_arg("prefix", prefix, &PyUnicode_Type) || !check_arg("path", path, &PyUnicode_Type))
        return kv::fail(fd_join_prefix.site);
    PyObject* r = join_prefix_impl(prefix, path);
    return r ? r : kv::fail(fd_join_prefix.site);
}

// ===========================================================================
// Type

PyObject* get_value(PyObject* self, void*) { return Py_NewRef(as_url(self)->value); }
PyObject* get_schema(PyObject* self, void*) { return Py_NewRef(as_url(self)->schema); }
PyObject* get_host(PyObject* self, void*) { return Py_NewRef(as_url(self)->host); }
PyObject* get_port(PyObject* self, void*) { return PyLong_FromLong(as_url(self)->port); }
PyObject* get_path(PyObject* self, void*) { return Py_NewRef(as_url(self)->path); }
PyObject* get_query(PyObject* self, void*) { return Py_NewRef(as_url(self)->query); }
PyObject* get_fragment(PyObject* self, void*) { return Py_NewRef(as_url(self)->fragment); }
PyObject* get_is_absolute(PyObject* self, void*) { return PyBool_FromLong(as_url(self)->is_absolute); }

PyGetSetDef url_getset[] = {
    {"value", get_value, nullptr, nullptr, nullptr},
    {"schema", get_schema, nullptr, nullptr, nullptr},
    {"host", get_host, nullptr, nullptr, nullptr},
    {"port", get_port, nullptr, nullptr, nullptr},
    {"path", get_path, nullptr, nullptr, nullptr},
    {"query", get_query, nullptr, nullptr, nullptr},
    {"fragment", get_fragment, nullptr, nullptr, nullptr},
    {"is_absolute", get_is_absolute, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyNumberMethods url_as_number = [] {
    PyNumberMethods n = {};
    n.nb_add = url_add;
    return n;
}();

PyTypeObject URLType = [] {
    PyTypeObject t = kv::type_template("kelvarn.url.URL", sizeof(URLObject));
    t.tp_dealloc = url_dealloc;
    t.tp_repr = url_repr;
    t.tp_as_number = &url_as_number;
    t.tp_hash = PyObject_HashNotImplemented;
    t.tp_str = url_str;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_richcompare = url_richcompare;
    t.tp_getset = url_getset;
    t.tp_init = kv::init_slot<url_init_def>;
    t.tp_new = url_new;
    t.tp_vectorcall = kv::construct<url_init_def, url_new, url_init>;
    return t;
}();

kv::PickleDef url_pickle("URL", &URLType,
                         {{"fragment", FieldKind::Bytes, offsetof(URLObject, fragment)},
                          {"host", FieldKind::Bytes, offsetof(URLObject, host)},
                          {"is_absolute", FieldKind::Bool, offsetof(URLObject, is_absolute)},
                          {"path", FieldKind::Bytes, offsetof(URLObject, path)},
                          {"port", FieldKind::Int32, offsetof(URLObject, port)},
                          {"query", FieldKind::Bytes, offsetof(URLObject, query)},
                          {"schema", FieldKind::Bytes, offsetof(URLObject, schema)},
                          {"value", FieldKind::Bytes, offsetof(URLObject, value)}},
                         0x9303e4b, 0x06acbd0, 0x34a39a6,
                         "(fragment, host, is_absolute, path, port, query, schema, value)");

kv::PickleDef invalid_url_pickle("InvalidURL", &InvalidURLType, {}, 0xe3b0c44, 0xda39a3e, 0xd41d8cd, "()");

// ===========================================================================
// Module

// `import httptools`: a module already in sys.modules is reused unless it is
// still initialising. None there is the import system's marker for a blocked
// import, not a module: the normal import then reports it.
int import_httptools() {
    Ref module;
    PyObject* found = PyDict_GetItemWithError(PyImport_GetModuleDict(), n_httptools);  // borrowed
    if (found && found != Py_None) {
        module = Ref::borrow(found);
        Ref spec;
        if (PyObject_GetOptionalAttr(found, n_spec, reinterpret_cast<PyObject**>(&spec)) < 0) return -1;
        if (spec) {
            Ref initializing;
            if (PyObject_GetOptionalAttr(spec.get(), n_initializing, reinterpret_cast<PyObject**>(&initializing)) < 0)
                return -1;
            if (initializing) {
                int t = kv::truth(initializing.get());
                if (t < 0) return -1;
                if (t) module.reset();
            }
        }
    } else if (PyErr_Occurred()) {
        return -1;
    }
    if (!module) module = Ref::steal(PyImport_ImportModuleLevelObject(n_httptools, nullptr, nullptr, nullptr, 0));
    if (!module) return -1;
    return kv::bind("httptools", module.get());
}

int exec_module(PyObject*) {
    if (kv::export_function("build_absolute_url", reinterpret_cast<void*>(c_build_absolute_url),
                            KELVARN_URL_BUILD_ABSOLUTE_URL_SIGNATURE) < 0)
        return -1;
    if (kv::export_function("join_prefix", reinterpret_cast<void*>(c_join_prefix), KELVARN_URL_JOIN_PREFIX_SIGNATURE) <
        0)
        return -1;

    url_table.join = t_join;
    url_table.base_url = t_base_url;
    url_table.with_host = t_with_host;
    url_table.with_scheme = t_with_scheme;
    url_table.with_query = t_with_query;
    if (PyType_Ready(&URLType) < 0) return -1;
    if (kv::set_vtable(&URLType, &url_table) < 0) return -1;
    if (kv::bind("URL", reinterpret_cast<PyObject*>(&URLType)) < 0) return -1;
    if (kv::add_pickling(url_pickle) < 0) return -1;

    if (kv::add_exception(&InvalidURLType, PyExc_Exception, "InvalidURL") < 0) return -1;

    if (import_httptools() < 0) return -1;
    if (kv::import_from("urllib.parse", "urlparse") < 0) return -1;

    if (kv::add_methods(&URLType) < 0) return -1;
    if (kv::add_functions() < 0) return -1;

    if (kv::add_reconstructor(invalid_url_pickle) < 0) return -1;
    if (kv::add_reconstructor(url_pickle) < 0) return -1;
    return 0;
}

}  // namespace

const kv::ModuleInfo kv::module_info = {"url", "kelvarn.url", "kelvarn/url.cpp", exec_module};

KV_MODULE_INIT(url)
