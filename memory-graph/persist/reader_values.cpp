#include "reader_values.h"

#include <array>
#include <charconv>
#include <limits>
#include <system_error>
#include <tuple>
#include <type_traits>
#include <utility>

#include "document_format.h"
#include "float_text.h"
#include "json_string.h"

namespace recall_mesh::persist {

std::string describe(const Scalar& v) {
  char num[kMaxFloatText];
  switch (v.kind) {
    case Scalar::Kind::kNull:
      return "null";
    case Scalar::Kind::kBool:
      return v.b ? "boolean `true`" : "boolean `false`";
    case Scalar::Kind::kUnsigned:
      return "integer `" + std::string(num, std::to_chars(num, num + sizeof num, v.u).ptr) + "`";
    case Scalar::Kind::kSigned:
      return "integer `" + std::string(num, std::to_chars(num, num + sizeof num, v.i).ptr) + "`";
    case Scalar::Kind::kFloat:
      return "floating point `" + std::string(num, write_f64(num, v.d)) + "`";
    case Scalar::Kind::kString: {
      std::string out = "string ";
      append_json_string(out, v.s);
      return out;
    }
  }
  return {};
}

Fault invalid_type(std::string_view found, std::string_view expected) {
  std::string text = "invalid type: ";
  text.append(found).append(", expected ").append(expected);
  return text;
}

namespace {
template <class Int>
Fault invalid_integer(Int n, std::string_view expected) {
  char num[24];
  std::string text = "invalid value: integer `";
  text.append(num, std::to_chars(num, num + sizeof num, n).ptr);
  text.append("`, expected ").append(expected);
  return text;
}
}  // namespace

Fault invalid_value(std::uint64_t n, std::string_view expected) {
  return invalid_integer(n, expected);
}
Fault invalid_value(std::int64_t n, std::string_view expected) {
  return invalid_integer(n, expected);
}

bool classify_number(std::string_view text, Scalar& out) {
  const char* const first = text.data();
  const char* const last = first + text.size();
  const bool has_point_or_exponent = text.find_first_of(".eE") != std::string_view::npos;
  if (!has_point_or_exponent) {
    if (text[0] != '-') {
      if (std::from_chars(first, last, out.u).ec == std::errc{}) {
        out.kind = Scalar::Kind::kUnsigned;
        return true;
      }
    } else if (text != "-0" && std::from_chars(first, last, out.i).ec == std::errc{}) {
      out.kind = Scalar::Kind::kSigned;
      return true;
    }
  }
  out.kind = Scalar::Kind::kFloat;
  const std::from_chars_result r = std::from_chars(first, last, out.d);
  if (r.ec != std::errc::result_out_of_range) return true;

  // Out of range either way: too small rounds to zero, too large has no value. The decimal
  // exponent of the first significant digit tells which.
  const char* p = first + (text[0] == '-' ? 1 : 0);
  std::int64_t k = 0;
  if (*p != '0') {
    while (p < last && *p >= '0' && *p <= '9') ++p, ++k;
    k -= 1;
  } else {
    p += 2;  // "0."
    k = -1;
    while (p < last && *p == '0') ++p, --k;
  }
  const char* e = first;
  while (e < last && *e != 'e' && *e != 'E') ++e;
  std::int64_t exponent = 0;
  if (e < last) {
    ++e;
    const bool negative = *e == '-';
    if (*e == '-' || *e == '+') ++e;
    for (; e < last && exponent < 1'000'000'000; ++e) exponent = exponent * 10 + (*e - '0');
    if (negative) exponent = -exponent;
  }
  if (k + exponent > 0) return false;
  out.d = text[0] == '-' ? -0.0 : 0.0;
  return true;
}

namespace {

// Any number, rounded to the nearest float once. null is read as NaN: the writer puts
// null for a value with no JSON form, and every saved graph must load again.
Fault take_f32(const Scalar& v, float& out) {
  switch (v.kind) {
    case Scalar::Kind::kNull:
      out = std::numeric_limits<float>::quiet_NaN();
      return {};
    case Scalar::Kind::kUnsigned:
      out = static_cast<float>(v.u);
      return {};
    case Scalar::Kind::kSigned:
      out = static_cast<float>(v.i);
      return {};
    case Scalar::Kind::kFloat:
      out = store::narrow_to_f32(v.d);
      return {};
    default:
      return invalid_type(describe(v), "f32");
  }
}

}  // namespace

bool number_to_f32(std::string_view text, float& out) {
  Scalar v;
  if (!classify_number(text, v)) return false;
  return !take_f32(v, out);
}

namespace {

template <class Int>
Fault take_unsigned(const Scalar& v, std::string_view type, Int& out) {
  switch (v.kind) {
    case Scalar::Kind::kUnsigned:
      if (v.u > std::numeric_limits<Int>::max()) return invalid_value(v.u, type);
      out = static_cast<Int>(v.u);
      return {};
    case Scalar::Kind::kSigned:
      return invalid_value(v.i, type);
    default:
      return invalid_type(describe(v), type);
  }
}

template <std::size_t I>
Fault set_one(const Scalar& v, store::EdgeValues& edge, std::string& name) {
  constexpr auto& field = std::get<I>(kEdgeFields);
  constexpr FieldKind kind = std::remove_cvref_t<decltype(field)>::kind;
  if constexpr (kind == FieldKind::kF32) {
    return take_f32(v, edge.*field.value);
  } else if constexpr (kind == FieldKind::kBool) {
    if (v.kind != Scalar::Kind::kBool) return invalid_type(describe(v), expected_text(kind));
    edge.*field.value = v.b;
    return {};
  } else if constexpr (kind == FieldKind::kName) {
    if (v.kind != Scalar::Kind::kString) return invalid_type(describe(v), expected_text(kind));
    name.assign(v.s);
    return {};
  } else {
    return take_unsigned(v, expected_text(kind), edge.*field.value);
  }
}

using Setter = Fault (*)(const Scalar&, store::EdgeValues&, std::string&);

constexpr auto kSetters = []<std::size_t... I>(std::index_sequence<I...>) {
  return std::array<Setter, kFieldCount>{&set_one<I>...};
}
(std::make_index_sequence<kFieldCount>{});

}  // namespace

void reset_fields(store::EdgeValues& edge) noexcept {
  for_each_field([&](const auto& field) { edge.*field.value = field.fallback; });
}

Fault set_field(std::size_t field, const Scalar& v, store::EdgeValues& edge, std::string& name) {
  return kSetters[field](v, edge, name);
}

void set_names(store::EdgeValues& edge, std::string_view name) noexcept {
  for_each_field([&](const auto& field) {
    if constexpr (std::remove_cvref_t<decltype(field)>::kind == FieldKind::kName) {
      edge.*field.value = name;
    }
  });
}

Fault field_wants_scalar(std::size_t field, std::string_view found) {
  return invalid_type(found, expected_text(kFieldKinds[field]));
}

}  // namespace recall_mesh::persist
