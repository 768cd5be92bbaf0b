// tarnsim: the daemon simulator. Serves a model file or a generated
// cluster on the daemon's command socket, and drives a running simulator
// through its control socket ("tarnsim ctl ...").
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "sim/generator.h"
#include "sim/model.h"
#include "sim/server.h"
#include "sim/sockets.h"

namespace {

const char kUsage[] =
    "usage: tarnsim (--model FILE | --generate NODES,FS,POOLS,DISKS [--seed N])\n"
    "               [--socket PATH] [--ctl PATH] [--foreground]\n"
    "       tarnsim generate NODES,FS,POOLS,DISKS [--seed N]   print a generated model\n"
    "       tarnsim check FILE                                  check a model file\n"
    "       tarnsim ctl [--ctl PATH] [--timeout MS] COMMAND...  drive a running simulator\n"
    "\n"
    "Serves the model on the command socket (default /var/tarnfs/tnperf/tnperfSocket)\n"
    "and takes control commands on the control socket (default\n"
    "/var/tarnfs/tnperf/tarnsim.ctl, or $TARNSIM_CTL). Prints \"tarnsim: ready\" once\n"
    "listening; stops on SIGINT/SIGTERM or \"tarnsim ctl shutdown\".\n"
    "\"tarnsim ctl help\" lists the control commands.\n";

struct Options {
  std::string model, generate, seed, socket = sim::kDaemonSocketPath, ctl, timeout;
  bool foreground = true;
  std::vector<std::string> words;  // what is left: a subcommand and its arguments
};

// The options with a value, and where each goes.
struct OptionRow {
  const char* name;
  std::string Options::*field;
};
const OptionRow kOptions[] = {
    {"--model", &Options::model}, {"--generate", &Options::generate},
    {"--seed", &Options::seed},   {"--socket", &Options::socket},
    {"--ctl", &Options::ctl},     {"--timeout", &Options::timeout},
};

int fail(const std::string& message) {
  fprintf(stderr, "tarnsim: %s\n", message.c_str());
  return 2;
}

// Options may stand anywhere until a "ctl" subcommand, whose words are all its own.
int parseArgs(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool inCtl = !o->words.empty() && o->words[0] == "ctl";
    const OptionRow* row = nullptr;
    for (const OptionRow& r : kOptions) {
      if (arg == r.name) row = &r;
    }
    bool ctlOption =
        row != nullptr && (arg == "--ctl" || arg == "--timeout") && o->words.size() == 1;
    if (row != nullptr && (!inCtl || ctlOption)) {
      if (i + 1 >= argc) return fail("option " + arg + " needs a value");
      o->*(row->field) = argv[++i];
    } else if (arg == "--foreground" && !inCtl) {
      o->foreground = true;
    } else if (arg.compare(0, 2, "--") == 0 && !inCtl) {
      return fail("unknown option " + arg + "\n" + kUsage);
    } else {
      o->words.push_back(arg);
    }
  }
  return 0;
}

int buildModel(const Options& o, sim::Model* model) {
  std::string err, pointer;
  if (!o.model.empty() && !o.generate.empty()) return fail("give --model or --generate, not both");
  if (!o.model.empty()) return model->loadFile(o.model, &err) ? fail(err) - 1 : 0;
  if (o.generate.empty())
    return fail(std::string("no model: give --model FILE or --generate\n") + kUsage);
  sim::GenSpec spec;
  if (sim::parseGenSpec(o.generate, &spec, &err)) return fail(err);
  if (!o.seed.empty()) {
    char* end = nullptr;
    spec.seed = strtoull(o.seed.c_str(), &end, 10);
    if (end == o.seed.c_str() || *end != '\0') return fail("bad --seed '" + o.seed + "'");
  }
  if (model->adopt(sim::generateModel(spec), &err, &pointer))
    return fail("generated model: " + err);
  return 0;
}

int serve(const Options& o) {
  sim::Model model;
  if (int rc = buildModel(o, &model)) return rc;
  std::string ctl = o.ctl.empty() ? sim::defaultControlPath() : o.ctl, err;
  sim::Server server(&model, o.socket, ctl);
  if (server.open(&err)) return fail(err) - 1;
  printf("tarnsim: ready\n");
  fflush(stdout);
  return server.run();
}

int generate(Options o) {
  if (o.words.size() != 2) return fail("usage: tarnsim generate NODES,FS,POOLS,DISKS [--seed N]");
  o.generate = o.words[1];
  sim::Model model;
  if (int rc = buildModel(o, &model)) return rc;
  fputs(model.dump().c_str(), stdout);
  return 0;
}

int check(const Options& o) {
  if (o.words.size() != 2) return fail("usage: tarnsim check FILE");
  sim::Model model;
  std::string err;
  if (model.loadFile(o.words[1], &err)) return fail(err) - 1;
  printf("%s: ok\n", o.words[1].c_str());
  return 0;
}

int control(const Options& o) {
  if (o.words.size() < 2) return fail("usage: tarnsim ctl [--ctl PATH] [--timeout MS] COMMAND...");
  std::string line = o.words[1], body;
  for (size_t i = 2; i < o.words.size(); ++i) line += " " + o.words[i];
  if (line.find('\n') != std::string::npos) return fail("a control command is one line");
  int timeout = o.timeout.empty() ? 0 : atoi(o.timeout.c_str());
  int rc =
      sim::controlRequest(o.ctl.empty() ? sim::defaultControlPath() : o.ctl, line, &body, timeout);
  if (rc != 0) {
    fprintf(stderr, "tarnsim ctl: %s%s", body.c_str(),
            body.empty() || body.back() != '\n' ? "\n" : "");
    return 1;
  }
  fputs(body.c_str(), stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc && strcmp(argv[i], "ctl") != 0; ++i) {
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
      fputs(kUsage, stdout);
      return 0;
    }
  }
  Options o;
  if (parseArgs(argc, argv, &o)) return 2;
  if (o.words.empty()) return serve(o);
  if (o.words[0] == "ctl") return control(o);
  if (o.words[0] == "generate") return generate(o);
  if (o.words[0] == "check") return check(o);
  return fail("unknown command '" + o.words[0] + "'\n" + kUsage);
}
