// Guards for fast paths that stand in for Python-level functions.
//
// A native fast path may replace a call of some Python function only while
// that function, and everything it reads, is what it was when the module
// loaded: the module global that names it, the function's code and defaults,
// the globals and built-ins its code reads, the functions and classes those
// name. A Guard records these conditions once, in the exec step, and keeps a
// flag that the interpreter's dict and function watchers clear as soon as a
// watched entry or function is about to change. The fast path tests the flag
// only:
//
//     if (quote_guard.holds() && PyUnicode_CheckExact(s)) return native(s);
//     ... general path ...
//
// After a change the next holds() compares every condition with the objects
// recorded at load time, so restoring the originals (as a test fixture does)
// brings the fast path back; anything else keeps the general path.
//
// Watcher ids are per interpreter and few (8 dict watchers, 8 function
// watchers, some reserved by CPython): a module registers at most one of
// each, on first use. When none is free, or a condition cannot be watched,
// the guard never holds and the general path runs.
#pragma once

#include "frame.hpp"

#include <cstddef>
#include <string_view>

namespace kv {

class Guard {
public:
    // The fast-path test: one load while nothing has changed.
    bool holds() { return ok_ || (dirty_ && recheck()); }

    // Building the conditions (exec step). Each returns false when the
    // condition cannot be watched; the guard then stays off. Errors are
    // never raised: a failure to watch only costs the fast path.

    // A watched dict must hold keys of one exact type only (str; bytes for a
    // table of items): a key of any other type, there when the condition is
    // made, turns the guard off for good; added later, it turns the guard off
    // until it is removed again. Lookups in such a dict could run its
    // __eq__, which the standard code would not have run.

    // Forget every condition; the guard is off until arm().
    void reset();
    // dict[key] stays the object it is now, or stays absent. `key` is an
    // exact str.
    void key(PyObject* dict, PyObject* key);
    // Every item of `dict` stays as it is now, and no item is added.
    void items(PyObject* dict);
    // The Python function's code, defaults and keyword defaults stay.
    void function(PyObject* func);
    // `obj` and everything its code can reach by name: for a Python
    // function, the function itself, every name its code (nested code
    // included) uses, as looked up in its globals and its built-ins, and,
    // recursively, the functions, classes (their dictionaries along the MRO),
    // modules (the same names in their namespaces), dicts (item by item) and
    // wrapped callables (`__wrapped__`, bound methods) found under those
    // names. Lists and sets have no watcher: their contents are not guarded
    // (the standard functions keep only constant tables in them). A global
    // that the standard code fills in on first use (a table built on demand)
    // is watched as it is: have it built first. A function with a closure
    // cannot be watched (cells change without notice).
    void reachable(PyObject* obj);
    // Turn the guard on if every condition could be watched.
    void arm();

    bool armed() const { return ok_; }

private:
    bool recheck();
    bool ok_ = false;      // every condition holds
    bool dirty_ = false;   // a watched object changed since the last check
    bool failed_ = false;  // some condition could not be watched
    friend struct GuardAccess;
};

}  // namespace kv

namespace kv {

// Whether `func` is the Python function `name` as the module `module`
// defines it in its own source: its globals are that module's namespace and
// its code carries that name and the module's file. Something bound there
// before this module loaded (a patch) is not taken for the original.
bool defined_in(PyObject* func, const char* module, const char* name);

// A stand-in is armed only once it gives what the function it replaces
// gives on a fixed table of inputs, so that a change made to the standard
// code before the module loaded (and taken into the recorded conditions)
// still turns the fast path off. Each way is called with every input as a
// bytes object and returns a new reference, or null with an exception set.
using ProbeCall = PyObject* (*)(PyObject* input);

struct Probe {
    const std::string_view* inputs;
    size_t count;
    ProbeCall standard;  // the general path: the standard function's own call
    ProbeCall stand_in;  // the fast path, called whether or not its guard holds

    // Whether, for every input, both return results of the same type that
    // compare equal, or both raise exceptions of the same type with equal
    // arguments. Never raises: an error of the comparison itself counts as a
    // difference.
    bool agrees() const;
};

}  // namespace kv
