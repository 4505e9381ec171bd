#include "tune/mixture_impl.hpp"

namespace qv::tune {

double erfc_approx(double x) { return portable::erfc_fixed(x); }

}  // namespace qv::tune
