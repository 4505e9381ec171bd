#include "bpr/trainer_impl.hpp"
