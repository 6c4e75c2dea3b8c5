// kelvarn.cookies
#include "frame.hpp"

namespace {

int exec_module(PyObject*) { return 0; }

}  // namespace

const kv::ModuleInfo kv::module_info = {"cookies", "kelvarn.cookies", "kelvarn/cookies.cpp", exec_module};

KV_MODULE_INIT(cookies)
