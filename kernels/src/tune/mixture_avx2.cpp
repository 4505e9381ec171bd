#include "tune/mixture_impl.hpp"
