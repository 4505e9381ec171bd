#include "ease/gram_row_impl.hpp"
