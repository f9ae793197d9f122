#include "chk.hpp"
