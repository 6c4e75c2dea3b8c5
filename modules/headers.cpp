// kelvarn.headers: the Header pair and the Headers collection.
#include "frame.hpp"
#include "headers.h"
#include "typed.hpp"

#include <utility>

namespace {

using kv::Arg;
using kv::FieldKind;
using kv::Kind;
using kv::Ref;
using kv::ParamType;

kv::Name n_lower("lower");
kv::Name n_name("name");
kv::Name n_value("value");

// ===========================================================================
// Header

using HeaderObject = __pyx_obj_7kelvarn_7headers_Header;

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

int header_init(PyObject* self, Arg* a) {
    kv::assign(as_header(self)->name, a[0].o);
    kv::assign(as_header(self)->value, a[1].o);
    return 0;
}

kv::InitDef header_init_def("Header.__init__", header_init, {{"name", ParamType::Bytes}, {"value", ParamType::Bytes}});

kv::Site header_repr_site("Header.__repr__");
kv::Name header_repr_prefix("<Header "), header_repr_sep(": "), header_repr_suffix(">");

PyObject* header_repr(PyObject* self) {
    // str() of bytes may warn (python -b), and a warning hook may
    // re-initialise self: each field is held while it is converted.
    Ref field = Ref::borrow(as_header(self)->name);
    Ref name = Ref::steal(PyObject_Str(field.get()));
    if (!name) return kv::fail(header_repr_site);
    field = Ref::borrow(as_header(self)->value);
    Ref value = Ref::steal(PyObject_Str(field.get()));
    if (!value) return kv::fail(header_repr_site);
    PyObject* parts[] = {header_repr_prefix, name.get(), header_repr_sep, value.get(), header_repr_suffix};
    PyObject* r = kv::join_text(parts, 5);
    return r ? r : kv::fail(header_repr_site);
}

// Two words of bytes are equal ignoring ASCII case when they differ only in
// bit 0x20 of bytes that are letters (the byte with that bit set lies in
// a-z; bytes with the high bit set are no letters).
inline bool same_nocase(uint64_t x, uint64_t y) {
    constexpr uint64_t ones = 0x0101010101010101ULL;
    uint64_t d = x ^ y;
    if (d == 0) return true;
    if (d & ~(0x20 * ones)) return false;
    uint64_t l = x | (0x20 * ones);
    uint64_t low = l & (0x7f * ones);
    uint64_t letter = (low + (0x80 - 'a') * ones) & ~(low + (0x80 - 'z' - 1) * ones) & ~l;
    return (d & ~(letter >> 2)) == 0;
}

inline uint64_t load8(const char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

#if KV_HAVE_SSE2
// Sixteen bytes at once: each pair of bytes is equal, or equal with bit 0x20
// set and then a letter a-z (bytes from 0x80 on compare as negative and are
// no letters).
inline bool same16_nocase(__m128i x, __m128i y) {
    const __m128i case_bit = _mm_set1_epi8(0x20);
    __m128i fx = _mm_or_si128(x, case_bit);
    __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(fx, _mm_set1_epi8('a' - 1)), _mm_cmpgt_epi8(_mm_set1_epi8('z' + 1), fx));
    __m128i folded = _mm_and_si128(_mm_cmpeq_epi8(fx, _mm_or_si128(y, case_bit)), letter);
    return _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(x, y), folded)) == 0xffff;
}

inline __m128i load16(const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// Names longer than 16 bytes: whole blocks, then the last sixteen bytes.
KV_NOINLINE bool equal_nocase_long(const char* a, const char* b, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n - 16; i += 16)
        if (!same16_nocase(load16(a + i), load16(b + i))) return false;
    return same16_nocase(load16(a + n - 16), load16(b + n - 16));
}

// The first and the last eight bytes of a name of 8 to 16 bytes.
inline __m128i load_ends(const char* p, Py_ssize_t n) {
#if KV_X86_64
    return _mm_unpacklo_epi64(_mm_cvtsi64_si128(int64_t(load8(p))), _mm_cvtsi64_si128(int64_t(load8(p + n - 8))));
#else
    auto low8 = [](const char* q) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(q)); };
    return _mm_unpacklo_epi64(low8(p), low8(p + n - 8));
#endif
}
#else
// Names longer than 16 bytes: whole words, then the last eight bytes.
KV_NOINLINE bool equal_nocase_long(const char* a, const char* b, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n - 8; i += 8)
        if (!same_nocase(load8(a + i), load8(b + i))) return false;
    return same_nocase(load8(a + n - 8), load8(b + n - 8));
}
#endif

// ASCII case-insensitive equality of `n` bytes, what `a.lower() == b.lower()`
// computes for byte strings: a machine word (or vector) at a time, without
// allocating. Kept out of line: the scans call it only when the lengths
// agree, and their loops stay small. Short tails are read as overlapping
// words.
KV_NOINLINE bool equal_nocase(const char* a, const char* b, Py_ssize_t n) {
    auto load4 = [](const char* p) { uint32_t v; std::memcpy(&v, p, 4); return uint64_t(v); };
    auto load2 = [](const char* p) { uint16_t v; std::memcpy(&v, p, 2); return uint64_t(v); };
    if (n > 16) return equal_nocase_long(a, b, n);
#if KV_HAVE_SSE2
    if (n >= 8) return same16_nocase(load_ends(a, n), load_ends(b, n));
#else
    if (n > 8) return same_nocase(load8(a), load8(b)) && same_nocase(load8(a + n - 8), load8(b + n - 8));
    if (n == 8) return same_nocase(load8(a), load8(b));
#endif
    if (n >= 4) return same_nocase(load4(a) | load4(a + n - 4) << 32, load4(b) | load4(b + n - 4) << 32);
    if (n >= 2) return same_nocase(load2(a) | load2(a + n - 2) << 16, load2(b) | load2(b + n - 2) << 16);
    return n == 0 || same_nocase(uint8_t(a[0]), uint8_t(b[0]));
}

// The same for two exact byte strings.
inline bool bytes_equal_nocase(PyObject* a, PyObject* b) {
    Py_ssize_t n = PyBytes_GET_SIZE(a);
    return n == PyBytes_GET_SIZE(b) && equal_nocase(PyBytes_AS_STRING(a), PyBytes_AS_STRING(b), n);
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
constexpr auto header_richcompare = kv::richcompare_from_eq<header_eq, header_ne_site>;

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
    t.tp_init = kv::init_slot<header_init_def>;
    t.tp_new = header_new;
    t.tp_vectorcall = kv::construct<header_init_def>;
    return t;
}();

kv::PickleDef header_pickle("Header", &HeaderType,
                            {{"name", FieldKind::Bytes, offsetof(HeaderObject, name)},
                             {"value", FieldKind::Bytes, offsetof(HeaderObject, value)}},
                            0xaaf55bf, 0xe891e3f, 0xfa7a105, "(name, value)");

// ===========================================================================
// Headers

using HeadersObject = __pyx_obj_7kelvarn_7headers_Headers;
using HeadersTable = __pyx_vtabstruct_7kelvarn_7headers_Headers;

extern PyTypeObject HeadersType;
HeadersTable headers_table;

kv::Name n_add("add");
kv::Name n_add_to_instance("_add_to_instance");
kv::Name n_items("items");
kv::Name n_class("__class__");
kv::Name n_qualname_name("__name__");
kv::Name n_mapping("Mapping");
kv::Name n_mutable_sequence("MutableSequence");
kv::Name headers_repr_prefix("<Headers ");
kv::Builtin builtin_staticmethod("staticmethod");

PyObject* mutable_sequence_abc = nullptr;  // the classes bound at import, for the fast paths
PyObject* mapping_abc = nullptr;

HeadersObject* as_headers(PyObject* o) { return reinterpret_cast<HeadersObject*>(o); }
PyObject* as_object(HeadersObject* o) { return reinterpret_cast<PyObject*>(o); }

// ---------------------------------------------------------------------------
// Name matching: `name.lower() == key.lower()` with bytes.lower folding only
// A-Z. Exact bytes are compared in place; anything else goes through its own
// `lower` method.

struct Key {
    PyObject* key;     // exact bytes (never None once prepared)
    Ref lowered;       // key.lower(), made only when a stored name is not exact bytes

    bool prepare(PyObject* k) {
        if (k == Py_None) {
            kv::none_attribute_error("lower");
            return false;
        }
        key = k;
        return true;
    }

    PyObject* lower() {
        if (!lowered) lowered = Ref::steal(kv::call_method(key, n_lower));
        return lowered.get();
    }
};

// Byte-string equality of two lowered names.
int lowered_equal(PyObject* a, PyObject* b) {
    if (a == b) return 1;
    if (PyBytes_CheckExact(a) && PyBytes_CheckExact(b)) {
        Py_ssize_t n = PyBytes_GET_SIZE(a);
        return n == PyBytes_GET_SIZE(b) && std::memcmp(PyBytes_AS_STRING(a), PyBytes_AS_STRING(b), size_t(n)) == 0;
    }
    if ((PyBytes_CheckExact(a) && b == Py_None) || (PyBytes_CheckExact(b) && a == Py_None)) return 0;
    Ref r = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
    return r ? kv::truth(r.get()) : -1;
}

// The entry list held for a scan, or null: a scan of None fails.
Ref entry_list(HeadersObject* self) {
    if (self->values == Py_None) {
        kv::none_not_iterable();
        return Ref();
    }
    return Ref::borrow(self->values);
}

// Slow path of name matching, for stored names that are not exact bytes:
// their own `lower` is called. 1, 0 or -1.
int name_matches_slow(PyObject* name, Key& key) {
    Ref lowered = Ref::steal(kv::call_method(name, n_lower));
    if (!lowered) return -1;
    PyObject* k = key.lower();
    if (!k) return -1;
    return lowered_equal(lowered.get(), k);
}

PyObject* index_error() {
    PyErr_SetString(PyExc_IndexError, "tuple index out of range");
    return nullptr;
}

// The fast part of the lookups. From `i` on, skip the entries that surely
// do not match: exact tuples whose item 0 is an exact bytes name of another
// length than the key (for `contains`, exact pairs whose value is also
// exact bytes or None). Returns the index of the first entry that needs a
// closer look, or `n`. A leaf: nothing is referenced and no Python code runs.
// For `contains` a None value also stops the loop, whatever the name's length.
template <bool Pairs>
KV_HOT Py_ssize_t next_stop(PyObject* const* items, Py_ssize_t i, Py_ssize_t n, Py_ssize_t len) {
    PyTypeObject* tuple_type = &PyTuple_Type;
    PyTypeObject* bytes_type = &PyBytes_Type;
    // Kept in registers rather than reloaded from the symbol table per entry.
    KV_KEEP_IN_REGISTERS(tuple_type, bytes_type);
    auto stops = [&](PyObject* entry) {
        if (Py_TYPE(entry) != tuple_type) return true;
        if (Pairs ? Py_SIZE(entry) != 2 : Py_SIZE(entry) < 1) return true;
        PyObject* name = PyTuple_GET_ITEM(entry, 0);
        if (Py_TYPE(name) != bytes_type) return true;
        if (Pairs) {
            PyObject* value = PyTuple_GET_ITEM(entry, 1);
            if (Py_TYPE(value) != bytes_type) return true;
        }
        return Py_SIZE(name) == len;
    };
    if (i >= n) return n;  // the list shrank while Python code ran
    PyObject* const* p = items + i;
    PyObject* const* end = items + n;
    PyObject* const* end4 = p + ((n - i) & ~Py_ssize_t(3));
    for (; p != end4; p += 4) {
        if (stops(p[0])) [[unlikely]]
            return p - items;
        if (stops(p[1])) [[unlikely]]
            return p + 1 - items;
        if (stops(p[2])) [[unlikely]]
            return p + 2 - items;
        if (stops(p[3])) [[unlikely]]
            return p + 3 - items;
    }
    for (; p < end; p++)
        if (stops(*p)) break;
    return p - items;
}

PyObject* const* list_items(PyObject* list) { return reinterpret_cast<PyListObject*>(list)->ob_item; }

// Whether an entry where the scan stopped has the shape the fast test
// covers (its name then has the key's length).
inline bool plain_name(PyObject* entry) {
    return PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) >= 1 && PyBytes_CheckExact(PyTuple_GET_ITEM(entry, 0));
}

// Item 0 of such an entry equals the key, ignoring case.
inline bool name_is(PyObject* entry, PyObject* key) {
    return equal_nocase(PyBytes_AS_STRING(PyTuple_GET_ITEM(entry, 0)), PyBytes_AS_STRING(key), PyBytes_GET_SIZE(key));
}

// The general scan, as `get` reads the entries from `start` on (each entry
// exactly a tuple, item 0 lowered and compared); `on_match(entry)` returns 1
// to go on, 0 to stop and -1 on error. Returns 0 or -1. Exact bytes names
// are compared in place; any other name's own `lower` decides, which may run
// Python code, so the list and the entry are held meanwhile and the list is
// read afresh at every step.
template <class OnMatch>
int scan_from(PyObject* list, Py_ssize_t start, PyObject* key_object, OnMatch&& on_match) {
    Key key;
    key.key = key_object;
    Ref held = Ref::borrow(list);
    Py_ssize_t len = PyBytes_GET_SIZE(key.key);
    for (Py_ssize_t i = start; (i = next_stop<false>(list_items(list), i, PyList_GET_SIZE(list), len)) <
                               PyList_GET_SIZE(list);
         i++) {
        PyObject* entry = PyList_GET_ITEM(list, i);
        if (!PyTuple_CheckExact(entry)) [[unlikely]] {
            if (entry == Py_None) kv::none_not_subscriptable();
            else kv::expected_error("tuple", entry);
            return -1;
        }
        if (PyTuple_GET_SIZE(entry) < 1) [[unlikely]] {
            index_error();
            return -1;
        }
        Ref hold = Ref::borrow(entry);
        PyObject* name = PyTuple_GET_ITEM(entry, 0);
        if (PyBytes_CheckExact(name)) {
            if (!name_is(entry, key.key)) continue;
        } else {
            int m = name_matches_slow(name, key);
            if (m < 0) return -1;
            if (!m) continue;
        }
        int r = on_match(entry);
        if (r <= 0) return r;
    }
    return 0;
}

// Matches collected as owned references: a few inline, more in a list.
class Collected {
public:
    int add(PyObject* o) {
        if (!overflow_ && n_ < inline_size) {
            inline_[n_++] = Ref::borrow(o);
            return 0;
        }
        if (!overflow_) {
            overflow_ = Ref::steal(PyList_New(n_));
            if (!overflow_) return -1;
            for (Py_ssize_t i = 0; i < n_; i++) PyList_SET_ITEM(overflow_.get(), i, inline_[i].release());
        }
        return PyList_Append(overflow_.get(), o);
    }
    PyObject* tuple() {
        if (overflow_) return PyList_AsTuple(overflow_.get());
        if (n_ == 0) return Py_NewRef(kv::empty_tuple);
        PyObject* t = PyTuple_New(n_);
        if (t)
            for (Py_ssize_t i = 0; i < n_; i++) PyTuple_SET_ITEM(t, i, inline_[i].release());
        return t;
    }
    PyObject* list() {
        if (overflow_) return overflow_.release();
        PyObject* l = PyList_New(n_);
        if (l)
            for (Py_ssize_t i = 0; i < n_; i++) PyList_SET_ITEM(l, i, inline_[i].release());
        return l;
    }

private:
    static constexpr Py_ssize_t inline_size = 8;
    Ref inline_[inline_size];
    Py_ssize_t n_ = 0;
    Ref overflow_;
};

// Item 1 of a matching entry, borrowed; null when the tuple is too short.
PyObject* entry_value(PyObject* entry) {
    if (PyTuple_GET_SIZE(entry) < 2) return index_error();
    return PyTuple_GET_ITEM(entry, 1);
}

// Unpack an entry into two byte strings (or None), name checked first.
bool unpack_entry(PyObject* entry, PyObject** name, PyObject** value, Ref* hold) {
    if (!kv::unpack2(entry, name, value, hold)) return false;
    return kv::check_exact(*name, &PyBytes_Type) && kv::check_exact(*value, &PyBytes_Type);
}

bool is_plain_pair(PyObject* entry) {
    if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 2) return false;
    PyObject* a = PyTuple_GET_ITEM(entry, 0);
    PyObject* b = PyTuple_GET_ITEM(entry, 1);
    return (PyBytes_CheckExact(a) || a == Py_None) && (PyBytes_CheckExact(b) || b == Py_None);
}

PyObject* new_pair(PyObject* a, PyObject* b) {
    PyObject* t = PyTuple_New(2);
    if (t) {
        PyTuple_SET_ITEM(t, 0, Py_NewRef(a));
        PyTuple_SET_ITEM(t, 1, Py_NewRef(b));
    }
    return t;
}

// The entry list that a lookup for `key` scans; null with the error set
// when the key or the list is None (the key is lowered first).
inline PyObject* lookup_list(HeadersObject* self, PyObject* key) {
    if (key == Py_None) [[unlikely]]
        return kv::none_attribute_error("lower");
    PyObject* list = self->values;
    if (list == Py_None) [[unlikely]]
        return kv::none_not_iterable();
    return list;
}

// Matches of an exact scan, borrowed: nothing runs between the scan and the
// building of the result. A lookup that meets more matches, or an entry the
// fast test does not cover, goes on with owned references.
constexpr int max_borrowed = 8;

// get and get_tuples from the entry at `i` on, with the matches found
// before it.
template <bool Entries>
KV_NOINLINE PyObject* collect_from(PyObject* list, Py_ssize_t i, PyObject* key, PyObject* const* found,
                                         int nfound) {
    Collected collected;
    for (int k = 0; k < nfound; k++)
        if (collected.add(found[k]) < 0) return nullptr;
    int r = scan_from(list, i, key, [&](PyObject* entry) {
        PyObject* item = Entries ? entry : entry_value(entry);
        return !item || collected.add(item) < 0 ? -1 : 1;
    });
    if (r < 0) return nullptr;
    return Entries ? collected.list() : collected.tuple();
}

// get and get_tuples: item 1 (or the entry itself) of every match.
template <bool Entries>
PyObject* collect_impl(HeadersObject* self, PyObject* key) {
    PyObject* list = lookup_list(self, key);
    if (!list) return nullptr;
    PyObject* const* items = list_items(list);
    const Py_ssize_t n = PyList_GET_SIZE(list), len = PyBytes_GET_SIZE(key);
    PyObject* found[max_borrowed];
    int nfound = 0;
    for (Py_ssize_t i = 0;; i++) {
        if ((i = next_stop<false>(items, i, n, len)) == n) break;
        PyObject* entry = items[i];
        if (!plain_name(entry)) [[unlikely]]
            return collect_from<Entries>(list, i, key, found, nfound);
        if (!name_is(entry, key)) continue;
        if (nfound == max_borrowed || (!Entries && PyTuple_GET_SIZE(entry) < 2)) [[unlikely]]
            return collect_from<Entries>(list, i, key, found, nfound);
        found[nfound++] = Entries ? entry : PyTuple_GET_ITEM(entry, 1);
    }
    PyObject* r = Entries ? PyList_New(nfound) : PyTuple_New(nfound);
    if (!r) return nullptr;
    PyObject** slots = Entries ? reinterpret_cast<PyListObject*>(r)->ob_item : &PyTuple_GET_ITEM(r, 0);
    for (int k = 0; k < nfound; k++) slots[k] = Py_NewRef(found[k]);
    return r;
}

// Item 1 of the first match, which must be bytes or None.
PyObject* first_value(PyObject* entry) {
    PyObject* value = entry_value(entry);
    if (!value || !kv::check_exact(value, &PyBytes_Type)) return nullptr;
    return Py_NewRef(value);
}

KV_NOINLINE PyObject* get_first_from(PyObject* list, Py_ssize_t i, PyObject* key) {
    PyObject* found = nullptr;
    int r = scan_from(list, i, key, [&](PyObject* entry) {
        found = first_value(entry);
        return found ? 0 : -1;
    });
    if (r < 0) return nullptr;
    return found ? found : Py_NewRef(Py_None);
}

// Over more entries than this, keys() tracks the names seen in a set. Names
// are exact bytes or None, whose hashing and comparison run no Python code,
// so the set answers as the membership test on the result list does.
constexpr Py_ssize_t keys_list_max = 6;

// Whether an unpacked entry matches, as `contains` compares it: both items
// bytes or None, the name lowered.
int pair_matches(PyObject* name, PyObject* value, PyObject* key) {
    if (!kv::check_exact(name, &PyBytes_Type) || !kv::check_exact(value, &PyBytes_Type)) return -1;
    if (name == Py_None) {
        kv::none_attribute_error("lower");
        return -1;
    }
    return bytes_equal_nocase(name, key);
}

// An entry that is not an exact pair: unpacked by iteration, held meanwhile.
KV_NOINLINE int entry_matches_slow(PyObject* entry, PyObject* key) {
    Ref hold_entry = Ref::borrow(entry);
    PyObject *name, *value;
    Ref hold[2];
    if (!unpack_entry(entry, &name, &value, hold)) return -1;
    return pair_matches(name, value, key);
}

// An entry of the shape the fast test of `contains` covers.
inline bool plain_pair_bytes_name(PyObject* entry) {
    if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 2) return false;
    PyObject* value = PyTuple_GET_ITEM(entry, 1);
    return PyBytes_CheckExact(PyTuple_GET_ITEM(entry, 0)) && (PyBytes_CheckExact(value) || value == Py_None);
}

// Whether such an entry's name is the key.
inline bool pair_name_is(PyObject* entry, PyObject* key) {
    return PyBytes_GET_SIZE(PyTuple_GET_ITEM(entry, 0)) == PyBytes_GET_SIZE(key) && name_is(entry, key);
}

// `contains` from the entry at `i` on: the list is held while entries are
// unpacked by iteration, and read afresh at every step.
KV_NOINLINE int contains_from(PyObject* list, Py_ssize_t i, PyObject* key) {
    Ref held = Ref::borrow(list);
    Py_ssize_t len = PyBytes_GET_SIZE(key);
    for (; (i = next_stop<true>(list_items(list), i, PyList_GET_SIZE(list), len)) < PyList_GET_SIZE(list); i++) {
        PyObject* entry = PyList_GET_ITEM(list, i);
        int m;
        if (plain_pair_bytes_name(entry))
            m = pair_name_is(entry, key);
        else if (PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) == 2)
            m = pair_matches(PyTuple_GET_ITEM(entry, 0), PyTuple_GET_ITEM(entry, 1), key);
        else
            m = entry_matches_slow(entry, key);
        if (m) return m;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Removal in one pass. An exact list whose entries are all exact pairs of an
// exact bytes name and an exact bytes (or None) value runs no Python code
// while its entries are matched, compared or released. Deleting each match by
// equality, as `list.remove` does, then takes the first equal entry, which
// matches too: what is left is exactly the entries that do not match, in
// their order, the same objects. Keeping those in one pass gives that list
// without a scan per match.

bool is_exact_entry(PyObject* entry) {
    if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 2) return false;
    PyObject* value = PyTuple_GET_ITEM(entry, 1);
    return PyBytes_CheckExact(PyTuple_GET_ITEM(entry, 0)) && (PyBytes_CheckExact(value) || value == Py_None);
}

// Delete the entries from `from` on that `drop(index)` selects, asked once
// per entry in order (it must run no Python code), the others keeping their
// order. The dropped entries are moved behind the kept ones and released once
// the list no longer holds them.
template <class Drop>
void drop_entries(PyObject* list, Py_ssize_t from, Drop&& drop) {
    PyObject** items = reinterpret_cast<PyListObject*>(list)->ob_item;
    Py_ssize_t n = PyList_GET_SIZE(list), kept = from;
    for (Py_ssize_t i = from; i < n; i++)
        if (!drop(i)) std::swap(items[kept++], items[i]);
    if (kept == n || PyList_SetSlice(list, kept, n, nullptr) == 0) return;
    // Only the list's scratch copy of the dropped entries can fail, leaving
    // the list as it was: they are released here instead.
    PyErr_Clear();
    Py_SET_SIZE(list, kept);
    for (Py_ssize_t i = kept; i < n; i++) Py_DECREF(items[i]);
}

// remove(key) in one pass; false (nothing done) when the general path must run.
bool remove_exact(PyObject* list, PyObject* key) {
    if (!PyList_CheckExact(list) || !PyBytes_CheckExact(key)) return false;
    PyObject* const* items = reinterpret_cast<PyListObject*>(list)->ob_item;
    Py_ssize_t first = -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
        if (!is_exact_entry(items[i])) return false;
        if (first < 0 && bytes_equal_nocase(PyTuple_GET_ITEM(items[i], 0), key)) first = i;
    }
    if (first >= 0)
        drop_entries(list, first, [&](Py_ssize_t i) { return bytes_equal_nocase(PyTuple_GET_ITEM(items[i], 0), key); });
    return true;
}

// ---------------------------------------------------------------------------
// Removal of the matches of any other list. Deleting each match `m` with
// `list.remove(m)` compares the remaining entries from the start with `m`
// until one is equal. A comparison of two entries that are exact tuples of
// plain items (exact bytes, None, or a bytes subclass that keeps bytes'
// comparison) runs no Python code, so its outcome is all that counts: such
// an entry is equal to `m` exactly when it is the first remaining entry of
// `m`'s class of equal entries. Every comparison that involves another entry
// is made for real, in the order the calls of `list.remove` make them. One
// pass does this: the classes come from a hash table, the entries of the other
// kind are kept in order beside them, and the list is compacted once. The
// cost is linear in the list and in the real comparisons, which are as many as
// the calls of `list.remove` make. Should Python code change the list, its
// length or storage, rebind the entry list or give a plain item's class a
// comparison of its own, the pass applies what it decided and goes on as the
// calls of `list.remove` do.

// Scratch memory, freed on every path.
template <class T>
class Scratch {
public:
    Scratch() = default;
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() { PyMem_Free(p_); }
    bool alloc(size_t n) {
        p_ = static_cast<T*>(PyMem_Malloc((n ? n : 1) * sizeof(T)));
        if (!p_) PyErr_NoMemory();
        return p_ != nullptr;
    }
    T& operator[](size_t i) { return p_[i]; }

private:
    T* p_ = nullptr;
};

// Which entries compare without running Python code. The bytes subclasses
// admitted are recorded (and held), so that a comparison given to one of
// them later is noticed.
class Plain {
public:
    Plain() = default;
    Plain(const Plain&) = delete;
    Plain& operator=(const Plain&) = delete;
    ~Plain() {
        for (int i = 0; i < n_; i++) Py_DECREF(types_[i]);
    }
    bool item(PyObject* o) {
        if (o == Py_None || PyBytes_CheckExact(o)) return true;
        PyTypeObject* t = Py_TYPE(o);
        if (!PyBytes_Check(o) || t->tp_richcompare != PyBytes_Type.tp_richcompare) return false;
        for (int i = 0; i < n_; i++)
            if (types_[i] == t) return true;
        if (n_ == max_types) return false;
        types_[n_++] = reinterpret_cast<PyTypeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(t)));
        return true;
    }
    bool entry(PyObject* e) {
        if (!PyTuple_CheckExact(e)) return false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(e); i++)
            if (!item(PyTuple_GET_ITEM(e, i))) return false;
        return true;
    }
    bool unchanged() const {
        for (int i = 0; i < n_; i++)
            if (types_[i]->tp_richcompare != PyBytes_Type.tp_richcompare) return false;
        return true;
    }

private:
    static constexpr int max_types = 4;
    PyTypeObject* types_[max_types];
    int n_ = 0;
};

// `a == b` of two plain entries, and a hash that agrees with it.
bool plain_equal(PyObject* a, PyObject* b) {
    if (a == b) return true;
    Py_ssize_t n = PyTuple_GET_SIZE(a);
    if (n != PyTuple_GET_SIZE(b)) return false;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *x = PyTuple_GET_ITEM(a, i), *y = PyTuple_GET_ITEM(b, i);
        if (x == y) continue;
        if (x == Py_None || y == Py_None || Py_SIZE(x) != Py_SIZE(y) ||
            std::memcmp(PyBytes_AS_STRING(x), PyBytes_AS_STRING(y), size_t(Py_SIZE(x))) != 0)
            return false;
    }
    return true;
}

Py_uhash_t plain_hash(PyObject* e) {
    Py_uhash_t h = 0x9e3779b97f4a7c15ULL ^ Py_uhash_t(PyTuple_GET_SIZE(e));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(e); i++) {
        PyObject* x = PyTuple_GET_ITEM(e, i);
        // bytes' own hash (keyed, cached in the object), never a subclass's.
        Py_uhash_t v = x == Py_None ? 0x345678 : Py_uhash_t(PyBytes_Type.tp_hash(x));
        h = (h ^ v) * 0x100000001b3ULL;
        h ^= h >> 29;
    }
    return h;
}

// The classes of equal plain entries: each a chain of positions in order
// (`next`), of which `head` is the first not yet removed.
struct Classes {
    struct Slot {
        Py_uhash_t hash;
        Py_ssize_t rep, head, tail;  // rep < 0: an empty slot
    };
    Scratch<Slot> slots;
    Scratch<Py_ssize_t> next;
    size_t mask = 0;

    bool init(Py_ssize_t entries, Py_ssize_t members) {
        size_t cap = 8;
        while (cap < size_t(members) * 2) cap *= 2;
        mask = cap - 1;
        if (!slots.alloc(cap) || !next.alloc(size_t(entries))) return false;
        for (size_t i = 0; i < cap; i++) slots[i].rep = slots[i].head = -1;
        return true;
    }
    // The slot of `e`'s class (items[]: the list's entries), or an empty one.
    Slot& find(PyObject* const* items, PyObject* e, Py_uhash_t h) {
        for (size_t i = h & mask;; i = (i + 1) & mask) {
            Slot& s = slots[i];
            if (s.rep < 0 || (s.hash == h && plain_equal(items[s.rep], e))) return s;
        }
    }
    void add(PyObject* const* items, Py_ssize_t pos) {
        Py_uhash_t h = plain_hash(items[pos]);
        Slot& s = find(items, items[pos], h);
        next[pos] = -1;
        if (s.rep < 0) {
            s.hash = h;
            s.rep = s.head = pos;
        } else {
            next[s.tail] = pos;
        }
        s.tail = pos;
    }
};

// What list.remove(match) does, from index `from` on.
int list_remove_from(PyObject* list, PyObject* match, Py_ssize_t from) {
    for (Py_ssize_t i = from; i < PyList_GET_SIZE(list); i++) {
        Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
        int c = PyObject_RichCompareBool(item.get(), match, Py_EQ);
        if (c < 0) return -1;
        if (c) return PyList_SetSlice(list, i, i + 1, nullptr);
    }
    PyErr_SetString(PyExc_ValueError, "list.remove(x): x not in list");
    return -1;
}

// The matches from `j` on removed by the calls of list.remove themselves,
// each on the entry list of its time.
int remove_each(HeadersObject* self, PyObject* found, Py_ssize_t j) {
    for (; j < PyList_GET_SIZE(found); j++) {
        if (self->values == Py_None) {
            kv::none_attribute_error("remove");
            return -1;
        }
        Ref list = Ref::borrow(self->values);
        if (list_remove_from(list.get(), PyList_GET_ITEM(found, j), 0) < 0) return -1;
    }
    return 0;
}

class Removal {
public:
    Removal(PyObject* list, PyObject* found) : list_(list), found_(found) {}

    // Classify the entries; false with an error set.
    bool prepare(PyObject* key) {
        n_ = PyList_GET_SIZE(list_);
        items_ = list_items(list_);
        // A plain entry equal to a plain match has the match's name. When
        // every plain match is named by exact bytes, its name is the key
        // ignoring case, and only entries so named join the classes.
        bool all = false;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(found_); j++) {
            PyObject* m = PyList_GET_ITEM(found_, j);
            if (plain_.entry(m) && PyTuple_GET_SIZE(m) >= 1 && !PyBytes_CheckExact(PyTuple_GET_ITEM(m, 0))) all = true;
        }
        if (!kind_.alloc(size_t(n_)) || !others_.alloc(size_t(n_)) ||
            !positions_.alloc(size_t(PyList_GET_SIZE(found_))) || !decided_.alloc(size_t(PyList_GET_SIZE(found_))))
            return false;
        Py_ssize_t members = 0;
        for (Py_ssize_t i = 0; i < n_; i++) {
            PyObject* e = items_[i];
            kind_[i] = plain_kept;
            if (!plain_.entry(e)) {
                kind_[i] = other;
                others_[n_others_++] = i;
            } else if (all || (PyTuple_GET_SIZE(e) >= 1 && named(PyTuple_GET_ITEM(e, 0), key))) {
                kind_[i] = member;
                members++;
            }
        }
        if (!classes_.init(n_, members)) return false;
        for (Py_ssize_t i = 0; i < n_; i++)
            if (kind_[i] == member) classes_.add(items_, i);
        return true;
    }

    // Every match removed; 0 or -1.
    int run(HeadersObject* self) {
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(found_); j++) {
            if (self->values != list_) {
                // The entry list was replaced: the later calls work on the new one.
                apply();
                return remove_each(self, found_, j);
            }
            PyObject* m = PyList_GET_ITEM(found_, j);
            int r = plain_.entry(m) ? remove_plain(m) : remove_other(m);
            if (r == 0) continue;
            if (r < 0) {
                PyObject* error = PyErr_GetRaisedException();
                apply();
                PyErr_SetRaisedException(error);
                return -1;
            }
            // Python code changed the list (r == 1) or a plain item's class:
            // go on as list.remove does, from where the call stands.
            Py_ssize_t at = spec_index(stopped_);
            apply();
            if (stopped_equal_) {
                if (PyList_SetSlice(list_, at, at + 1, nullptr) < 0) return -1;
            } else if (list_remove_from(list_, m, at + 1) < 0) {
                return -1;
            }
            return remove_each(self, found_, j + 1);
        }
        apply();
        return 0;
    }

private:
    enum : char { plain_kept = 0, member = 1, other = 2, removed = 3 };

    static bool named(PyObject* name, PyObject* key) {
        return PyBytes_Check(name) && Py_SIZE(name) == Py_SIZE(key) &&
               equal_nocase(PyBytes_AS_STRING(name), PyBytes_AS_STRING(key), Py_SIZE(key));
    }

    // The real comparison of the entry at `i` with `m`: 1, 0 or -1, or 2
    // (equal) and 3 (unequal) when Python code changed what the pass relies on.
    int compare(Py_ssize_t i, PyObject* m) {
        Ref e = Ref::borrow(items_[i]);
        int c = PyObject_RichCompareBool(e.get(), m, Py_EQ);
        if (c < 0) return -1;
        if (PyList_GET_SIZE(list_) != n_ || list_items(list_) != items_ || !plain_.unchanged()) {
            stopped_ = i;
            stopped_equal_ = c != 0;
            return c ? 2 : 3;
        }
        return c;
    }

    int drop(Py_ssize_t i) {
        kind_[i] = removed;
        positions_[ndecided_] = i;
        decided_[ndecided_++] = Py_NewRef(items_[i]);
        return 0;
    }

    // list.remove(m) for a plain match: the entries of the other kind before
    // the first remaining entry of m's class are compared for real.
    int remove_plain(PyObject* m) {
        Classes::Slot& s = classes_.find(items_, m, plain_hash(m));
        while (s.head >= 0 && kind_[s.head] == removed) s.head = classes_.next[s.head];
        Py_ssize_t first = s.head >= 0 ? s.head : n_;
        for (Py_ssize_t k = 0; k < n_others_ && others_[k] < first; k++) {
            Py_ssize_t i = others_[k];
            if (kind_[i] == removed) continue;
            int c = compare(i, m);
            if (c < 0) return -1;
            if (c > 1) return 1;
            if (c) return drop(i);
        }
        if (first == n_) return not_found();
        return drop(first);
    }

    // list.remove(m) for a match of the other kind: every remaining entry is
    // compared for real.
    int remove_other(PyObject* m) {
        for (Py_ssize_t i = 0; i < n_; i++) {
            if (kind_[i] == removed) continue;
            int c = compare(i, m);
            if (c < 0) return -1;
            if (c > 1) return 1;
            if (c) return drop(i);
        }
        return not_found();
    }

    static int not_found() {
        PyErr_SetString(PyExc_ValueError, "list.remove(x): x not in list");
        return -1;
    }

    // The index that entry `i` has in the list the calls of list.remove see.
    Py_ssize_t spec_index(Py_ssize_t i) {
        Py_ssize_t gone = 0;
        for (Py_ssize_t k = 0; k < i; k++) gone += kind_[k] == removed;
        return i - gone;
    }

    // Delete the decided entries from the list: by position while the list
    // holds them there, otherwise the first occurrence of each object.
    void apply() {
        Py_ssize_t count = ndecided_;
        if (count == 0) return;
        Scratch<PyObject*>& decided = decided_;
        bool in_place = PyList_GET_SIZE(list_) == n_ && list_items(list_) == items_;
        Py_ssize_t first = n_;
        for (Py_ssize_t d = 0; d < count && in_place; d++) {
            in_place = items_[positions_[d]] == decided[d];
            if (positions_[d] < first) first = positions_[d];
        }
        Scratch<char> taken;
        if (in_place) {
            drop_entries(list_, first, [&](Py_ssize_t i) { return kind_[i] == removed; });
        } else if (taken.alloc(size_t(count))) {
            std::memset(&taken[0], 0, size_t(count));
            drop_entries(list_, 0, [&](Py_ssize_t i) {
                PyObject* e = list_items(list_)[i];
                for (Py_ssize_t d = 0; d < count; d++)
                    if (!taken[d] && decided[d] == e) {
                        taken[d] = 1;
                        return true;
                    }
                return false;
            });
        } else {
            PyErr_Clear();
        }
        release();
    }

    void release() {
        for (; ndecided_ > 0; ndecided_--) Py_DECREF(decided_[ndecided_ - 1]);
    }

    PyObject* list_;
    PyObject* found_;
    Py_ssize_t n_ = 0, n_others_ = 0, stopped_ = 0;
    bool stopped_equal_ = false;
    PyObject* const* items_ = nullptr;
    Plain plain_;
    Scratch<char> kind_;
    Scratch<Py_ssize_t> others_, positions_;  // entries of the other kind; where each decided entry was
    Classes classes_;
    Scratch<PyObject*> decided_;  // the removed entries, held, in the order they were chosen
    Py_ssize_t ndecided_ = 0;

public:
    ~Removal() { release(); }
};

PyObject* new_headers(PyObject* list);

// Copy the plain pairs of `source` as new pairs into `slots`, which the
// caller owns (a list made at its final size). False at the first entry
// that is not a plain pair; nothing that runs here can run Python code.
bool copy_plain_pairs(PyObject* source, PyObject** slots) {
    PyObject* const* items = reinterpret_cast<PyListObject*>(source)->ob_item;
    Py_ssize_t n = PyList_GET_SIZE(source);
    for (Py_ssize_t i = 0; i < n; i++) {
        if (!is_plain_pair(items[i])) [[unlikely]]
            return false;
        PyObject* pair = PyTuple_New(2);
        if (!pair) [[unlikely]]
            return false;
        PyTuple_SET_ITEM(pair, 0, Py_NewRef(PyTuple_GET_ITEM(items[i], 0)));
        PyTuple_SET_ITEM(pair, 1, Py_NewRef(PyTuple_GET_ITEM(items[i], 1)));
        slots[i] = pair;
    }
    return true;
}

// A new Headers over copies of the entries of the lists `a` and then `b` (or
// none), in one pass into a list of the final size, when every entry is a
// plain pair: what clone and adding a collection make of them. Null without
// an error when an entry is not a plain pair (the caller takes the general
// path, nothing having been observable), null with the error set when
// memory runs out.
PyObject* plain_copy(PyObject* a, PyObject* b) {
    Py_ssize_t na = PyList_GET_SIZE(a);
    Ref copy = Ref::steal(PyList_New(na + (b ? PyList_GET_SIZE(b) : 0)));
    if (!copy) return nullptr;
    PyObject** slots = reinterpret_cast<PyListObject*>(copy.get())->ob_item;
    if (!copy_plain_pairs(a, slots) || (b && !copy_plain_pairs(b, slots + na))) return nullptr;
    return new_headers(copy.get());
}

// ---------------------------------------------------------------------------
// Typed method table: each entry honours a Python subclass's override unless
// told to skip the check.
//
// The methods of the table, declared in the order of the class dictionary
// (the registry installs them as declared; items, update, add_many, __add__
// and __radd__ follow further down).

PyObject* keys_impl(HeadersObject* self) {
    Ref list = entry_list(self);
    if (!list) return nullptr;
    Ref result = Ref::steal(PyList_New(0));
    if (!result) return nullptr;
    Ref seen;
    if (PyList_GET_SIZE(list.get()) > keys_list_max && !(seen = Ref::steal(PySet_New(nullptr)))) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); i++) {
        Ref entry = Ref::borrow(PyList_GET_ITEM(list.get(), i));
        PyObject *name, *value;
        Ref hold[2];
        if (!unpack_entry(entry.get(), &name, &value, hold)) return nullptr;
        int known;
        if (seen) {
            Py_ssize_t before = PySet_GET_SIZE(seen.get());
            if (PySet_Add(seen.get(), name) < 0) return nullptr;
            known = PySet_GET_SIZE(seen.get()) == before;
        } else {
            known = PySequence_Contains(result.get(), name);
            if (known < 0) return nullptr;
        }
        if (!known && PyList_Append(result.get(), name) < 0) return nullptr;
    }
    return PyList_AsTuple(result.get());
}

kv::FuncDef fd_keys(&HeadersType, "Headers.keys", [](PyObject* self, Arg*) { return keys_impl(as_headers(self)); });

PyObject* clone_impl(HeadersObject* self) {
    Ref list = entry_list(self);
    if (!list) return nullptr;
    if (PyObject* r = plain_copy(list.get(), nullptr)) return r;
    if (PyErr_Occurred()) return nullptr;
    Ref copy = Ref::steal(PyList_New(0));
    if (!copy) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); i++) {
        Ref entry = Ref::borrow(PyList_GET_ITEM(list.get(), i));
        PyObject *name, *value;
        Ref hold[2];
        if (!unpack_entry(entry.get(), &name, &value, hold)) return nullptr;
        Ref pair = Ref::steal(new_pair(name, value));
        if (!pair || PyList_Append(copy.get(), pair.get()) < 0) return nullptr;
    }
    return new_headers(copy.get());
}

kv::FuncDef fd_clone(&HeadersType, "Headers.clone", [](PyObject* self, Arg*) { return clone_impl(as_headers(self)); });

PyObject* get_impl(HeadersObject* self, PyObject* name) { return collect_impl<false>(self, name); }
kv::FuncDef fd_get(&HeadersType, "Headers.get",
                   [](PyObject* self, Arg* a) { return get_impl(as_headers(self), a[0].o); },
                   {{"name", ParamType::Bytes}});

PyObject* get_tuples_impl(HeadersObject* self, PyObject* name) { return collect_impl<true>(self, name); }
kv::FuncDef fd_get_tuples(&HeadersType, "Headers.get_tuples",
                          [](PyObject* self, Arg* a) { return get_tuples_impl(as_headers(self), a[0].o); },
                          {{"name", ParamType::Bytes}});

PyObject* none_result(int r) { return r < 0 ? nullptr : Py_NewRef(Py_None); }
int add_impl(HeadersObject* self, PyObject* name, PyObject* value) {
    if (self->values == Py_None) {
        kv::none_attribute_error("append");
        return -1;
    }
    Ref entry = Ref::steal(new_pair(name, value));
    if (!entry) return -1;
    return PyList_Append(self->values, entry.get());
}
kv::FuncDef fd_add(&HeadersType, "Headers.add",
                   [](PyObject* self, Arg* a) { return none_result(add_impl(as_headers(self), a[0].o, a[1].o)); },
                   {{"name", ParamType::Bytes}, {"value", ParamType::Bytes}});

// Internal calls through the typed table (below, after the table entries).
int call_add(HeadersObject* self, PyObject* name, PyObject* value);
int call_contains(HeadersObject* self, PyObject* key);
int call_remove(HeadersObject* self, PyObject* key);

int set_impl(HeadersObject* self, PyObject* name, PyObject* value) {
    // On the built-in type contains, remove and add are the module's own: a
    // list that allows one-pass removal needs no separate contains scan.
    if (!kv::may_override(as_object(self)) && remove_exact(self->values, name)) return call_add(self, name, value);
    int found = call_contains(self, name);
    if (found < 0) return -1;
    if (found && call_remove(self, name) < 0) return -1;
    return call_add(self, name, value);
}
kv::FuncDef fd_set(&HeadersType, "Headers.set",
                   [](PyObject* self, Arg* a) { return none_result(set_impl(as_headers(self), a[0].o, a[1].o)); },
                   {{"name", ParamType::Bytes}, {"value", ParamType::Bytes}});

PyObject* get_single_impl(HeadersObject* self, PyObject* key) {
    Ref values = Ref::steal(self->__pyx_vtab->get(self, key, 0));
    if (!values) return nullptr;
    if (values.get() == Py_None) return kv::none_no_len();
    Py_ssize_t n = PyTuple_GET_SIZE(values.get());
    if (n > 1) {
        PyErr_SetString(PyExc_ValueError, "Headers contains more than one header with the given key");
        return nullptr;
    }
    if (n == 0) {
        PyErr_SetString(PyExc_ValueError, "Headers does not contain one header with the given key");
        return nullptr;
    }
    PyObject* value = PyTuple_GET_ITEM(values.get(), 0);
    if (!kv::check_exact(value, &PyBytes_Type)) return nullptr;
    return Py_NewRef(value);
}
kv::FuncDef fd_get_single(&HeadersType, "Headers.get_single",
                          [](PyObject* self, Arg* a) { return get_single_impl(as_headers(self), a[0].o); },
                          {{"key", ParamType::Bytes}});

PyObject* get_first_impl(HeadersObject* self, PyObject* key) {
    PyObject* list = lookup_list(self, key);
    if (!list) return nullptr;
    PyObject* const* items = list_items(list);
    const Py_ssize_t n = PyList_GET_SIZE(list), len = PyBytes_GET_SIZE(key);
    for (Py_ssize_t i = 0;; i++) {
        if ((i = next_stop<false>(items, i, n, len)) == n) Py_RETURN_NONE;
        PyObject* entry = items[i];
        if (!plain_name(entry)) [[unlikely]]
            return get_first_from(list, i, key);
        if (name_is(entry, key)) return first_value(entry);
    }
}
kv::FuncDef fd_get_first(&HeadersType, "Headers.get_first",
                         [](PyObject* self, Arg* a) { return get_first_impl(as_headers(self), a[0].o); },
                         {{"key", ParamType::Bytes}});

int remove_impl(HeadersObject* self, PyObject* key) {
    if (remove_exact(self->values, key)) return 0;
    Ref found = Ref::steal(get_tuples_impl(self, key));
    if (!found) return -1;
    if (PyList_GET_SIZE(found.get()) == 0) return 0;
    if (self->values == Py_None) {
        kv::none_attribute_error("remove");
        return -1;
    }
    // The comparisons may replace the entry list: held meanwhile.
    Ref list = Ref::borrow(self->values);
    Removal removal(list.get(), found.get());
    if (!removal.prepare(key)) return -1;
    return removal.run(self);
}
kv::FuncDef fd_remove(&HeadersType, "Headers.remove",
                      [](PyObject* self, Arg* a) { return none_result(remove_impl(as_headers(self), a[0].o)); },
                      {{"key", ParamType::Bytes}});

int merge_impl(HeadersObject* self, PyObject* values) {
    if (values == Py_None) {
        kv::none_not_iterable();
        return -1;
    }
    Ref list = Ref::borrow(values);
    // Merging the entry list into itself takes each entry once.
    Py_ssize_t bound = values == self->values ? PyList_GET_SIZE(values) : PY_SSIZE_T_MAX;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values) && i < bound; i++) {
        PyObject* item = PyList_GET_ITEM(values, i);
        if (item == Py_None) continue;
        if (!PyTuple_CheckExact(item)) {
            kv::expected_error("tuple", item);
            return -1;
        }
        if (self->values == Py_None) {
            kv::none_attribute_error("append");
            return -1;
        }
        if (PyList_Append(self->values, item) < 0) return -1;
    }
    return 0;
}
kv::FuncDef fd_merge(&HeadersType, "Headers.merge",
                     [](PyObject* self, Arg* a) { return none_result(merge_impl(as_headers(self), a[0].o)); },
                     {{"values", ParamType::List}});

int contains_impl(HeadersObject* self, PyObject* key) {
    PyObject* list = lookup_list(self, key);
    if (!list) return -1;
    PyObject* const* items = list_items(list);
    const Py_ssize_t n = PyList_GET_SIZE(list), len = PyBytes_GET_SIZE(key);
    for (Py_ssize_t i = 0;; i++) {
        if ((i = next_stop<true>(items, i, n, len)) == n) return 0;
        PyObject* entry = items[i];
        if (!plain_pair_bytes_name(entry)) [[unlikely]]
            return contains_from(list, i, key);
        if (pair_name_is(entry, key)) return 1;
    }
}
kv::FuncDef fd_contains(&HeadersType, "Headers.contains",
                        [](PyObject* self, Arg* a) -> PyObject* {
                            int r = contains_impl(as_headers(self), a[0].o);
                            return r < 0 ? nullptr : PyBool_FromLong(r);
                        },
                        {{"key", ParamType::Bytes}});

// The typed entries (kv::object_entry and the others: override, body, entry).
using kv::object_entry;
using kv::void_entry;
using kv::returns_bytes;
using kv::returns_list;
using kv::returns_tuple;
bool returns_headers(PyObject* r) { return kv::check_instance(r, &HeadersType); }

PyObject* t_keys(HeadersObject* self, int skip) { return object_entry(self, skip, fd_keys, returns_tuple, keys_impl); }
HeadersObject* t_clone(HeadersObject* self, int skip) {
    return as_headers(object_entry(self, skip, fd_clone, returns_headers, clone_impl));
}
PyObject* t_get(HeadersObject* self, PyObject* name, int skip) {
    return object_entry(self, skip, fd_get, returns_tuple, get_impl, name);
}
PyObject* t_get_tuples(HeadersObject* self, PyObject* name, int skip) {
    return object_entry(self, skip, fd_get_tuples, returns_list, get_tuples_impl, name);
}
void t_add(HeadersObject* self, PyObject* name, PyObject* value, int skip) {
    void_entry(self, skip, fd_add, add_impl, name, value);
}
void t_set(HeadersObject* self, PyObject* name, PyObject* value, int skip) {
    void_entry(self, skip, fd_set, set_impl, name, value);
}
PyObject* t_get_single(HeadersObject* self, PyObject* key, int skip) {
    return object_entry(self, skip, fd_get_single, returns_bytes, get_single_impl, key);
}
PyObject* t_get_first(HeadersObject* self, PyObject* key, int skip) {
    return object_entry(self, skip, fd_get_first, returns_bytes, get_first_impl, key);
}
void t_remove(HeadersObject* self, PyObject* key, int skip) { void_entry(self, skip, fd_remove, remove_impl, key); }
void t_merge(HeadersObject* self, PyObject* values, int skip) {
    void_entry(self, skip, fd_merge, merge_impl, values);
}
int t_contains(HeadersObject* self, PyObject* key, int skip) {
    return kv::truth_entry(self, skip, fd_contains, contains_impl, key);
}

// Internal calls through the table report failure as -1. For the exact type
// no override can exist, so the body runs without asking the error indicator.
int call_contains(HeadersObject* self, PyObject* key) {
    if (!kv::may_override(as_object(self))) {
        int r = contains_impl(self, key);
        if (r < 0) kv::add_traceback(fd_contains.site);
        return r;
    }
    int r = self->__pyx_vtab->contains(self, key, 0);
    return PyErr_Occurred() ? -1 : r;
}

template <class Entry, class Impl, class... A>
int call_void(HeadersObject* self, kv::FuncDef& fd, Entry entry, Impl impl, A... args) {
    if (!kv::may_override(as_object(self))) {
        if (impl(self, args...) == 0) return 0;
        kv::add_traceback(fd.site);
        return -1;
    }
    entry(self, args..., 0);
    return PyErr_Occurred() ? -1 : 0;
}

int call_add(HeadersObject* self, PyObject* name, PyObject* value) {
    return call_void(self, fd_add, t_add, add_impl, name, value);
}
int call_set(HeadersObject* self, PyObject* name, PyObject* value) {
    return call_void(self, fd_set, t_set, set_impl, name, value);
}
int call_remove(HeadersObject* self, PyObject* key) { return call_void(self, fd_remove, t_remove, remove_impl, key); }

// ---------------------------------------------------------------------------
// Construction, iteration, representation

PyObject* headers_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    as_headers(o)->__pyx_vtab = &headers_table;
    as_headers(o)->values = Py_NewRef(Py_None);
    return o;
}

// A new Headers over `list` (a reference is taken), as `Headers(list)` makes it.
PyObject* new_headers(PyObject* list) {
    PyObject* o = headers_new(&HeadersType, nullptr, nullptr);
    if (o) kv::assign(as_headers(o)->values, list);
    return o;
}

int headers_init(PyObject* self, Arg* a) {
    if (a[0].o == Py_None) {
        PyObject* list = PyList_New(0);
        if (!list) return -1;
        Py_SETREF(as_headers(self)->values, list);
    } else {
        kv::assign(as_headers(self)->values, a[0].o);
    }
    return 0;
}

kv::InitDef headers_init_def("Headers.__init__", headers_init, {{"values", ParamType::List, kv::Default::None}});

int headers_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_headers(self)->values);
    return 0;
}

int headers_clear(PyObject* self) {
    PyObject* old = as_headers(self)->values;
    as_headers(self)->values = Py_NewRef(Py_None);
    Py_XDECREF(old);
    return 0;
}

void headers_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_headers(self)->values);
    Py_TYPE(self)->tp_free(self);
}

kv::Site headers_repr_site("Headers.__repr__");

PyObject* headers_repr(PyObject* self) {
    // The entries' own texts may replace the entry list: held meanwhile.
    Ref values = Ref::borrow(as_headers(self)->values);
    Ref text = Ref::steal(PyObject_Str(values.get()));
    if (!text) return kv::fail(headers_repr_site);
    PyObject* parts[] = {headers_repr_prefix, text.get(), header_repr_suffix};
    PyObject* r = kv::join_text(parts, 3);
    return r ? r : kv::fail(headers_repr_site);
}

// items() and iter(): the stored entries, the list looked up on the first step.
PyObject* entries_body(kv::Generator* g, PyObject* sent) {
    if (!sent || g->state != 0) return nullptr;
    g->state = 1;
    PyObject* values = as_headers(kv::scope_ref(g->scope, 0))->values;
    if (values == Py_None) return kv::none_not_iterable();
    if (!(g->yieldfrom = PyObject_GetIter(values))) return nullptr;
    return kv::delegate;
}

kv::GenDef items_gen("Headers.items", entries_body);
kv::GenDef iter_gen("Headers.__iter__", entries_body);
kv::ScopeType items_scope("kelvarn.headers.__pyx_scope_struct_1_items", 1);
kv::ScopeType iter_scope("kelvarn.headers.__pyx_scope_struct_2___iter__", 1);

PyObject* entries_generator(PyObject* self, kv::ScopeType& scope_type, kv::GenDef& gen) {
    Ref scope = Ref::steal(kv::new_scope(scope_type));
    if (!scope) return nullptr;
    kv::assign(kv::scope_ref(scope.get(), 0), self);
    return kv::make_generator(gen, scope.get());
}

kv::FuncDef fd_items(&HeadersType, "Headers.items",
                     [](PyObject* self, Arg*) { return entries_generator(self, items_scope, items_gen); });
kv::Site headers_iter_site("Headers.__iter__");

PyObject* headers_iter(PyObject* self) {
    PyObject* g = entries_generator(self, iter_scope, iter_gen);
    return g ? g : kv::fail(headers_iter_site);
}

// ---------------------------------------------------------------------------
// Subscription and membership

kv::Site getitem_site("Headers.__getitem__");
kv::Site setitem_site("Headers.__setitem__");
kv::Site delitem_site("Headers.__delitem__");
kv::Site contains_site("Headers.__contains__");

PyObject* headers_getitem(PyObject* self, PyObject* item) {
    if (!kv::exact_or_none(item, &PyBytes_Type)) {
        kv::arg_type_error("item", "bytes", item);
        return kv::fail(getitem_site);
    }
    PyObject* r = as_headers(self)->__pyx_vtab->get(as_headers(self), item, 0);
    return r ? r : kv::fail(getitem_site);
}

int headers_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    kv::Site& site = value ? setitem_site : delitem_site;
    if (!kv::exact_or_none(key, &PyBytes_Type)) {
        kv::arg_type_error("key", "bytes", key);
        return kv::fail_int(site);
    }
    HeadersObject* h = as_headers(self);
    if (value) {
        if (!kv::exact_or_none(value, &PyBytes_Type)) {
            kv::arg_type_error("value", "bytes", value);
            return kv::fail_int(site);
        }
        if (call_set(h, key, value) < 0) return kv::fail_int(site);
    } else {
        if (call_remove(h, key) < 0) return kv::fail_int(site);
    }
    return 0;
}

int headers_sq_contains(PyObject* self, PyObject* key) {
    if (!kv::exact_or_none(key, &PyBytes_Type)) {
        kv::arg_type_error("key", "bytes", key);
        return kv::fail_int(contains_site);
    }
    int r = call_contains(as_headers(self), key);
    return r < 0 ? kv::fail_int(contains_site) : r;
}

// ---------------------------------------------------------------------------
// Bulk additions and combination

// isinstance(o, <global>), the global looked up at the time of use; exact
// lists and dicts are answered directly while it still holds the class bound
// at import.
int is_instance_of_global(PyObject* o, PyObject* name, PyObject* original, PyTypeObject* fast) {
    Ref cls = Ref::steal(kv::lookup_global(name));
    if (!cls) return -1;
    if (cls.get() == original && Py_IS_TYPE(o, fast)) return 1;
    return PyObject_IsInstance(o, cls.get());
}

// Call `target.add(*item)`, the item made a tuple unless it is one. On the
// exact type `add` is the module's own method, so a pair that passes its
// argument checks is added directly.
int add_item(PyObject* target, PyObject* item) {
    if (Py_IS_TYPE(target, &HeadersType) && is_plain_pair(item)) {
        if (add_impl(as_headers(target), PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1)) == 0) return 0;
        kv::add_traceback(fd_add.site);
        return -1;
    }
    Ref add = Ref::steal(PyObject_GetAttr(target, n_add));
    if (!add) return -1;
    Ref args = Ref::borrow(item);
    if (!PyTuple_CheckExact(item) && !(args = Ref::steal(PySequence_Tuple(item)))) return -1;
    Ref r = Ref::steal(PyObject_Call(add.get(), args.get(), nullptr));
    return r ? 0 : -1;
}

// Visit each element of a sequence: a list or tuple by index, re-reading its
// length at every step (bounded by `bound`), anything else through iter().
template <class Visit>
int for_each(PyObject* seq, Py_ssize_t bound, Visit&& visit) {
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        Ref hold = Ref::borrow(seq);
        for (Py_ssize_t i = 0; i < Py_SIZE(seq) && i < bound; i++) {
            Ref item = Ref::borrow(PyList_CheckExact(seq) ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i));
            if (visit(item.get()) < 0) return -1;
        }
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return -1;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        if (visit(item.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// Iterating a collection's own entry list while appending to it takes each
// entry once.
Py_ssize_t bound_for(PyObject* target, PyObject* seq) {
    if (PyObject_TypeCheck(target, &HeadersType) && as_headers(target)->values == seq && PyList_CheckExact(seq))
        return PyList_GET_SIZE(seq);
    return PY_SSIZE_T_MAX;
}

int add_pair(HeadersObject* self, PyObject* key, PyObject* value) {
    if (!kv::check_exact(key, &PyBytes_Type) || !kv::check_exact(value, &PyBytes_Type)) return -1;
    return call_add(self, key, value);
}

// name.lower() of an exact bytes name, or the name itself when it has no
// capital letter (equal in value, which is all a dict lookup asks).
PyObject* lowered_name(PyObject* name) {
    const char* s = PyBytes_AS_STRING(name);
    Py_ssize_t n = PyBytes_GET_SIZE(name), i = 0;
    while (i < n && !(s[i] >= 'A' && s[i] <= 'Z')) i++;
    if (i == n) return Py_NewRef(name);
    PyObject* r = PyBytes_FromStringAndSize(nullptr, n);
    if (!r) return nullptr;
    char* d = PyBytes_AS_STRING(r);
    std::memcpy(d, s, size_t(i));
    for (; i < n; i++) d[i] = char(s[i] >= 'A' && s[i] <= 'Z' ? s[i] + 32 : s[i]);
    return r;
}

// Up to this many keys, update() assigns them one by one: each assignment is
// one pass over the entries.
constexpr Py_ssize_t update_per_key_max = 8;

// update(values) in one pass, for the built-in type (whose item assignment is
// its own `set`) with exact bytes keys and exact bytes (or None) values over
// an entry list that allows one-pass removal. Assigning the keys in turn
// deletes every entry that matches any of them, and of keys that differ only
// in case keeps the entry of the last: the kept entries, then one new entry
// per such last key, in dict order. 1 when done, 0 when nothing was done and
// the general path must run, -1 on error.
int update_exact(PyObject* self, PyObject* values) {
    PyObject* list = as_headers(self)->values;
    if (PyDict_GET_SIZE(values) <= update_per_key_max || !Py_IS_TYPE(self, &HeadersType) || !PyList_CheckExact(list))
        return 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++)
        if (!is_exact_entry(PyList_GET_ITEM(list, i))) return 0;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(values, &pos, &key, &value))
        if (!PyBytes_CheckExact(key) || !(PyBytes_CheckExact(value) || value == Py_None)) return 0;
    // Each lowered key, and the last key of each lowered name.
    Ref lowered = Ref::steal(PyTuple_New(PyDict_GET_SIZE(values)));
    Ref last = Ref::steal(PyDict_New());
    if (!lowered || !last) return -1;
    pos = 0;
    for (Py_ssize_t i = 0; PyDict_Next(values, &pos, &key, &value); i++) {
        PyObject* low = lowered_name(key);
        if (!low) return -1;
        PyTuple_SET_ITEM(lowered.get(), i, low);
        if (PyDict_SetItem(last.get(), low, key) < 0) return -1;
    }
    // The entries to delete, all found before the list changes.
    Py_ssize_t n = PyList_GET_SIZE(list), first = n;
    Ref marks = Ref::steal(PyBytes_FromStringAndSize(nullptr, n));
    if (!marks) return -1;
    char* drop = PyBytes_AS_STRING(marks.get());
    for (Py_ssize_t i = 0; i < n; i++) {
        Ref low = Ref::steal(lowered_name(PyTuple_GET_ITEM(PyList_GET_ITEM(list, i), 0)));
        if (!low) return -1;
        int m = PyDict_Contains(last.get(), low.get());
        if (m < 0) return -1;
        drop[i] = char(m);
        if (m && first == n) first = i;
    }
    drop_entries(list, first, [&](Py_ssize_t i) { return drop[i] != 0; });
    pos = 0;
    for (Py_ssize_t i = 0; PyDict_Next(values, &pos, &key, &value); i++) {
        if (PyDict_GetItemWithError(last.get(), PyTuple_GET_ITEM(lowered.get(), i)) != key) continue;
        Ref entry = Ref::steal(new_pair(key, value));
        if (!entry || PyList_Append(list, entry.get()) < 0) return -1;
    }
    return 1;
}

PyObject* update_impl(PyObject* self, PyObject* values) {
    int done = update_exact(self, values);
    if (done) return done < 0 ? nullptr : Py_NewRef(Py_None);
    if (kv::for_each_item(values, [&](PyObject* key, PyObject* value) { return PyObject_SetItem(self, key, value); }) < 0)
        return nullptr;
    Py_RETURN_NONE;
}
kv::FuncDef fd_update(&HeadersType, "Headers.update",
                      [](PyObject* self, Arg* a) { return update_impl(self, a[0].o); },
                      {{"values", ParamType::DictOnly}});

PyObject* add_many_impl(HeadersObject* self, PyObject* values) {
    int seq = is_instance_of_global(values, n_mutable_sequence, mutable_sequence_abc, &PyList_Type);
    if (seq < 0) return nullptr;
    if (seq) {
        if (for_each(values, bound_for(as_object(self), values),
                     [&](PyObject* item) { return add_item(as_object(self), item); }) < 0)
            return nullptr;
        Py_RETURN_NONE;
    }
    int map = is_instance_of_global(values, n_mapping, mapping_abc, &PyDict_Type);
    if (map < 0) return nullptr;
    if (!map) {
        PyErr_SetString(PyExc_ValueError, "values must be dict[bytes, bytes] or list[Header]");
        return nullptr;
    }
    if (PyDict_CheckExact(values)) {
        if (kv::for_each_item(values, [&](PyObject* key, PyObject* value) { return add_pair(self, key, value); }) < 0)
            return nullptr;
        Py_RETURN_NONE;
    }
    Ref items = Ref::steal(kv::call_method(values, n_items));
    if (!items) return nullptr;
    if (for_each(items.get(), PY_SSIZE_T_MAX, [&](PyObject* item) {
            PyObject *key, *value;
            Ref hold[2];
            if (!kv::unpack2(item, &key, &value, hold)) return -1;
            return add_pair(self, key, value);
        }) < 0)
        return nullptr;
    Py_RETURN_NONE;
}
kv::FuncDef fd_add_many(&HeadersType, "Headers.add_many",
                        [](PyObject* self, Arg* a) { return add_many_impl(as_headers(self), a[0].o); },
                        {{"values"}});

PyObject* text_of_class_name(PyObject* instance) {
    Ref cls = Ref::steal(PyObject_GetAttr(instance, n_class));
    if (!cls) return nullptr;
    Ref name = Ref::steal(PyObject_GetAttr(cls.get(), n_qualname_name));
    if (!name) return nullptr;
    return PyObject_Str(name.get());
}

// len() of a tuple: a subclass's __len__ decides. -1 on error.
Py_ssize_t tuple_len(PyObject* t) { return PyTuple_CheckExact(t) ? PyTuple_GET_SIZE(t) : PyObject_Length(t); }

PyObject* add_to_instance_impl(PyObject* instance, PyObject* other) {
    if (PyObject_TypeCheck(other, &HeadersType)) {
        // Adding a collection's entry list to itself takes a snapshot of its
        // entries first (also for subclasses that keep the built-in
        // iteration); any other collection is iterated as it changes.
        Ref source;
        PyObject* entries = as_headers(other)->values;
        if (Py_TYPE(other)->tp_iter == headers_iter && PyList_CheckExact(entries) &&
            PyObject_TypeCheck(instance, &HeadersType) && as_headers(instance)->values == entries)
            source = Ref::steal(PyList_GetSlice(entries, 0, PY_SSIZE_T_MAX));
        else
            source = Ref::borrow(other);
        if (!source) return nullptr;
        if (for_each(source.get(), PY_SSIZE_T_MAX, [&](PyObject* item) { return add_item(instance, item); }) < 0)
            return nullptr;
        return Py_NewRef(instance);
    }
    if (PyObject_TypeCheck(other, &HeaderType)) {
        // instance.add(other.name, other.value): the callee first, then the arguments.
        Ref add = Ref::steal(PyObject_GetAttr(instance, n_add));
        if (!add) return nullptr;
        Ref name = Ref::steal(PyObject_GetAttr(other, n_name));
        if (!name) return nullptr;
        Ref value = Ref::steal(PyObject_GetAttr(other, n_value));
        if (!value) return nullptr;
        Ref r = Ref::steal(kv::call(add.get(), name.get(), value.get()));
        return r ? Py_NewRef(instance) : nullptr;
    }
    if (PyTuple_Check(other)) {
        Py_ssize_t n = tuple_len(other);
        if (n < 0) return nullptr;
        if (n != 2) {
            Ref text = Ref::steal(PyObject_Str(other));
            if (text) text = Ref::steal(kv::shown(text.get()));  // bounded, whatever the tuple holds
            if (text) PyErr_Format(PyExc_ValueError, "Cannot add, an invalid tuple %U.", text.get());
            return nullptr;
        }
        if (add_item(instance, other) < 0) return nullptr;
        return Py_NewRef(instance);
    }
    int seq = is_instance_of_global(other, n_mutable_sequence, mutable_sequence_abc, &PyList_Type);
    if (seq < 0) return nullptr;
    if (!seq) Py_RETURN_NOTIMPLEMENTED;
    int r = for_each(other, bound_for(instance, other), [&](PyObject* item) {
        if (PyTuple_Check(item)) {
            Py_ssize_t n = tuple_len(item);
            if (n < 0) return -1;
            if (n == 2) return add_item(instance, item);
        }
        Ref text = Ref::steal(PyObject_Str(item));
        if (text) text = Ref::steal(kv::shown(text.get()));
        if (!text) return -1;
        Ref name = Ref::steal(text_of_class_name(instance));
        if (!name) return -1;
        PyErr_Format(PyExc_ValueError, "The sequence contains invalid elements: cannot add %U to %U", text.get(),
                     name.get());
        return -1;
    });
    return r < 0 ? nullptr : Py_NewRef(instance);
}

kv::FuncDef fd_add_to_instance("Headers._add_to_instance", Kind::Function,
                               [](PyObject*, Arg* a) { return add_to_instance_impl(a[0].o, a[1].o); },
                               {{"instance"}, {"other"}});

// self._add_to_instance(target, other), looked up on self (on the exact
// type it is the module's own static method).
PyObject* call_add_to_instance(PyObject* self, PyObject* target, PyObject* other) {
    if (Py_IS_TYPE(self, &HeadersType)) {
        PyObject* r = add_to_instance_impl(target, other);
        return r ? r : kv::fail(fd_add_to_instance.site);
    }
    Ref fn = Ref::steal(PyObject_GetAttr(self, n_add_to_instance));
    if (!fn) return nullptr;
    return kv::call(fn.get(), target, other);
}

PyObject* add_impl_op(PyObject* self, PyObject* other) {
    // Two exact collections of plain pairs: the copy and the added entries
    // are built in one pass, as clone and _add_to_instance would build them.
    PyObject* mine = as_headers(self)->values;
    if (Py_IS_TYPE(self, &HeadersType) && Py_IS_TYPE(other, &HeadersType) && PyList_CheckExact(mine) &&
        PyList_CheckExact(as_headers(other)->values)) {
        if (PyObject* r = plain_copy(mine, as_headers(other)->values)) return r;
        if (PyErr_Occurred()) return nullptr;
    }
    Ref copy = Ref::steal(as_object(as_headers(self)->__pyx_vtab->clone(as_headers(self), 0)));
    if (!copy) return nullptr;
    return call_add_to_instance(self, copy.get(), other);
}

kv::FuncDef fd_dunder_add(&HeadersType, "Headers.__add__",
                          [](PyObject* self, Arg* a) { return add_impl_op(self, a[0].o); }, {{"other"}});
kv::FuncDef fd_dunder_radd(&HeadersType, "Headers.__radd__",
                           [](PyObject* self, Arg* a) { return add_impl_op(self, a[0].o); }, {{"other"}});

PyObject* headers_nb_add(PyObject* left, PyObject* right);
kv::Site nb_add_site("Headers.__add__");
kv::Site nb_radd_site("Headers.__radd__");
kv::Site nb_iadd_site("Headers.__iadd__");

bool uses_add_slot(PyObject* o) {
    return PyObject_TypeCheck(o, &HeadersType) ||
           (Py_TYPE(o)->tp_as_number && Py_TYPE(o)->tp_as_number->nb_add == headers_nb_add);
}

PyObject* headers_nb_add(PyObject* left, PyObject* right) {
    bool same = Py_TYPE(left) == Py_TYPE(right);
    if (same || uses_add_slot(left)) {
        PyObject* r = add_impl_op(left, right);
        if (!r) return kv::fail(nb_add_site);
        if (r != Py_NotImplemented) return r;
        Py_DECREF(r);
    }
    if (!same && !uses_add_slot(right)) Py_RETURN_NOTIMPLEMENTED;
    PyObject* r = add_impl_op(right, left);
    return r ? r : kv::fail(nb_radd_site);
}

// The binary add slots, tried as the host tries them for `self + other`.
PyObject* add_slots(PyObject* self, PyObject* other) {
    binaryfunc slotv = Py_TYPE(self)->tp_as_number ? Py_TYPE(self)->tp_as_number->nb_add : nullptr;
    binaryfunc slotw = nullptr;
    if (!Py_IS_TYPE(other, Py_TYPE(self)) && Py_TYPE(other)->tp_as_number) {
        slotw = Py_TYPE(other)->tp_as_number->nb_add;
        if (slotw == slotv) slotw = nullptr;
    }
    if (slotw && slotv && PyType_IsSubtype(Py_TYPE(other), Py_TYPE(self))) {
        PyObject* r = slotw(self, other);
        if (r != Py_NotImplemented) return r;
        Py_DECREF(r);
        slotw = nullptr;
    }
    for (binaryfunc slot : {slotv, slotw}) {
        if (!slot) continue;
        PyObject* r = slot(self, other);
        if (r != Py_NotImplemented) return r;
        Py_DECREF(r);
    }
    return Py_NewRef(Py_NotImplemented);
}

PyObject* headers_nb_iadd(PyObject* self, PyObject* other) {
    PyObject* r = call_add_to_instance(self, self, other);
    if (!r) return kv::fail(nb_iadd_site);
    PySequenceMethods* sq = Py_TYPE(self)->tp_as_sequence;
    if (r != Py_NotImplemented || !sq || sq->sq_inplace_concat != headers_nb_iadd) return r;
    // A Python subclass inherits this function through `__iadd__` as its
    // in-place concatenation too, which the host calls after the add slots
    // have declined and whose NotImplemented it would take as the result.
    // For such a subclass the add slots are tried here, then the operation
    // fails as for the built-in type.
    Py_DECREF(r);
    r = add_slots(self, other);
    if (!r) return kv::fail(nb_iadd_site);
    if (r != Py_NotImplemented) return r;
    Py_DECREF(r);
    PyErr_Format(PyExc_TypeError, "unsupported operand type(s) for +=: '%.100s' and '%.100s'",
                 Py_TYPE(self)->tp_name, Py_TYPE(other)->tp_name);
    return kv::fail(nb_iadd_site);
}

PyGetSetDef headers_getset[] = {
    {"values", [](PyObject* self, void*) { return Py_NewRef(as_headers(self)->values); }, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyNumberMethods headers_as_number = [] {
    PyNumberMethods n = {};
    n.nb_add = headers_nb_add;
    n.nb_inplace_add = headers_nb_iadd;
    return n;
}();

PySequenceMethods headers_as_sequence = [] {
    PySequenceMethods s = {};
    s.sq_contains = headers_sq_contains;
    return s;
}();

PyMappingMethods headers_as_mapping = {nullptr, headers_getitem, headers_ass_subscript};

PyTypeObject HeadersType = [] {
    PyTypeObject t = kv::type_template("kelvarn.headers.Headers", sizeof(HeadersObject));
    t.tp_dealloc = headers_dealloc;
    t.tp_repr = headers_repr;
    t.tp_as_number = &headers_as_number;
    t.tp_as_sequence = &headers_as_sequence;
    t.tp_as_mapping = &headers_as_mapping;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = headers_traverse;
    t.tp_clear = headers_clear;
    t.tp_iter = headers_iter;
    t.tp_getset = headers_getset;
    t.tp_init = kv::init_slot<headers_init_def>;
    t.tp_new = headers_new;
    t.tp_vectorcall = kv::construct<headers_init_def>;
    return t;
}();

kv::PickleDef headers_pickle("Headers", &HeadersType, {{"values", FieldKind::List, offsetof(HeadersObject, values)}},
                             0x89445ea, 0x048b0cb, 0xf09cc7e, "(values)");

// ===========================================================================
// Module

int exec_module(PyObject*) {
    if (kv::add_type(&HeaderType, "Header") < 0) return -1;
    if (kv::add_pickling(header_pickle) < 0) return -1;

    headers_table.keys = t_keys;
    headers_table.clone = t_clone;
    headers_table.get = t_get;
    headers_table.get_tuples = t_get_tuples;
    headers_table.add = t_add;
    headers_table.set = t_set;
    headers_table.get_single = t_get_single;
    headers_table.get_first = t_get_first;
    headers_table.remove = t_remove;
    headers_table.merge = t_merge;
    headers_table.contains = t_contains;
    if (PyType_Ready(&HeadersType) < 0) return -1;
    if (kv::set_vtable(&HeadersType, &headers_table) < 0) return -1;
    if (kv::bind("Headers", reinterpret_cast<PyObject*>(&HeadersType)) < 0) return -1;
    if (kv::add_pickling(headers_pickle) < 0) return -1;
    if (kv::ready_scope(header_iter_scope) < 0 || kv::ready_scope(items_scope) < 0 ||
        kv::ready_scope(iter_scope) < 0)
        return -1;

    if (kv::import_from("collections.abc", "Mapping") < 0) return -1;
    if (kv::import_from("collections.abc", "MutableSequence") < 0) return -1;
    mapping_abc = PyDict_GetItemWithError(kv::module_dict, n_mapping);
    mutable_sequence_abc = PyDict_GetItemWithError(kv::module_dict, n_mutable_sequence);
    Py_XINCREF(mapping_abc);
    Py_XINCREF(mutable_sequence_abc);

    if (kv::add_methods(&HeadersType) < 0) return -1;
    Ref annotations = Ref::steal(Py_BuildValue("{s:s}", "values", "dict[bytes, bytes]"));
    if (!annotations || PyObject_SetAttrString(fd_update.func, "__annotations__", annotations.get()) < 0) return -1;
    PyObject* fn = kv::make_function(fd_add_to_instance);
    if (!fn) return -1;
    Ref wrapped = Ref::steal(kv::call(builtin_staticmethod, fn));
    if (!wrapped || PyDict_SetItem(HeadersType.tp_dict, n_add_to_instance, wrapped.get()) < 0) return -1;
    PyType_Modified(&HeadersType);

    if (kv::add_reconstructor(header_pickle) < 0) return -1;
    if (kv::add_reconstructor(headers_pickle) < 0) return -1;
    return 0;
}

}  // namespace

const kv::ModuleInfo kv::module_info = {"headers", "kelvarn.headers", "kelvarn/headers.cpp", exec_module};

KV_MODULE_INIT(headers)
