#include "dp.hpp"
