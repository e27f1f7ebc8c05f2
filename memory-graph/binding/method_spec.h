// What a Python method is: its name, its parameters (name, kind, default), the access it
// takes and its doc text, written once as a constant (methods.h holds them all). Everything
// else about a method is derived here and in method_entry.h: the parser's parameter list,
// the text signature and doc string, the plain argument values and their conversion, and
// the method-table entry.
//
// Binding layer only. Every check on a description runs at compile time: a misspelt
// default or a required parameter after an optional one fails the build.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "arg_parser.h"
#include "borrow.h"

namespace recall_mesh::binding {

/// A parameter's Python type, which fixes its plain value and its converter (convert.h).
enum class Kind { kStr, kF32, kU64, kBool, kStrList };

struct Param {
  const char* name = nullptr;
  Kind kind = Kind::kStr;
  // The default as it reads in the text signature, or null when the parameter is required.
  const char* default_text = nullptr;
  // The default's value, parsed from default_text, in the field its kind uses.
  float f32_default = 0.0f;
  std::uint64_t u64_default = 0;
  bool bool_default = false;

  constexpr bool optional() const noexcept { return default_text != nullptr; }
};

namespace spec_detail {

constexpr double exact_power_of_ten(std::size_t k) {
  double p = 1.0;
  for (std::size_t i = 0; i < k; ++i) p *= 10.0;
  return p;
}

// Digits with at most one '.', as a double rounded as the interpreter reads the same text:
// both the digits and the power of ten are exact doubles, so their quotient is correctly
// rounded.
consteval double parse_decimal(std::string_view text) {
  std::uint64_t digits = 0;
  std::size_t count = 0;
  std::size_t fraction = 0;
  bool point = false;
  for (char c : text) {
    if (c == '.' && !point) {
      point = true;
      continue;
    }
    if (c < '0' || c > '9') throw "a number default must be plain decimal digits";
    digits = digits * 10 + static_cast<std::uint64_t>(c - '0');
    fraction += point ? 1 : 0;
    if (++count > 15) throw "a number default may have at most 15 digits";
  }
  if (count == 0) throw "a number default needs a digit";
  return static_cast<double>(digits) / exact_power_of_ten(fraction);
}

}  // namespace spec_detail

/// A required parameter of each kind.
consteval Param str(const char* name) {
  return {name, Kind::kStr};
}
consteval Param f32(const char* name) {
  return {name, Kind::kF32};
}
consteval Param u64(const char* name) {
  return {name, Kind::kU64};
}
consteval Param boolean(const char* name) {
  return {name, Kind::kBool};
}
consteval Param str_list(const char* name) {
  return {name, Kind::kStrList};
}

/// `p` with a default, given as it reads in the text signature ("0", "0.5", "False").
/// Defaults exist for numbers and bools; the value is parsed from the text, so the two
/// cannot disagree.
consteval Param with_default(Param p, const char* text) {
  const std::string_view t = text;
  p.default_text = text;
  switch (p.kind) {
    case Kind::kF32:
      p.f32_default = static_cast<float>(spec_detail::parse_decimal(t));
      break;
    case Kind::kU64:
      if (t.find('.') != std::string_view::npos) throw "an int default has no point";
      p.u64_default = static_cast<std::uint64_t>(spec_detail::parse_decimal(t));
      break;
    case Kind::kBool:
      if (t != "True" && t != "False") throw "a bool default is True or False";
      p.bool_default = t == "True";
      break;
    case Kind::kStr:
    case Kind::kStrList:
      throw "str and list parameters have no default";
  }
  return p;
}

/// One method. `access` is the borrow it takes of the instance; Access::kNone marks a
/// static method, which has no instance. A method of no parameters that is not static
/// takes no arguments at all (METH_NOARGS).
template <std::size_t N>
struct Method {
  const char* name;
  Access access;
  std::array<Param, N> params;
  const char* doc;  // after the text signature; "" for none

  static constexpr std::size_t kCount = N;

  constexpr bool is_static() const noexcept { return access == Access::kNone; }
  constexpr bool takes_no_arguments() const noexcept { return N == 0 && !is_static(); }
  constexpr std::size_t required() const noexcept {
    std::size_t r = 0;
    while (r < N && !params[r].optional()) ++r;
    return r;
  }
};

template <std::size_t N>
consteval Method<N> method(const char* name, Access access, const Param (&params)[N],
                           const char* doc = "") {
  Method<N> m{name, access, {}, doc};
  bool seen_optional = false;
  for (std::size_t i = 0; i < N; ++i) {
    if (seen_optional && !params[i].optional()) throw "a required parameter follows a default";
    seen_optional = params[i].optional();
    for (std::size_t j = 0; j < i; ++j) {
      if (std::string_view(params[j].name) == params[i].name) throw "a parameter name repeats";
    }
    m.params[i] = params[i];
  }
  return m;
}

/// A method without parameters.
consteval Method<0> method(const char* name, Access access, const char* doc = "") {
  return Method<0>{name, access, {}, doc};
}

// ----- derived: the doc string and the parser's parameter list ----------------------------------

namespace spec_detail {

// Counts the characters it is given, or copies them into `out`: one pass of each over the
// same writing code sizes the array and then fills it.
struct TextSink {
  char* out = nullptr;
  std::size_t size = 0;

  constexpr TextSink& operator<<(std::string_view s) {
    for (char c : s) {
      if (out != nullptr) out[size] = c;
      ++size;
    }
    return *this;
  }
};

// "name($self, a, b=0)\n--\n\n" and the doc text: the interpreter takes the part before
// "\n--\n\n" as __text_signature__ and the rest as __doc__.
template <std::size_t N>
constexpr void write_doc(const Method<N>& m, TextSink& sink) {
  sink << m.name << "(";
  const char* separator = "";
  if (!m.is_static()) {
    sink << "$self";
    separator = ", ";
  }
  for (const Param& p : m.params) {
    sink << separator << p.name;
    if (p.optional()) sink << "=" << p.default_text;
    separator = ", ";
  }
  sink << ")\n--\n\n" << m.doc;
}

template <std::size_t N>
constexpr std::size_t doc_size(const Method<N>& m) {
  TextSink counter;
  write_doc(m, counter);
  return counter.size + 1;  // and the NUL
}

template <const auto& M>
constexpr std::array<char, doc_size(M)> make_doc() {
  std::array<char, doc_size(M)> text{};
  TextSink sink{text.data()};
  write_doc(M, sink);
  return text;
}

template <const auto& M>
inline constexpr auto kDoc = make_doc<M>();

template <const auto& M>
constexpr std::array<const char*, M.kCount> names_of() {
  std::array<const char*, M.kCount> names{};
  for (std::size_t i = 0; i < M.kCount; ++i) names[i] = M.params[i].name;
  return names;
}

template <const auto& M>
struct Parameters {
  static constexpr std::array<const char*, M.kCount> kNames = names_of<M>();
  // Filled by intern_parameter_names once per process.
  static inline std::array<PyObject*, M.kCount> interned{};
  static constexpr ParamList kList{M.name, kNames.data(), M.kCount, M.required(), interned.data()};
};

}  // namespace spec_detail

/// `Parts` (constants of static storage that convert to std::string_view) joined as one
/// NUL-terminated text, for names and doc strings built from a class's name.
template <const auto&... Parts>
inline constexpr auto kJoined = [] {
  std::array<char, (std::string_view(Parts).size() + ... + 1)> text{};
  spec_detail::TextSink sink{text.data()};
  (sink << ... << std::string_view(Parts));
  return text;
}();

/// The doc string of method `M`: its text signature, "--", an empty line, then its doc.
template <const auto& M>
constexpr const char* doc_string() noexcept {
  return spec_detail::kDoc<M>.data();
}

/// The parser's parameter list of method `M`.
template <const auto& M>
constexpr const ParamList& parameters() noexcept {
  return spec_detail::Parameters<M>::kList;
}

}  // namespace recall_mesh::binding
