#include "spectral/bispectrum.h"
