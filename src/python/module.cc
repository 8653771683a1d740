// The extension module brindlore_core: its definition and the one execution
// step that puts every class and function on it, in a fixed order that is
// also the order of __all__.
#include "python/binding.h"
#include "python/registry.h"

namespace brindlore::py {
namespace {

// Appends `name` to the module's __all__ (creating the list on first use),
// then sets the attribute.
bool add_name(PyObject* module, const char* name, PyObject* object) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get())) {
    raise_not_instance(all.get(), "list");
    return false;
  }
  Ref text = Ref::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
  return PyObject_SetAttrString(module, name, object) == 0;
}

// The module keeps state for the whole process (its classes, the
// collections.abc class it tests batches against, the worker pool), which
// would outlive a sub-interpreter and then be used by another one. Only the
// main interpreter, whose id is always 0, may load it.
bool refuse_sub_interpreter() {
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return true;
  if (id == 0) return false;
  PyErr_SetString(PyExc_ImportError,
                  "brindlore_core can only be imported in the main interpreter, "
                  "not in a sub-interpreter");
  return true;
}

int add_members(PyObject* module) {
  if (!module) return -1;
  if (!PyModule_Check(module)) {
    raise_not_instance(module, "module");
    return -1;
  }
  if (refuse_sub_interpreter()) return -1;
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  for (const Registration& row : registrations()) {
    Ref object;
    if (row.type) {
      object = Ref::borrow(reinterpret_cast<PyObject*>(row.type()));
    } else {
      object = Ref::steal(PyCFunction_NewEx(row.function(), module, module_name.get()));
    }
    if (!object || !add_name(module, row.name, object.get())) return -1;
  }
  return 0;
}

int exec_module(PyObject* module) {
  return boundary<int>(-1, [&] { return add_members(module); });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "brindlore_core",
    "Native Brindlore Core Python Module",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace brindlore::py

PyMODINIT_FUNC PyInit_brindlore_core(void) { return PyModuleDef_Init(&brindlore::py::definition); }
