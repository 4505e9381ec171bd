// Binding of the hyperparameter search: tune_suggest.
#include <cmath>
#include <string>

#include "py/declare.hpp"
#include "py/format.hpp"
#include "py/gil.hpp"
#include "tune/tpe.hpp"

namespace qv::bind {
namespace {

constexpr double kMinNormal = 2.2250738585072014e-308;

using py::Count, py::Flag, py::In, py::Real, py::Text;

using SuggestArgs = py::Args<"tune_suggest", Text<"kind">, Real<"low">, Real<"high">, Flag<"log">, Count<"n_choices">,
                             In<"observed", double>, In<"scores", double>, Count<"n_startup_trials">,
                             Count<"n_ei_candidates">, Count<"seed">>;

tune::Domain domain(const std::string& kind, double low, double high, bool log, uint64_t n_choices) {
  if (kind == "categorical") {
    if (n_choices < 1) py::value_error("n_choices must be at least 1.");
    return {tune::Kind::Categorical, 0.0, 0.0, false, n_choices};
  }
  if (kind != "float" && kind != "int")
    py::value_error("kind must be 'float', 'int' or 'categorical', got " + py::debug_quoted(kind) + ".");
  const bool integer = kind == "int";
  if (!(std::isfinite(low) && std::isfinite(high) && low <= high))
    py::value_error("bounds must be finite with low <= high, got [" + py::positional(low) + ", " +
                    py::positional(high) + "].");
  const double least = integer ? 1.0 : kMinNormal;
  if (log && !(low >= least))
    py::value_error("a log-scaled " + kind + " needs low >= " + py::positional(least) + ", got " +
                    py::positional(low) + ".");
  if (integer && (std::trunc(low) != low || std::trunc(high) != high))
    py::value_error("int bounds must be integers.");
  return {integer ? tune::Kind::Int : tune::Kind::Float, low, high, log, 0};
}

bool all_finite(std::span<const double> v) {
  for (double x : v)
    if (!std::isfinite(x)) return false;
  return true;
}

py::Ref tune_suggest(const SuggestArgs& a) {
  const tune::Domain d =
      domain(a.get<"kind">(), a.get<"low">(), a.get<"high">(), a.get<"log">(), a.get<"n_choices">());
  auto observed = a.get<"observed">().flat();
  auto scores = a.get<"scores">().flat();
  if (observed.size() != scores.size()) py::value_error("observed and scores must have the same length.");
  if (!all_finite(observed) || !all_finite(scores)) py::value_error("observed and scores must be finite.");
  const tune::TpeSettings settings{a.get<"n_startup_trials">(), a.get<"n_ei_candidates">(), 1.0};
  const uint64_t seed = a.get<"seed">();
  const double x = py::without_gil([&] { return tune::suggest(d, observed, scores, settings, seed); });
  return py::Ref(py::check(PyFloat_FromDouble(x)));
}

const py::Registered functions{
    py::define<tune_suggest>(
        "float",
        "Propose a value of one hyperparameter by TPE, from the history of that parameter.\n\n"
        "`kind` is `\"float\"`, `\"int\"` or `\"categorical\"`; a categorical is proposed as the\n"
        "index of its choice among `n_choices`, and `low`, `high` and `log` are ignored for\n"
        "it. `observed[t]` is the value trial `t` used and `scores[t]` what it scored, higher\n"
        "being better. Below `n_startup_trials` observations the value is drawn at random."),
};

}  // namespace
}  // namespace qv::bind
