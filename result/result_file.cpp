#include "result/result_file.h"
