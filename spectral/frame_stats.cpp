#include "fits/image_frame.h"
