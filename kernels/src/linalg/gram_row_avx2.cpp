#include "linalg/gram_row_impl.hpp"
