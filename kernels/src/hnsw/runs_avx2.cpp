#include "hnsw/runs_impl.hpp"
