#include "app/run_sequence.h"

namespace korrin {

int runKorrin(int, char**) { return 0; }

}  // namespace korrin
