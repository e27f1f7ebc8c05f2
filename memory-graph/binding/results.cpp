#include "results.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "errors.h"
#include "py_ref.h"

namespace recall_mesh::binding {
namespace {

// Puts `value` under `key` in `dict` (all borrowed); PyDict_SetItem steals nothing.
bool set_item(PyObject* dict, PyObject* key, const PyRef& value) noexcept {
  return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

// Pauses the cyclic collector while a large result is built. The result holds only str,
// float, list and dict objects and cannot form a cycle, so collections triggered by its
// many new containers would only walk the host's objects for nothing.
class GcPause {
 public:
  GcPause() noexcept : was_enabled_(PyGC_Disable() != 0) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  bool was_enabled_;
};

}  // namespace

PyObject* new_none() noexcept {
  return Py_NewRef(Py_None);
}

PyObject* new_int(std::size_t n) noexcept {
  return PyLong_FromSize_t(n);
}

PyObject* new_float(float x) noexcept {
  return PyFloat_FromDouble(static_cast<double>(x));
}

PyObject* new_str(std::string_view utf8) noexcept {
  return PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()));
}

PyObject* new_document_str(std::string& text) noexcept {
  // Converting 16 MB takes a few milliseconds. Each piece is appended to the result, which
  // grows in place (its one owner is this function), so the pieces cost one more copy of
  // the text and no more memory than one piece.
  constexpr std::size_t kPiece = std::size_t{16} << 20;
  if (text.size() <= 2 * kPiece) return new_str(text);
  PyObject* result = nullptr;  // owned; PyUnicode_Append replaces it, or clears it on failure
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = std::min(text.size(), at + kPiece);
    // Cut before a continuation byte, so that every piece holds whole characters.
    while (end < text.size() && end > at + 1 &&
           (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
      --end;
    }
    PyObject* piece = new_str(std::string_view(text).substr(at, end - at));
    if (piece == nullptr) {
      Py_XDECREF(result);
      return nullptr;
    }
    if (result == nullptr) {
      result = piece;
    } else {
      PyUnicode_Append(&result, piece);  // does not steal `piece`
      Py_DECREF(piece);
      if (result == nullptr) return nullptr;
    }
    if (PyErr_CheckSignals() != 0) {
      Py_DECREF(result);
      return nullptr;
    }
    at = end;
  }
  std::string().swap(text);
  return result;
}

PyObject* new_str_list(const std::vector<std::string>& items) noexcept {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = new_str(items[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

PyObject* new_cluster_lists(const store::AdjacencyMap& adj,
                            const query::ClusterIds& clusters) noexcept {
  GcPause pause;
  PyRef outer = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(clusters.ends.size())));
  if (!outer) return nullptr;
  // The names of a cluster are scattered over the store: ask for each a few ahead.
  constexpr std::size_t kNameAhead = 8;
  const std::vector<store::NameId>& ids = clusters.ids;
  std::size_t begin = 0;
  for (std::size_t k = 0; k < clusters.ends.size(); ++k) {
    const std::size_t end = clusters.ends[k];
    if (end < begin || end > ids.size()) {
      set_internal_fault("cluster result runs past its names");
      return nullptr;
    }
    PyObject* inner = PyList_New(static_cast<Py_ssize_t>(end - begin));
    if (inner == nullptr) return nullptr;
    PyList_SetItem(outer.get(), static_cast<Py_ssize_t>(k), inner);  // steals inner
    for (std::size_t i = begin; i < end; ++i) {
      if (i + kNameAhead < ids.size()) adj.names().prefetch(ids[i + kNameAhead]);
      PyObject* item = new_str(adj.name(ids[i]));
      if (item == nullptr) return nullptr;
      PyList_SetItem(inner, static_cast<Py_ssize_t>(i - begin), item);  // steals item
    }
    begin = end;
  }
  return outer.release();
}

namespace {

// A new dict of name_at(i) -> value_at(i) for i from 0 to count, in that order. The names
// are scattered over the heap, so prefetch_name(i) is called a few places before name_at(i).
template <class NameAt, class ValueAt, class PrefetchName>
PyObject* new_float_dict(std::size_t count, NameAt name_at, ValueAt value_at,
                         PrefetchName prefetch_name) noexcept {
  constexpr std::size_t kNameAhead = 8;
  // A dict of str keys stores no hashes: every probe that meets another key, and every
  // resize, reads that key's hash from the key object itself. Once a table outgrows the
  // caches those reads miss. A dict that has held a key of another type stores each
  // key's hash beside it, so one placeholder key, put in and taken out before the first
  // name, spares a large result those misses (spreads from hubs measured 10 to 15%
  // faster). The result is the same dict to every caller.
  constexpr std::size_t kHashesBesideKeys = 4096;
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  if (count >= kHashesBesideKeys && (PyDict_SetItem(dict.get(), Py_None, Py_None) != 0 ||
                                     PyDict_DelItem(dict.get(), Py_None) != 0)) {
    return nullptr;
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (i + kNameAhead < count) prefetch_name(i + kNameAhead);
    PyRef key = PyRef::steal(new_str(name_at(i)));
    if (!key || !set_item(dict.get(), key.get(), PyRef::steal(new_float(value_at(i))))) {
      return nullptr;
    }
  }
  return dict.release();
}

}  // namespace

PyObject* new_energy_dict(const query::SpreadPlan& plan) noexcept {
  return new_float_dict(
      plan.size(), [&](std::size_t i) { return plan.name(i); },
      [&](std::size_t i) { return plan.energy(i); }, [&](std::size_t i) { plan.prefetch_name(i); });
}

PyObject* new_insight_dict(const store::AdjacencyMap& adj,
                           const std::vector<query::InsightNeighbour>& neighbours) noexcept {
  return new_float_dict(
      neighbours.size(), [&](std::size_t i) { return adj.name(neighbours[i].id); },
      [&](std::size_t i) { return neighbours[i].weight; },
      [&](std::size_t i) { adj.names().prefetch(neighbours[i].id); });
}

PyObject* new_graph_dict(const query::GraphData& data) noexcept {
  // One str per distinct name, reused for every key naming it. They are all made first,
  // so the pass over the cells can ask for a key a few cells ahead: inserting a key reads
  // its hash from the str, and the strs of neighbours are scattered over the heap.
  GcPause pause;
  std::vector<PyRef> strs;
  try {
    strs.resize(data.names.size());
  } catch (...) {
    return PyErr_NoMemory();
  }
  for (std::size_t i = 0; i < data.names.size(); ++i) {
    strs[i] = PyRef::steal(new_str(data.names[i]));
    if (!strs[i]) return nullptr;
  }
  auto name = [&](std::uint32_t index) -> PyObject* {  // borrowed from strs
    if (index >= strs.size()) {
      set_internal_fault("graph export names a position past its name table");
      return nullptr;
    }
    return strs[index].get();
  };
  constexpr std::size_t kKeyAhead = 8;
  const std::size_t cell_count = data.cells.size();

  PyRef outer = PyRef::steal(PyDict_New());
  if (!outer) return nullptr;
  for (const query::GraphData::Row& row : data.rows) {
    if (row.first_cell > cell_count || row.cell_count > cell_count - row.first_cell) {
      set_internal_fault("graph export row runs past its cells");
      return nullptr;
    }
    PyObject* concept_key = name(row.concept_name);
    if (concept_key == nullptr) return nullptr;
    PyRef inner = PyRef::steal(PyDict_New());
    if (!inner) return nullptr;
    const std::size_t end = std::size_t{row.first_cell} + row.cell_count;
    for (std::size_t c = row.first_cell; c < end; ++c) {
      // Two steps: the table slot of a key further on, then the str of a nearer one.
      if (c + 2 * kKeyAhead < cell_count) {
        const std::uint32_t ahead = data.cells[c + 2 * kKeyAhead].neighbour;
        if (ahead < strs.size()) __builtin_prefetch(&strs[ahead]);
      }
      if (c + kKeyAhead < cell_count) {
        const std::uint32_t ahead = data.cells[c + kKeyAhead].neighbour;
        if (ahead < strs.size()) __builtin_prefetch(strs[ahead].get());
      }
      const query::GraphData::Cell& cell = data.cells[c];
      PyObject* neighbour_key = name(cell.neighbour);
      if (neighbour_key == nullptr ||
          !set_item(inner.get(), neighbour_key, PyRef::steal(new_float(cell.weight)))) {
        return nullptr;
      }
    }
    if (!set_item(outer.get(), concept_key, inner)) return nullptr;
  }
  return outer.release();
}

}  // namespace recall_mesh::binding
