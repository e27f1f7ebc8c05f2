// _recall_mesh_bench: a benchmark-only module, never installed. Its class NoopGraph has five
// of the real class's methods, bound from the same descriptions (methods.h): each parses
// its arguments, takes the same borrow and converts every argument through the same code
// as the real method, then returns None. Timing it against the real class separates the cost
// of the call path from the cost of the work.
#include <Python.h>

#include <array>

#include "borrow.h"
#include "errors.h"
#include "method_entry.h"
#include "methods.h"
#include "py_ref.h"

namespace recall_mesh::binding {
namespace {

struct NoopObject {
  PyObject_HEAD BorrowState borrow;

  static constexpr const char* kClassName = "NoopGraph";
  static NoopObject& from(PyObject* self) noexcept { return *reinterpret_cast<NoopObject*>(self); }
};

// Takes the converted arguments and drops them.
struct DoNothing {
  template <class... Args>
  PyObject* operator()(NoopObject& /*unused*/, Args&... /*unused*/) const noexcept {
    return Py_NewRef(Py_None);
  }
};

using NoopMethods =
    MethodTable<NoopObject, Def<kAddAssociation, DoNothing{}>, Def<kRecordFeedback, DoNothing{}>,
                Def<kSpreadActivation, DoNothing{}>, Def<kGetConceptsForInsight, DoNothing{}>,
                Def<kGetClusterDensity, DoNothing{}>>;

PyObject* noop_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  std::array<PyObject*, kNew.kCount> in;
  if (!parse_tuple_dict(parameters<kNew>(), NoopObject::kClassName, args, kwargs, in.data())) {
    return nullptr;
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);  // zeroed: the borrow state starts free
  if (self == nullptr) return nullptr;
  new (&NoopObject::from(self).borrow) BorrowState();
  return self;
}

void noop_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);
}

constexpr const char* kModuleName = "_recall_mesh_bench";
constexpr const char* kDot = ".";

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&noop_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&noop_dealloc)},
    {Py_tp_methods, NoopMethods::entries},
    {Py_tp_doc, const_cast<char*>(kJoined<NoopObject::kClassName, kClassDocTail>.data())},
    {0, nullptr},
};

PyType_Spec g_type_shape = {
    kJoined<kModuleName, kDot, NoopObject::kClassName>.data(),
    static_cast<int>(sizeof(NoopObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    g_slots,
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    "Benchmark-only twin of recall_mesh's call path.",
    -1,  // keeps per-process state (the interned names): one interpreter only
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace recall_mesh::binding

PyMODINIT_FUNC PyInit__recall_mesh_bench(void) {
  using namespace recall_mesh::binding;
  if (!init_internal_fault() || !NoopMethods::intern_names()) return nullptr;
  PyRef module = PyRef::steal(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  PyRef type = PyRef::steal(PyType_FromSpec(&g_type_shape));
  if (!type || PyModule_AddObjectRef(module.get(), NoopObject::kClassName, type.get()) != 0)
    return nullptr;
  return module.release();
}
