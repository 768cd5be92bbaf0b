// Fuzz target: the simulator's model loader (parse, check against the field tables, defaults,
// derived pool fields) on the input as a model file.
#include <stdlib.h>

#include <string>

#include "sim/model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sim::Model model;
  std::string err;
  std::string text(reinterpret_cast<const char*>(data), size);
  // A refused model always says why.
  if (model.loadText(text, "fuzz.json", &err) != 0 && err.empty()) abort();
  return 0;
}
