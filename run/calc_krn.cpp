#include "run/calc_krn.h"
