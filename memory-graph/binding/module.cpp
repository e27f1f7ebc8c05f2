// Placeholder entry point until the binding lands.
#include <Python.h>

static PyModuleDef recall_mesh_module = {
    PyModuleDef_HEAD_INIT, "recall_mesh", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_recall_mesh(void) {
  return PyModule_Create(&recall_mesh_module);
}
