#include "ppform.hpp"
