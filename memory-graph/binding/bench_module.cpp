// _recall_mesh_bench: a benchmark-only module, never installed. Its class NoopGraph has the
// methods add_association, record_feedback, spread_activation, get_concepts_for_insight
// and get_cluster_density with exactly the parameters of the real class; each parses its
// arguments, takes the same borrow and converts every argument through the same code as
// the real method, then returns None. Timing it against the real class separates the cost
// of the call path from the cost of the work.
#include <Python.h>

#include <array>

#include "borrow.h"
#include "errors.h"
#include "method_entry.h"
#include "py_ref.h"
#include "signatures.h"

namespace recall_mesh::binding {
namespace {

struct NoopObject {
  PyObject_HEAD BorrowState borrow;

  static constexpr const char* kClassName = "NoopGraph";
  static NoopObject& from(PyObject* self) noexcept { return *reinterpret_cast<NoopObject*>(self); }
};

template <class Sig>
PyObject* do_nothing(NoopObject& /*unused*/, typename Sig::Args& /*unused*/) {
  return Py_NewRef(Py_None);
}

template <class Sig>
constexpr PyCFunction noop() {
  return as_table_entry(&fastcall_method<Sig, NoopObject, do_nothing<Sig>>);
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef g_methods[] = {
    {"add_association", noop<sig::AddAssociation>(), kFastcall,
     "add_association($self, concept_a, concept_b, project_id, initial_weight, current_time=0, "
     "salience=0.5, is_landmark=False)\n--\n\n"},
    {"record_feedback", noop<sig::RecordFeedback>(), kFastcall,
     "record_feedback($self, concept_a, concept_b, was_useful, current_time)\n--\n\n"},
    {"spread_activation", noop<sig::SpreadActivation>(), kFastcall,
     "spread_activation($self, starting_nodes, current_project, current_time)\n--\n\n"},
    {"get_concepts_for_insight", noop<sig::GetConceptsForInsight>(), kFastcall,
     "get_concepts_for_insight($self, insight_concepts, project_id)\n--\n\n"},
    {"get_cluster_density", noop<sig::GetClusterDensity>(), kFastcall,
     "get_cluster_density($self, nodes, project_id)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* noop_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  std::array<PyObject*, sig::Constructor::kCount> in;
  if (!parse_tuple_dict(sig::Constructor::kParams, NoopObject::kClassName, args, kwargs,
                        in.data())) {
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

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&noop_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&noop_dealloc)},
    {Py_tp_methods, g_methods},
    {Py_tp_doc, const_cast<char*>("NoopGraph()\n--\n\n")},
    {0, nullptr},
};

PyType_Spec g_type_shape = {
    "_recall_mesh_bench.NoopGraph",
    static_cast<int>(sizeof(NoopObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    g_slots,
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_recall_mesh_bench",
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
  if (!init_internal_fault() || !sig::intern_all_parameter_names()) return nullptr;
  PyRef module = PyRef::steal(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  PyRef type = PyRef::steal(PyType_FromSpec(&g_type_shape));
  if (!type || PyModule_AddObjectRef(module.get(), "NoopGraph", type.get()) != 0) return nullptr;
  return module.release();
}
