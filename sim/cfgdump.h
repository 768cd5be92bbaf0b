// The configuration query records: what tncfgdump prints for queries 10
// (cluster), 20 (nodes) and 30 (disks), built from the model. The requested
// codes decide which fields a record carries and in which order.
#ifndef TNMIBD_SIM_CFGDUMP_H_
#define TNMIBD_SIM_CFGDUMP_H_

#include <string>
#include <vector>

#include "sim/model.h"

namespace sim {

struct CfgQuery {
  int query = 0;           // 10, 20 or 30
  std::vector<int> codes;  // the requested fields, in output order
  bool norefresh = false;  // " all norefresh" was given (accepted; the model is always current)
};

// The usage text of tncfgdump, several lines ending with a newline.
const char* cfgUsage();

// Parses tncfgdump's arguments (without the program name). Returns 0, or 1
// with *err saying what is wrong (an unknown query or code, a bad list, extra words).
int parseCfgQuery(const std::vector<std::string>& args, CfgQuery* query, std::string* err);

// Appends the output lines of a parsed query to *out: for queries 20 and 30
// a header line first, then one record per configured node or per disk
// (disks of no file system first, as "free_disk").
void formatCfgRecords(const Model& model, const CfgQuery& query, std::string* out);

}  // namespace sim

#endif  // TNMIBD_SIM_CFGDUMP_H_
