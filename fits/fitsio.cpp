#include "fits/fitsio.h"
