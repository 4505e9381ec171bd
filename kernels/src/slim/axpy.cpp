#include "slim/axpy_impl.hpp"
