#pragma once
// A Python function is declared once, as the type of its arguments:
//
//   using FactorizeArgs = py::Args<"factorize", py::In<"values", int64_t>>;
//   py::Ref factorize(const FactorizeArgs& a) { auto v = a.get<"values">().flat(); ... }
//   const py::Registered functions{
//       py::define<factorize>("<return annotation>", "<docstring body>"),
//   };
//
// From that come the parser's table and counts, the typed arguments read by name (an
// unknown name does not compile), the text signature opening the docstring, the entry in
// the module's function table and the line of the type stub. Every argument is converted,
// in signature order, before the body runs; read-write arrays are then tested for borrow
// conflicts, within the call and against the read-write borrows of other running calls,
// which a call holds until it returns.
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "py/args.hpp"
#include "py/array.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"
#include "py/ref.hpp"

namespace qv::py {

// A string usable as a template argument: function and parameter names.
template <size_t N>
struct Name {
  char text[N]{};
  constexpr Name(const char (&s)[N]) { std::copy_n(s, N, text); }
  constexpr std::string_view view() const { return {text, N - 1}; }
};

// The kinds a parameter is declared with: the C++ value the body reads, the conversion,
// the default an omitted trailing parameter takes, and its Python spelling for the stub.
namespace kind {

template <class T, int Nd, bool Writable>
struct ArrayOf {
  using Value = Array<T>;
  static constexpr bool is_array = true, writable = Writable, has_default = false;
  static Value convert(PyObject* o) { return to_array<T>(o, Nd); }
  static std::string annotation() { return std::string("NDArray[np.") + NpyType<T>::name + "]"; }
};

// None, or an array converted as a read-only one.
template <class T, int Nd>
struct MaybeArray {
  using Value = std::optional<Array<T>>;
  static constexpr bool is_array = true, writable = false, has_default = true;
  static constexpr const char* default_text = "None";
  static Value convert(PyObject* o) {
    if (!o || o == Py_None) return std::nullopt;
    return to_array<T>(o, Nd);
  }
  static std::string annotation() { return ArrayOf<T, Nd, false>::annotation() + " | None"; }
};

struct Count {
  using Value = uint64_t;
  static constexpr bool is_array = false, writable = false, has_default = true;
  static constexpr const char* default_text = "0";
  static Value convert(PyObject* o) { return o ? to_count(o) : 0; }
  static std::string annotation() { return "SupportsIndex"; }
};

struct Count32 {
  using Value = uint32_t;
  static constexpr bool is_array = false, writable = false, has_default = false;
  static Value convert(PyObject* o) { return to_count32(o); }
  static std::string annotation() { return "SupportsIndex"; }
};

struct Int64 {
  using Value = int64_t;
  static constexpr bool is_array = false, writable = false, has_default = false;
  static Value convert(PyObject* o) { return to_int64(o); }
  static std::string annotation() { return "SupportsIndex"; }
};

struct Real {
  using Value = double;
  static constexpr bool is_array = false, writable = false, has_default = false;
  static Value convert(PyObject* o) { return to_real(o); }
  static std::string annotation() { return "float"; }
};

struct Flag {
  using Value = bool;
  static constexpr bool is_array = false, writable = false, has_default = true;
  static constexpr const char* default_text = "False";
  static Value convert(PyObject* o) { return o ? to_flag(o) : false; }
  static std::string annotation() { return "bool | np.bool_"; }
};

struct Text {
  using Value = std::string;
  static constexpr bool is_array = false, writable = false, has_default = false;
  static Value convert(PyObject* o) { return to_text(o); }
  static std::string annotation() { return "str"; }
};

}  // namespace kind

template <Name N, class K, bool Defaulted = false>
struct Param {
  static constexpr auto name = N;
  using Kind = K;
  static constexpr bool defaulted = Defaulted;
  static_assert(!Defaulted || K::has_default, "this kind has no default to give");
};

// The parameter kinds, by the name a binding declares them with.
template <Name N, class T, int Nd = 1>
using In = Param<N, kind::ArrayOf<T, Nd, false>>;  // read-only array
template <Name N, class T, int Nd = 1>
using InOut = Param<N, kind::ArrayOf<T, Nd, true>>;  // read-write array
template <Name N, class T, int Nd = 1>
using Maybe = Param<N, kind::MaybeArray<T, Nd>>;  // None or an array
template <Name N>
using Count = Param<N, kind::Count>;
template <Name N>
using Count32 = Param<N, kind::Count32>;
template <Name N>
using Int64 = Param<N, kind::Int64>;  // signed 64-bit
template <Name N>
using Real = Param<N, kind::Real>;
template <Name N>
using Flag = Param<N, kind::Flag>;
template <Name N>
using Text = Param<N, kind::Text>;
// A trailing parameter that may be omitted: None, 0 or False, as its kind says.
template <class P>
using Default = Param<P::name, typename P::Kind, true>;

// How a parameter reads in the text signature and the stub.
struct ParamInfo {
  const char* name;
  std::string annotation;
  const char* default_text;  // nullptr when the parameter is required
};

// The converted arguments of one call of function F.
template <Name F, class... Ps>
class Args {
 public:
  static constexpr size_t size = sizeof...(Ps);
  static_assert(size <= 32, "the parser keeps the arguments on the stack");

 private:
  static constexpr std::array<bool, size> kDefaulted{Ps::defaulted...};
  static constexpr size_t required() {
    size_t n = 0;
    while (n < size && !kDefaulted[n]) ++n;
    for (size_t i = n; i < size; ++i)
      if (!kDefaulted[i]) throw "a required parameter follows one with a default";
    return n;
  }
  static constexpr std::array<const char*, size> kNames{Ps::name.text...};

 public:
  static constexpr Signature signature{F.text, kNames.data(), size, required()};

  static std::vector<ParamInfo> params() {
    return {ParamInfo{Ps::name.text, Ps::Kind::annotation(), default_text<Ps>()}...};
  }

  Args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* argv[size > 0 ? size : 1];
    parse_args(signature, args, nargs, kwnames, argv);
    convert(argv, std::index_sequence_for<Ps...>{});
    if constexpr ((Ps::Kind::is_array || ...)) borrows(std::index_sequence_for<Ps...>{});
  }

  // The converted argument of parameter N.
  template <Name N>
  const auto& get() const {
    return std::get<index<N>()>(values_);
  }

 private:
  template <Name N>
  static constexpr size_t index() {
    constexpr std::array<std::string_view, size> names{Ps::name.view()...};
    constexpr size_t i =
        static_cast<size_t>(std::find(names.begin(), names.end(), N.view()) - names.begin());
    static_assert(i < size, "no parameter of that name");
    return i;
  }

  template <class P>
  static constexpr const char* default_text() {
    if constexpr (P::defaulted)
      return P::Kind::default_text;
    else
      return nullptr;
  }

  template <size_t... I>
  void convert(PyObject* const* argv, std::index_sequence<I...>) {
    (convert_one<I, Ps>(argv[I]), ...);
  }

  template <size_t I, class P>
  void convert_one(PyObject* o) {
    try {
      std::get<I>(values_) = P::Kind::convert(o);
    } catch (const ErrorSet&) {
      add_parameter_note(P::name.text);
      throw;
    }
  }

  template <size_t... I>
  void borrows(std::index_sequence<I...>) {
    Borrow list[size];
    size_t n = 0;
    (add_borrow<I, Ps>(list, n), ...);
    if constexpr ((Ps::Kind::writable || ...)) check_borrows({list, n});
    held_ = hold_borrows({list, n}, F.text);
  }

  template <size_t I, class P>
  void add_borrow(Borrow* list, size_t& n) const {
    if constexpr (P::Kind::is_array) {
      const auto& v = std::get<I>(values_);
      PyArrayObject* a = nullptr;
      if constexpr (P::Kind::has_default)
        a = v ? v->raw() : nullptr;
      else
        a = v.raw();
      if (a) list[n++] = Borrow{reinterpret_cast<PyObject*>(a), P::name.text, P::Kind::writable};
    }
  }

  std::tuple<typename Ps::Kind::Value...> values_;
  HeldBorrows held_;  // until the call returns
};

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The return annotation of every function that answers with ranked positions and scores.
inline constexpr const char* kRankedPair = "tuple[NDArray[np.int64], NDArray[np.float64]]";
// ... and of every function that answers with a CSR matrix (indptr, indices, data).
inline constexpr const char* kCsrTriple = "tuple[NDArray[np.int64], NDArray[np.int64], NDArray[np.float64]]";

// One Python function of the module.
struct Function {
  const char* name;
  FastCall entry;
  std::string doc;                // text signature, "--", an empty line, the body
  std::vector<ParamInfo> params;  // for the stub
  const char* returns;            // the return annotation, for the stub
  const char* body;               // the docstring without its signature
};

namespace detail {
template <class F>
struct ImplArgs;
template <class A>
struct ImplArgs<Ref (*)(const A&)> {
  using type = A;
};

template <auto Impl>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using A = typename ImplArgs<decltype(Impl)>::type;
  return guarded([&]() -> PyObject* {
    const A a(args, nargs, kwnames);
    return Impl(a).release();
  });
}

// "name(a, b, c=None)": the line the interpreter reads the text signature from.
std::string text_signature(const char* name, const std::vector<ParamInfo>& params);
}  // namespace detail

// The Function whose body is `Impl`, a `Ref (const py::Args<...>&)`.
template <auto Impl>
Function define(const char* returns, const char* body) {
  using A = typename detail::ImplArgs<decltype(Impl)>::type;
  Function f{A::signature.name, detail::entry<Impl>, {}, A::params(), returns, body};
  f.doc = detail::text_signature(f.name, f.params) + "\n--\n\n" + body;
  return f;
}

// Every function defined in the binding files, in no particular order; the module's table
// says where each one goes.
const std::vector<Function>& registry();

// Adds a binding file's functions to the registry while the library loads.
struct Registered {
  Registered(std::initializer_list<Function> functions);
};

}  // namespace qv::py
