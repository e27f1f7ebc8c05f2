// The module's entry point. The module object is made once per process and handed out
// again on every later initialisation (a re-import after removing it from sys.modules
// yields the same module and the same class). The module, the class and every cache of
// the binding are per process, so a second interpreter is refused.
#include <Python.h>

#include <cstdint>

#include "errors.h"
#include "graph_type.h"
#include "persist/interrupt.h"
#include "py_ref.h"

namespace recall_mesh::binding {
namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "recall_mesh",
    "",  // empty doc
    0,   // no per-module state
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Strong reference kept for the life of the process once initialisation succeeded.
PyObject* g_module = nullptr;
std::int64_t g_interpreter_id = -1;

// Appends `name` to the module's __all__, creating the list when absent. False with an
// exception set on failure.
bool add_to_all(PyObject* module, const char* name) noexcept {
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  if (dict == nullptr) return false;
  PyRef all = PyRef::borrow(PyDict_GetItemString(dict, "__all__"));  // lookup was borrowed
  if (!all) {
    all = PyRef::steal(PyList_New(0));
    if (!all || PyDict_SetItemString(dict, "__all__", all.get()) != 0) return false;
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  return text && PyList_Append(all.get(), text.get()) == 0;
}

// Asked by persist each time a signal interrupts a file operation: runs the interpreter's
// signal handlers and stops the operation when one raised (KeyboardInterrupt for Ctrl-C),
// leaving that exception set for the method to return with. Holds the interpreter's lock,
// as every method does.
bool host_wants_stop() noexcept {
  return PyErr_CheckSignals() != 0;
}

// A new reference to a freshly built module, or null with an exception set.
PyObject* create_module() noexcept {
  if (!init_internal_fault()) return nullptr;
  persist::set_interrupt_check(&host_wants_stop);
  PyRef module = PyRef::steal(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  PyObject* type = graph_type();  // borrowed
  if (type == nullptr || !add_to_all(module.get(), GraphObject::kClassName)) return nullptr;
  if (PyModule_AddObjectRef(module.get(), GraphObject::kClassName, type) != 0) return nullptr;
  return module.release();
}

}  // namespace
}  // namespace recall_mesh::binding

PyMODINIT_FUNC PyInit_recall_mesh(void) {
  using namespace recall_mesh::binding;
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  if (g_interpreter_id == -1) g_interpreter_id = id;
  if (id != g_interpreter_id) {
    PyErr_SetString(PyExc_ImportError,
                    "recall_mesh does not support sub-interpreters: it can only be imported "
                    "in the interpreter that first imported it");
    return nullptr;
  }
  if (g_module == nullptr) {
    g_module = create_module();
    if (g_module == nullptr) return nullptr;  // not cached: a later import tries again
  }
  return Py_NewRef(g_module);
}
