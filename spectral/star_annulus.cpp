#include "spectral/star_annulus.h"
