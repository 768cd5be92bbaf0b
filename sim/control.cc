#include "sim/control.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "sim/cfgdump.h"
#include "sim/server.h"

namespace sim {
namespace {

// A request split into its first words and the rest of the line.
struct Request {
  std::string line;
  std::vector<std::string> words;  // all words
  // The text after the first n words, as typed (blanks inside kept).
  std::string rest(size_t n) const {
    size_t i = 0;
    for (size_t w = 0; w < n; ++w) {
      while (i < line.size() && line[i] == ' ') ++i;
      while (i < line.size() && line[i] != ' ') ++i;
    }
    while (i < line.size() && line[i] == ' ') ++i;
    return line.substr(i);
  }
};

struct Context {
  Server& server;
  int clientId;
  const Request& req;
  std::string* reply;
};

int fail(Context& c, const std::string& message) {
  *c.reply = message;
  return CONTROL_ERROR;
}

int ok(Context& c, const std::string& message) {
  *c.reply = message;
  return CONTROL_OK;
}

int toLong(const std::string& s, long min, long max, long* out) {
  char* end = nullptr;
  errno = 0;
  long v = strtol(s.c_str(), &end, 10);
  if (s.empty() || *end != '\0' || errno == ERANGE || v < min || v > max) return 1;
  *out = v;
  return 0;
}

int doEvent(Context& c) {
  std::string line = c.req.rest(1);
  if (line.empty()) return fail(c, "usage: event LINE");
  int n = c.server.sendEvent(line);
  return ok(c, "sent to " + std::to_string(n) + " event connections");
}

int doBurst(Context& c) {
  long n = 0;
  if (c.req.words.size() < 3 || toLong(c.req.words[1], 0, 100000000, &n)) {
    return fail(c, "usage: burst N TEMPLATE (N from 0 to 100000000)");
  }
  std::string tmpl = c.req.rest(2);
  int receivers = 0;
  for (long i = 0; i < n; ++i)
    receivers = c.server.sendEvent(expandTemplate(tmpl, i, epochMicros()));
  return ok(c, "sent " + std::to_string(n) + " events to " + std::to_string(receivers) +
                   " event connections");
}

int doStream(Context& c) {
  long rate = 0, n = 0;
  if (c.req.words.size() < 4 || toLong(c.req.words[1], 1, 10000000, &rate) ||
      toLong(c.req.words[2], 0, 100000000, &n)) {
    return fail(c, "usage: stream RATE N TEMPLATE (RATE per second, 1 to 10000000)");
  }
  c.server.startStream(c.clientId, (double)rate, n, c.req.rest(3));
  return CONTROL_LATER;
}

struct KindRow {
  const char* word;
  Entity entity;
  bool configChange;  // adding or removing one changes the disk configuration
};
const KindRow kKinds[] = {
    {"cluster", E_CLUSTER, false}, {"node", E_NODE, false},
    {"gfis", E_GFIS, false},       {"fs", E_FS, true},
    {"pool", E_POOL, true},        {"disk", E_DISK, true},
    {"ds", E_PERF, false},         {"free", E_FREE_DISK, true},
};

const KindRow* kindOf(const Request& req) {
  for (const KindRow& k : kKinds) {
    if (req.words.size() > 1 && req.words[1] == k.word) return &k;
  }
  return nullptr;
}

std::string kindUsage(const char* verb) {
  return std::string("usage: ") + verb +
         " cluster|node IP|gfis IP FS|fs FS|pool FS POOL|disk FS POOL DISK|ds FS POOL DISK "
         "NODE|free DISK ...";
}

int doSet(Context& c) {
  const KindRow* k = kindOf(c.req);
  size_t keys = k == nullptr ? 0 : Model::keyCount(k->entity);
  if (k == nullptr || c.req.words.size() < keys + 3)
    return fail(c, kindUsage("set") + " FIELD VALUE");
  std::vector<std::string> names(c.req.words.begin() + 2, c.req.words.begin() + 2 + keys);
  std::string err;
  if (c.server.model().set(k->entity, names, c.req.words[keys + 2], c.req.rest(keys + 3), &err)) {
    return fail(c, err);
  }
  return ok(c, "set");
}

int addOrRemove(Context& c, bool add) {
  const KindRow* k = kindOf(c.req);
  size_t keys = k == nullptr ? 0 : Model::keyCount(k->entity);
  if (k == nullptr || k->entity == E_CLUSTER || c.req.words.size() < keys + 2) {
    return fail(c, kindUsage(add ? "add" : "remove") + (add ? " [JSON-FIELDS]" : ""));
  }
  std::vector<std::string> names(c.req.words.begin() + 2, c.req.words.begin() + 2 + keys);
  std::string err, extra = c.req.rest(keys + 2);
  if (!add && !extra.empty()) return fail(c, "unexpected words after the names: " + extra);
  Model& m = c.server.model();
  if (add ? m.add(k->entity, names, extra, &err) : m.remove(k->entity, names, &err)) {
    return fail(c, err);
  }
  std::string done = add ? "added" : "removed";
  if (!k->configChange) return ok(c, done);
  int n = c.server.sendEvent("_event_ sdrChanged");
  return ok(c, done + "; sdrChanged sent to " + std::to_string(n) + " event connections");
}

int doAdd(Context& c) { return addOrRemove(c, true); }
int doRemove(Context& c) { return addOrRemove(c, false); }

int doFault(Context& c) {
  const std::vector<std::string>& w = c.req.words;
  std::string what = w.size() > 1 ? w[1] : "";
  long ms = 0;
  if (what == "event-in-response") {
    std::string line = c.req.rest(2);
    if (line.empty()) line = "_event_ exception _msg_ 'injected between answer lines'";
    if (line.compare(0, 8, "_event_ ") != 0) line = "_event_ " + line;
    c.server.injectEvent(line);
    return ok(c, "the next answer carries: " + line);
  }
  if (what == "delay" && w.size() == 3 && !toLong(w[2], 0, 3600000, &ms)) {
    c.server.setDelay((int)ms);
    return ok(c, "answers delayed by " + std::to_string(ms) + " ms");
  }
  if (what == "long-line" && w.size() == 3 && !toLong(w[2], 1, MAX_QUEUED / 2, &ms)) {
    c.server.breakNextAnswer((size_t)ms, false);
    return ok(c, "the next answer's first line has " + std::to_string(ms) + " characters");
  }
  if (what == "unended" && w.size() == 2) {
    c.server.breakNextAnswer(0, true);
    return ok(c, "the next answer has no end line");
  }
  if (what == "endless" && w.size() == 2) {
    c.server.breakNextAnswer(0, true, true);
    return ok(c, "the next answer repeats its first line for ever");
  }
  if (what == "drop" && w.size() == 2) {
    return ok(c, "closed " + std::to_string(c.server.dropClients()) + " connections");
  }
  if (what == "refuse" && w.size() == 3 && (w[2] == "on" || w[2] == "off")) {
    c.server.setRefuse(w[2] == "on");
    return ok(c, "refusing connections: " + w[2]);
  }
  if (what == "cfgdump" && w.size() == 4 && (w[2] == "exit" || w[2] == "signal") &&
      !toLong(w[3], 1, 64, &ms)) {
    c.server.setCfgdumpFault(w[2] + " " + w[3]);
    return ok(c, "tncfgdump ends with " + w[2] + " " + w[3]);
  }
  if (what == "stall" && w.size() == 3 && (w[2] == "on" || w[2] == "off")) {
    c.server.setStall(w[2] == "on");
    return ok(c, "accepting connections: " + std::string(w[2] == "on" ? "off" : "on"));
  }
  if (what == "clear" && w.size() == 2) {
    c.server.setCfgdumpFault("");
    c.server.setDelay(0);
    c.server.setRefuse(false);
    c.server.setStall(false);
    c.server.injectEvent("");
    c.server.breakNextAnswer(0, false);
    return ok(c, "no faults");
  }
  return fail(c,
              "usage: fault event-in-response [LINE] | long-line N | unended | endless | "
              "delay MS | drop | refuse on|off | stall on|off | cfgdump exit|signal N | clear");
}

int doRestart(Context& c) {
  long ms = 0;
  if (c.req.words.size() > 2 ||
      (c.req.words.size() == 2 && toLong(c.req.words[1], 0, 3600000, &ms))) {
    return fail(c, "usage: restart [DOWN-MS]");
  }
  std::string err;
  if (c.server.restart((int)ms, &err)) return fail(c, err);
  return ok(c, ms > 0 ? "restarting in " + std::to_string(ms) + " ms" : "restarted");
}

int doShutdown(Context& c) {
  c.server.stop();
  return ok(c, "shutting down");
}

int doModel(Context& c) { return ok(c, c.server.model().dump()); }

int doLog(Context& c) {
  if (c.req.words.size() == 2 && c.req.words[1] == "clear") {
    c.server.log().clear();
    return ok(c, "");
  }
  if (c.req.words.size() != 1) return fail(c, "usage: log [clear]");
  std::string text;
  for (const std::string& line : c.server.log()) text += line + "\n";
  return ok(c, text);
}

int doStats(Context& c) {
  const Server::Counters& k = c.server.counters();
  std::string text = "connections " + std::to_string(c.server.connections(false)) + "\n" +
                     "event_connections " + std::to_string(c.server.connections(true)) + "\n" +
                     "accepted " + std::to_string(k.accepted) + "\n" + "refused " +
                     std::to_string(k.refused) + "\n" + "dropped " + std::to_string(k.dropped) +
                     "\n" + "commands " + std::to_string(k.commands) + "\n" + "events_sent " +
                     std::to_string(k.eventsSent) + "\n" + "delay_ms " +
                     std::to_string(c.server.delayMs()) + "\n" + "refusing " +
                     (c.server.refusing() ? "on" : "off") + "\n";
  return ok(c, text);
}

// The configuration query of tncfgdump, answered from the current model.
int doCfgdump(Context& c) {
  std::vector<std::string> args(c.req.words.begin() + 1, c.req.words.end());
  CfgQuery query;
  std::string err, out;
  if (parseCfgQuery(args, &query, &err)) return fail(c, err);
  c.server.logLine("tncfgdump " + c.req.rest(1));
  formatCfgRecords(c.server.model(), query, &out);
  return ok(c, out);
}

// How tncfgdump is to end after its records: "none", "exit N" or "signal N".
int doCfgdumpFault(Context& c) {
  const std::string& how = c.server.cfgdumpFault();
  return ok(c, how.empty() ? "none" : how);
}

int doHelp(Context& c) { return ok(c, controlHelp()); }

struct ControlRow {
  const char* word;
  int (*run)(Context&);
};
const ControlRow kControls[] = {
    {"event", doEvent},       {"burst", doBurst},
    {"stream", doStream},     {"set", doSet},
    {"add", doAdd},           {"remove", doRemove},
    {"fault", doFault},       {"restart", doRestart},
    {"shutdown", doShutdown}, {"model", doModel},
    {"log", doLog},           {"stats", doStats},
    {"cfgdump", doCfgdump},   {"cfgdump-fault", doCfgdumpFault},
    {"help", doHelp},
};

}  // namespace

const char* controlHelp() {
  return "event LINE                  send an event line to the event connections\n"
         "burst N TEMPLATE            send N events at once ({i}: 0..N-1, {t}: send time in us)\n"
         "stream RATE N TEMPLATE      send N events at RATE per second; replies when done\n"
         "set cluster FIELD VALUE     change a field (also: node IP, fs FS, pool FS POOL,\n"
         "                            disk FS POOL DISK, gfis IP FS, ds FS POOL DISK NODE, free "
         "DISK)\n"
         "add KIND NAMES [JSON]       add a node, fs, pool, disk, gfis, ds or free disk\n"
         "remove KIND NAMES           remove one (fs, pool, disk and free send sdrChanged)\n"
         "fault event-in-response [LINE] | long-line N | unended | endless | delay MS | drop | "
         "refuse on|off | stall on|off | cfgdump exit|signal N | clear\n"
         "restart [DOWN-MS]           close everything and listen again (after DOWN-MS)\n"
         "shutdown                    remove the socket and exit\n"
         "model                       print the current model as JSON\n"
         "log | log clear             commands received, one per line\n"
         "stats                       connections, commands and events counted\n"
         "cfgdump QUERY CODES [all [norefresh]]   the records tncfgdump prints\n"
         "cfgdump-fault               how tncfgdump ends: none, exit N or signal N\n";
}

int runControl(Server& server, int clientId, const std::string& line, std::string* reply) {
  Request req;
  req.line = line;
  for (size_t i = 0; i < line.size();) {
    size_t end = line.find(' ', i);
    if (end == std::string::npos) end = line.size();
    if (end > i) req.words.push_back(line.substr(i, end - i));
    i = end + 1;
  }
  Context c{server, clientId, req, reply};
  if (req.words.empty()) return fail(c, "empty request; try: help");
  for (const ControlRow& row : kControls) {
    if (req.words[0] == row.word) return row.run(c);
  }
  return fail(c, "unknown control command '" + req.words[0] + "'; try: help");
}

}  // namespace sim
