#include "fm_als/sweeps_impl.hpp"
