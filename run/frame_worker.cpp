#include "run/frame_worker.h"
