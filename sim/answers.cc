#include "sim/answers.h"

#include <errno.h>
#include <string.h>

#include <vector>

namespace sim {

const char kEndLine[] = "_response_ end";

namespace {

using Args = std::vector<std::string>;

// Appends " keyword value" for every field of the group, in table order.
void appendFields(Entity entity, FieldGroup group, const json& obj, std::string* line) {
  const EntitySchema& s = schemaOf(entity);
  for (size_t i = 0; i < s.count; ++i) {
    const FieldRow& row = s.rows[i];
    if (row.group != group) continue;
    *line += ' ';
    *line += row.keyword;
    *line += ' ';
    *line += answerWord(row, obj[row.name]);
  }
}

void endLine(std::string* line, std::string* out) {
  *out += *line;
  *out += '\n';
  line->clear();
}

const std::string& text(const json& obj, const char* field) {
  return obj[field].get_ref<const std::string&>();
}

int ackNodeList(const Model& m, const Args&, std::string* out) {
  int64_t n = 0;
  for (const json& node : m.doc()["nodes"]) n += node["reported"].get<bool>();
  *out += "_nodelist_ _rc_ 0 _nodes_ " + std::to_string(n) + "\n";
  return 0;
}

int answerCluster(const Model& m, const Args&, std::string* out) {
  const json& c = m.doc()["cluster"];
  std::string line = "_cluster_ " + text(c, "name");
  appendFields(E_CLUSTER, G_CLUSTER, c, &line);
  endLine(&line, out);
  return 0;
}

// One line per node the daemon knows: "get nodes" (state) or "tnperf nc" (configuration).
int answerPerNode(const Model& m, FieldGroup group, std::string* out) {
  std::string line;
  for (const json& node : m.doc()["nodes"]) {
    if (!node["reported"].get<bool>()) continue;
    if (group == G_NODE) {
      line = "_node_ " + text(node, "name") + " _addr_ " + text(node, "ip");
    } else {
      line = "_tnperf_nc_ _n_ " + text(node, "ip") + " _nn_ " + text(node, "name") + " _rc_ 0";
    }
    appendFields(E_NODE, group, node, &line);
    endLine(&line, out);
  }
  return 0;
}

int answerNodes(const Model& m, const Args&, std::string* out) {
  return answerPerNode(m, G_NODE, out);
}

int answerNodeConfig(const Model& m, const Args&, std::string* out) {
  return answerPerNode(m, G_NC, out);
}

int answerFsStats(const Model& m, const Args&, std::string* out) {
  std::string line;
  for (const json& node : m.doc()["nodes"]) {
    if (!node["reported"].get<bool>()) continue;
    for (const json& st : node["fsStats"]) {
      line = "_tnperf_gfis_ _n_ " + text(node, "ip") + " _nn_ " + text(node, "name") + " _fs_ " +
             text(st, "fs") + " _rc_ " + std::to_string(st["rc"].get<int64_t>());
      appendFields(E_GFIS, G_GFIS, st, &line);
      endLine(&line, out);
    }
  }
  return 0;
}

int missing(const char* what, const std::string& name, std::string* out) {
  answerError(ENOENT, std::string("no ") + what + " " + name, out);
  return 1;
}

int answerFsState(const Model& m, const Args& a, std::string* out) {
  const json* fs = m.find(E_FS, {a[0]});
  if (fs == nullptr) return missing("file system", a[0], out);
  std::string line = "_fsstate_ " + a[0] + " _fs_ " + a[0];
  appendFields(E_FS, G_FS, *fs, &line);
  endLine(&line, out);
  return 0;
}

int answerPools(const Model& m, const Args& a, std::string* out) {
  const json* fs = m.find(E_FS, {a[0]});
  if (fs == nullptr) return missing("file system", a[0], out);
  std::string line;
  for (const json& pool : (*fs)["pools"]) {
    line = "_pool_ " + text(pool, "name") + " _fs_ " + a[0];
    appendFields(E_POOL, G_POOL, pool, &line);
    endLine(&line, out);
  }
  return 0;
}

int answerDisks(const Model& m, const Args& a, std::string* out) {
  const json* pool = m.find(E_POOL, {a[0], a[1]});
  if (pool == nullptr) return missing("storage pool", a[0] + " " + a[1], out);
  std::string line;
  for (const json& disk : (*pool)["disks"]) {
    line = "_disk_ " + text(disk, "name") + " _fs_ " + a[0] + " _pool_ " + a[1];
    appendFields(E_DISK, G_DISK, disk, &line);
    endLine(&line, out);
  }
  return 0;
}

// One "_tnperf" line per serving node of each disk, each followed by its read and write lines.
int answerDiskStats(const Model& m, const Args& a, std::string* out) {
  if (a[0] != text(m.doc()["cluster"], "name")) return missing("cluster", a[0], out);
  const json* pool = m.find(E_POOL, {a[1], a[2]});
  if (pool == nullptr) return missing("storage pool", a[1] + " " + a[2], out);
  std::string line;
  for (const json& disk : (*pool)["disks"]) {
    for (const json& perf : disk["perf"]) {
      line = "_tnperf_ds_ _d_ " + text(disk, "name") + " _fs_ " + a[1] + " _p_ " + a[2];
      appendFields(E_PERF, G_DS, perf, &line);
      endLine(&line, out);
      line = "_r_";
      appendFields(E_PERF, G_DS_READ, perf, &line);
      endLine(&line, out);
      line = "_w_";
      appendFields(E_PERF, G_DS_WRITE, perf, &line);
      endLine(&line, out);
    }
  }
  return 0;
}

// The commands understood; "%" stands for any one word, which is handed to the answer.
struct CommandRow {
  const char* pattern;
  int (*answer)(const Model&, const Args&, std::string*);
};
const CommandRow kCommands[] = {
    {"tnperf ng + *", ackNodeList},
    {"tnperf n + *", ackNodeList},
    {"tnperf ng ~", ackNodeList},
    {"get clusterinfo", answerCluster},
    {"get nodes", answerNodes},
    {"tnperf nc", answerNodeConfig},
    {"tnperf gfis", answerFsStats},
    {"get fs % -b", answerFsState},
    {"get stgpools %", answerPools},
    {"get fs % %", answerDisks},
    {"tnperf ds f cl % fs % p %", answerDiskStats},
};

Args words(const std::string& s) {
  Args out;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    size_t start = i;
    while (i < s.size() && s[i] != ' ' && s[i] != '\t') ++i;
    if (i > start) out.push_back(s.substr(start, i - start));
  }
  return out;
}

bool matches(const Args& pattern, const Args& command, Args* args) {
  if (pattern.size() != command.size()) return false;
  args->clear();
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == "%") {
      args->push_back(command[i]);
    } else if (pattern[i] != command[i]) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string printable(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size() && out.size() < 80; ++i) {
    unsigned char c = text[i];
    out += (c < 0x20 || c >= 0x7f) ? '?' : c == '\'' ? '"' : (char)c;
  }
  return out;
}

void answerError(int rc, const std::string& message, std::string* out) {
  *out += "_error_ _rc_ " + std::to_string(rc) + " _msg_ '" + printable(message) + "'\n";
  *out += kEndLine;
  *out += '\n';
}

int answerCommand(const Model& model, const std::string& command, std::string* out) {
  if (command.size() > MAX_COMMAND_LENGTH) {
    answerError(E2BIG, "command longer than 10238 characters", out);
    return 1;
  }
  if (memchr(command.data(), '\0', command.size()) != nullptr) {
    answerError(EINVAL, "command holds a NUL byte", out);
    return 1;
  }
  Args command_words = words(command), args;
  for (const CommandRow& row : kCommands) {
    if (!matches(words(row.pattern), command_words, &args)) continue;
    if (row.answer(model, args, out)) return 1;
    *out += kEndLine;
    *out += '\n';
    return 0;
  }
  answerError(EINVAL, "unknown or malformed command: " + command, out);
  return 1;
}

}  // namespace sim
