// The parameter lists and argument conversions of every method, in one place, shared by
// the module's class and by the benchmark module's no-op class, so that both parse and
// convert through exactly the same code.
//
// Each signature gives the parameter list (`kParams`, with `kCount` entries), the access
// the method takes (`kAccess`), the plain arguments (`Args`) and `convert`, which fills
// `Args` from the parsed arguments in parameter order, stopping at the first failure (false
// with an exception set). Views in `Args` point into the caller's str objects and are valid
// for the call. Binding layer only.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "arg_parser.h"
#include "borrow.h"
#include "convert.h"

namespace recall_mesh::binding::sig {

struct Constructor {
  static constexpr std::size_t kCount = 0;
  static const ParamList kParams;
};

struct PathArgs {  // save_to_json, load_from_json
  struct Args {
    std::string_view path;
  };
  static bool convert(PyObject* const* in, Args& out);
};
struct SaveToJson : PathArgs {
  static constexpr std::size_t kCount = 1;
  static constexpr Access kAccess = Access::kShared;
  static const ParamList kParams;
};
struct LoadFromJson : PathArgs {
  static constexpr std::size_t kCount = 1;
  static constexpr Access kAccess = Access::kNone;
  static const ParamList kParams;
};

struct GetGraphDataForProject {
  static constexpr std::size_t kCount = 1;
  static constexpr Access kAccess = Access::kShared;
  static const ParamList kParams;
  struct Args {
    std::string_view project_id;
  };
  static bool convert(PyObject* const* in, Args& out);
};

struct AddAssociation {
  static constexpr std::size_t kCount = 7;
  static constexpr Access kAccess = Access::kExclusive;
  static const ParamList kParams;
  struct Args {
    std::string_view concept_a;
    std::string_view concept_b;
    std::string_view project_id;
    float initial_weight = 0.0f;
    std::uint64_t current_time = 0;
    float salience = 0.5f;
    bool is_landmark = false;
  };
  static bool convert(PyObject* const* in, Args& out);
};

struct DecayAndPrune {
  static constexpr std::size_t kCount = 1;
  static constexpr Access kAccess = Access::kExclusive;
  static const ParamList kParams;
  struct Args {
    float decay_rate = 0.0f;
  };
  static bool convert(PyObject* const* in, Args& out);
};

struct SpreadActivation {
  static constexpr std::size_t kCount = 3;
  static constexpr Access kAccess = Access::kExclusive;
  static const ParamList kParams;
  struct Args {
    StrList starting_nodes;
    std::string_view current_project;
    std::uint64_t current_time = 0;
  };
  static bool convert(PyObject* const* in, Args& out);
};

struct DetectClusters {
  static constexpr std::size_t kCount = 2;
  static constexpr Access kAccess = Access::kShared;
  static const ParamList kParams;
  struct Args {
    std::string_view project_id;
    float min_weight = 0.0f;
  };
  static bool convert(PyObject* const* in, Args& out);
};

struct GetClusterForNode {
  static constexpr std::size_t kCount = 2;
  static constexpr Access kAccess = Access::kShared;
  static const ParamList kParams;
  struct Args {
    std::string_view node;
    std::string_view project_id;
  };
  static bool convert(PyObject* const* in, Args& out);
};

struct ClusterLabel {
  static constexpr std::size_t kCount = 1;
  static constexpr Access kAccess = Access::kShared;
  static const ParamList kParams;
  struct Args {
    StrList cluster;
  };
  static bool convert(PyObject* const* in, Args& out);
};

struct GetClusterDensity {
  static constexpr std::size_t kCount = 2;
  static constexpr Access kAccess = Access::kShared;
  static const ParamList kParams;
  struct Args {
    StrList nodes;
    std::string_view project_id;
  };
  static bool convert(PyObject* const* in, Args& out);
};

struct GetConceptsForInsight {
  static constexpr std::size_t kCount = 2;
  static constexpr Access kAccess = Access::kShared;
  static const ParamList kParams;
  struct Args {
    StrList insight_concepts;
    std::string_view project_id;
  };
  static bool convert(PyObject* const* in, Args& out);
};

struct RecordFeedback {
  static constexpr std::size_t kCount = 4;
  static constexpr Access kAccess = Access::kExclusive;
  static const ParamList kParams;
  struct Args {
    std::string_view concept_a;
    std::string_view concept_b;
    bool was_useful = false;
    std::uint64_t current_time = 0;
  };
  static bool convert(PyObject* const* in, Args& out);
};

struct UpsertEdge {
  static constexpr std::size_t kCount = 7;
  static constexpr Access kAccess = Access::kExclusive;
  static const ParamList kParams;
  struct Args {
    std::string_view a;
    std::string_view b;
    std::string_view pid;
    float weight = 0.0f;
    std::uint64_t current_time = 0;
    float salience = 0.0f;
    bool is_landmark = false;
  };
  static bool convert(PyObject* const* in, Args& out);
};

struct PromoteAndStrengthen {
  static constexpr std::size_t kCount = 2;
  static constexpr Access kAccess = Access::kExclusive;
  static const ParamList kParams;
  struct Args {
    std::string_view from;
    std::string_view to;
  };
  static bool convert(PyObject* const* in, Args& out);
};

struct StrengthenEdge {
  static constexpr std::size_t kCount = 3;
  static constexpr Access kAccess = Access::kExclusive;
  static const ParamList kParams;
  struct Args {
    std::string_view from;
    std::string_view to;
    std::uint64_t current_time = 0;
  };
  static bool convert(PyObject* const* in, Args& out);
};

/// Interns the parameter names of every list above, once per process. Returns false with
/// an exception set.
bool intern_all_parameter_names() noexcept;

}  // namespace recall_mesh::binding::sig
