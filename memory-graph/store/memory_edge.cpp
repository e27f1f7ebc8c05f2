#include "memory_edge.h"

#include <cfloat>
#include <cmath>

namespace recall_mesh::store {

float narrow_to_f32(double value) noexcept {
  if (std::isfinite(value) && std::fabs(value) > static_cast<double>(FLT_MAX)) {
    // Round to nearest: up to half a unit past FLT_MAX still rounds down to it.
    const double halfway = 0x1.ffffffp127;
    float magnitude = std::fabs(value) >= halfway ? INFINITY : FLT_MAX;
    return value < 0 ? -magnitude : magnitude;
  }
  return static_cast<float>(value);
}

}  // namespace recall_mesh::store
