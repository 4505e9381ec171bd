#include "knn/cosine_impl.hpp"
