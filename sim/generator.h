// Synthetic clusters of any size for the simulator: believable names,
// states and 64-bit capacities, per-node statistics that the agent has to
// sum, and the same cluster again for the same seed.
#ifndef TNMIBD_SIM_GENERATOR_H_
#define TNMIBD_SIM_GENERATOR_H_

#include <stdint.h>

#include <string>

#include "sim/schema.h"

namespace sim {

struct GenSpec {
  long nodes = 0;
  long fileSystems = 0;
  long pools = 0;  // per file system
  long disks = 0;  // per pool
  uint64_t seed = 1;
};

// Parses "NODES,FS,POOLS,DISKS" (nodes 1 to 100000, file systems 0 to 1000,
// pools 1 to 1000, disks 0 to 100000, at most 10000000 disks in all). 0, or 1 with *err.
int parseGenSpec(const std::string& text, GenSpec* spec, std::string* err);

// A model document for the spec (check it with Model::adopt). Sizes are in
// kilobytes; every disk is served by one or two nodes; at most eight nodes
// report statistics for each file system, and one such report per cluster
// carries a nonzero return code when there is more than one reporter.
json generateModel(const GenSpec& spec);

}  // namespace sim

#endif  // TNMIBD_SIM_GENERATOR_H_
