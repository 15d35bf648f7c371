#include "spectral/fft_engine.h"
