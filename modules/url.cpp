// kelvarn.url
#include "frame.hpp"

namespace {

int exec_module(PyObject*) { return 0; }

}  // namespace

const kv::ModuleInfo kv::module_info = {"url", "kelvarn.url", "kelvarn/url.cpp", exec_module};

KV_MODULE_INIT(url)
