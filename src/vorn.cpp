#include "vorn.hpp"
