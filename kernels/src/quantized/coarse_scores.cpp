#include "quantized/coarse_scores_impl.hpp"
