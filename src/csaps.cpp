#include "csaps.hpp"
