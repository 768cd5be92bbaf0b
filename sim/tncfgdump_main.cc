// tncfgdump stand-in: prints the configuration records of the running
// simulator's current model, asked for over its control socket.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "sim/cfgdump.h"
#include "sim/sockets.h"

int main(int argc, char** argv) {
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(sim::cfgUsage(), stdout);
    return 0;
  }
  std::vector<std::string> args(argv + 1, argv + argc);
  sim::CfgQuery query;
  std::string err;
  if (sim::parseCfgQuery(args, &query, &err)) {
    fprintf(stderr, "tncfgdump: %s\n%s", err.c_str(), sim::cfgUsage());
    return 2;
  }
  std::string line = "cfgdump", body;
  for (const std::string& a : args) line += " " + a;
  int rc = sim::controlRequest(sim::defaultControlPath(), line, &body, 30000);
  if (rc != 0) {
    fprintf(stderr, "tncfgdump: %s%s", rc > 0 ? "" : "cannot reach the simulator: ", body.c_str());
    if (body.empty() || body.back() != '\n') fputc('\n', stderr);
    return rc > 0 ? 2 : 1;
  }
  fputs(body.c_str(), stdout);
  return 0;
}
