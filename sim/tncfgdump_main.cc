// tncfgdump stand-in: prints the configuration records of the running
// simulator's current model, asked for over its control socket.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "sim/cfgdump.h"
#include "sim/sockets.h"

// Ends as the simulator's "fault cfgdump" says, once the records are out:
// the exit status, or death by a signal. 0 when no fault is set.
static int endAsTold() {
  std::string how;
  if (sim::controlRequest(sim::defaultControlPath(), "cfgdump-fault", &how, 30000) != 0) return 0;
  int number = 0;
  if (sscanf(how.c_str(), "exit %d", &number) == 1) return number;
  if (sscanf(how.c_str(), "signal %d", &number) != 1) return 0;
  fflush(stdout);
  signal(number, SIG_DFL);
  raise(number);
  return 128 + number;
}

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
  return endAsTold();
}
