#include "sim/cfgdump.h"

#include <errno.h>
#include <stdlib.h>

namespace sim {
namespace {

// Disk records take two of their fields from the disk's owners.
enum { CODE_DISK_NAME = 3001, CODE_DISK_FS = 3004, CODE_DISK_POOL = 3005, CODE_DISK_USAGE = 3006 };
const char kFreeDisk[] = "free_disk";

struct QueryRow {
  int query;
  const char* record;  // record name of the output lines
  Entity entity;       // whose field table gives the codes (disks: see knownCode)
};
const QueryRow kQueries[] = {
    {10, "sdrq_cluster_info", E_CLUSTER},
    {20, "sdrq_node_info", E_NODE},
    {30, "sdrq_nsd_info", E_DISK},
};

const QueryRow* queryRow(int query) {
  for (const QueryRow& row : kQueries) {
    if (row.query == query) return &row;
  }
  return nullptr;
}

const FieldRow* fieldByCode(Entity entity, int code) {
  const EntitySchema& s = schemaOf(entity);
  for (size_t i = 0; i < s.count; ++i) {
    if (s.rows[i].code == code) return &s.rows[i];
  }
  return nullptr;
}

bool knownCode(const QueryRow& q, int code) {
  if (q.query == 30) {
    return code == CODE_DISK_NAME || code == CODE_DISK_FS || code == CODE_DISK_POOL ||
           code == CODE_DISK_USAGE;
  }
  return fieldByCode(q.entity, code) != nullptr;
}

int parseInt(const std::string& s, int* out) {
  char* end = nullptr;
  errno = 0;
  long v = strtol(s.c_str(), &end, 10);
  if (s.empty() || *end != '\0' || errno == ERANGE || v < 0 || v > 99999) return 1;
  *out = (int)v;
  return 0;
}

int parseCodes(const QueryRow& q, const std::string& list, std::vector<int>* codes,
               std::string* err) {
  size_t start = 0;
  while (true) {
    size_t colon = list.find(':', start);
    std::string item = list.substr(start, colon == std::string::npos ? colon : colon - start);
    int code = 0;
    if (parseInt(item, &code) || !knownCode(q, code)) {
      *err = "unknown field code '" + item + "' for query " + std::to_string(q.query);
      return 1;
    }
    codes->push_back(code);
    if (colon == std::string::npos) return 0;
    start = colon + 1;
  }
}

std::string recordStart(const QueryRow& q, size_t number, size_t total) {
  return std::string("tncfgdump:") + q.record + ":" + std::to_string(number) + ":" +
         std::to_string(total) + ":::";
}

void appendObjectRecord(const QueryRow& q, const CfgQuery& query, const json& obj, size_t number,
                        size_t total, std::string* out) {
  *out += recordStart(q, number, total);
  for (int code : query.codes) {
    const FieldRow* row = fieldByCode(q.entity, code);
    *out += recordField(*row, obj[row->name]) + ":";
  }
  *out += '\n';
}

void appendDiskRecord(const QueryRow& q, const CfgQuery& query, const json& disk,
                      const std::string& fs, const std::string& pool, size_t number, size_t total,
                      std::string* out) {
  *out += recordStart(q, number, total);
  for (int code : query.codes) {
    switch (code) {
      case CODE_DISK_NAME:
        *out += disk["name"].get<std::string>();
        break;
      case CODE_DISK_FS:
        *out += fs;
        break;
      case CODE_DISK_POOL:
        *out += pool;
        break;
      default:
        *out += disk["usage"].get<std::string>();
        break;
    }
    *out += ':';
  }
  *out += '\n';
}

// A line that starts like a record but has no numbers, naming the requested codes.
void appendHeader(const QueryRow& q, const CfgQuery& query, std::string* out) {
  *out += std::string("tncfgdump:") + q.record + ":record:total:::";
  for (int code : query.codes) *out += std::to_string(code) + ":";
  *out += '\n';
}

void formatDisks(const Model& m, const QueryRow& q, const CfgQuery& query, std::string* out) {
  size_t total = m.doc()["freeDisks"].size(), number = 0;
  for (const json& fs : m.doc()["fileSystems"]) {
    for (const json& pool : fs["pools"]) total += pool["disks"].size();
  }
  appendHeader(q, query, out);
  for (const json& disk : m.doc()["freeDisks"]) {
    appendDiskRecord(q, query, disk, kFreeDisk, disk["pool"].get<std::string>(), ++number, total,
                     out);
  }
  for (const json& fs : m.doc()["fileSystems"]) {
    for (const json& pool : fs["pools"]) {
      for (const json& disk : pool["disks"]) {
        appendDiskRecord(q, query, disk, fs["name"].get<std::string>(),
                         pool["name"].get<std::string>(), ++number, total, out);
      }
    }
  }
}

}  // namespace

const char* cfgUsage() {
  return "usage: tncfgdump QUERY CODE[:CODE...] [all [norefresh]]\n"
         "  QUERY 10: cluster record, codes 1001-1008, 1011\n"
         "  QUERY 20: node records, codes 2003-2008, 2010\n"
         "  QUERY 30: disk records, codes 3001, 3004, 3005, 3006\n"
         "Prints the records of the running tarnsim's current model.\n";
}

int parseCfgQuery(const std::vector<std::string>& args, CfgQuery* query, std::string* err) {
  if (args.size() < 2 || args.size() > 4) {
    *err = args.size() < 2 ? "a query number and a list of field codes are needed"
                           : "too many arguments";
    return 1;
  }
  const QueryRow* q = nullptr;
  if (parseInt(args[0], &query->query) || (q = queryRow(query->query)) == nullptr) {
    *err = "unknown query '" + args[0] + "' (10, 20 or 30)";
    return 1;
  }
  query->codes.clear();
  if (parseCodes(*q, args[1], &query->codes, err)) return 1;
  if (args.size() >= 3 && args[2] != "all") {
    *err = "unexpected argument '" + args[2] + "'";
    return 1;
  }
  if (args.size() == 4 && args[3] != "norefresh") {
    *err = "unexpected argument '" + args[3] + "'";
    return 1;
  }
  query->norefresh = args.size() == 4;
  return 0;
}

void formatCfgRecords(const Model& model, const CfgQuery& query, std::string* out) {
  const QueryRow* q = queryRow(query.query);
  if (q == nullptr) return;
  if (q->entity == E_DISK) return formatDisks(model, *q, query, out);
  if (q->entity == E_CLUSTER)
    return appendObjectRecord(*q, query, model.doc()["cluster"], 1, 1, out);
  size_t total = 0, number = 0;
  for (const json& node : model.doc()["nodes"]) total += node["configured"].get<bool>();
  appendHeader(*q, query, out);
  for (const json& node : model.doc()["nodes"]) {
    if (node["configured"].get<bool>()) appendObjectRecord(*q, query, node, ++number, total, out);
  }
}

}  // namespace sim
