#include "agent/options.h"

#include <string.h>

bool debugRequested(int argc, char* const* argv) {
  return argc > 1 && argv[1] != nullptr && strcmp(argv[1], "-D") == 0;
}
