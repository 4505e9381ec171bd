#include "vectors/dot_impl.hpp"
