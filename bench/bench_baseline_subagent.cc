// The floor the table benchmark measures the agent against: a minimal AgentX
// subagent that serves ten tables of the agent's shape (same index levels,
// row counts, column counts and index names, taken from the same simulator
// model) from static arrays, through the same table iterator registration
// and the same run-time library binding, with no daemon behind it. Its walk
// costs what any iterator subagent pays; whatever the agent needs beyond it
// is the agent's own work.
//
// Usage: bench_baseline_subagent MODEL.json
// Serves .1.3.6.1.4.1.32473.99.1.T (T = 1..10, in the agent's table order)
// until SIGTERM or SIGINT.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <new>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "snmp/dl.h"

namespace {

using json = nlohmann::json;

// One row: its index names (one to three levels).
struct Row {
  const char* names[3];
};

// The rows of each family, in the agent's list order, and the names they point to.
struct Rows {
  std::vector<std::string> storage;  // reserved up front: the pointers stay valid
  std::vector<Row> cluster, nodes, fileSystems, pools, disks;
};

Rows rows;

void addRow(std::vector<Row>* family, const std::vector<std::string>& names) {
  Row row = {{nullptr, nullptr, nullptr}};
  for (size_t level = 0; level < names.size() && level < 3; ++level) {
    rows.storage.push_back(names[level]);
    row.names[level] = rows.storage.back().c_str();
  }
  family->push_back(row);
}

size_t nameCount(const json& model) {
  size_t count = 1 + model["nodes"].size();
  for (const json& fs : model["fileSystems"]) {
    for (const json& pool : fs["pools"]) count += 3 + 3 * pool["disks"].size();
    count += 1;
  }
  return count;
}

// Builds the families the way the agent sees a model: configured nodes; file
// systems with disks; their pools with disks, then pools without; disks.
void loadModel(const json& model) {
  rows.storage.reserve(nameCount(model));
  addRow(&rows.cluster, {model["cluster"]["name"].get<std::string>()});
  for (const json& node : model["nodes"]) {
    if (node.value("configured", true)) addRow(&rows.nodes, {node["name"].get<std::string>()});
  }
  for (const json& fs : model["fileSystems"]) {
    std::vector<std::string> withDisks, without;
    for (const json& pool : fs["pools"]) {
      (pool["disks"].empty() ? without : withDisks).push_back(pool["name"].get<std::string>());
    }
    if (withDisks.empty()) continue;
    const std::string fsName = fs["name"].get<std::string>();
    addRow(&rows.fileSystems, {fsName});
    for (const std::string& pool : withDisks) addRow(&rows.pools, {fsName, pool});
    for (const std::string& pool : without) addRow(&rows.pools, {fsName, pool});
    for (const json& pool : fs["pools"]) {
      for (const json& disk : pool["disks"]) {
        addRow(&rows.disks,
               {fsName, pool["name"].get<std::string>(), disk["name"].get<std::string>()});
      }
    }
  }
}

// One table: OID arc, index levels, its family's rows, and one letter per
// column ('S' text, 'N' number), as many as the agent's table answers.
struct Table {
  oid arc;
  int levels;
  const std::vector<Row>* rows;
  const char* columns;
};

const Table kTables[] = {
    {1, 1, &rows.cluster, "SSSNN"},                      // cluster status
    {2, 1, &rows.cluster, "SSSSSNNNNNN"},                // cluster configuration
    {3, 1, &rows.nodes, "SSSSNNSSS"},                    // node status
    {4, 1, &rows.nodes, "SSSNNNNNNNNNNNNS"},             // node configuration
    {5, 1, &rows.fileSystems, "SSSNNNNNNNN"},            // file system status
    {6, 1, &rows.fileSystems, "SNNNNNNNNNNNNNNNNNNNN"},  // file system performance
    {7, 2, &rows.pools, "SSNNNNN"},                      // storage pools
    {8, 3, &rows.disks, "SSSSSNNNNNN"},                  // disk status
    {9, 3, &rows.disks, "SSSSS"},                        // disk configuration
    {10, 3, &rows.disks, "SSSNNNNNNNNNNNNNNNNNN"},       // disk performance
};

size_t rowCount(const netsnmp_iterator_info* iinfo) {
  return static_cast<const Table*>(iinfo->myvoid)->rows->size();
}

// Walk position: one index into the table's rows.
struct Position {
  size_t row;
};

netsnmp_variable_list* putRow(const Table* table, size_t index, netsnmp_variable_list* put) {
  const Row& row = (*table->rows)[index];
  netsnmp_variable_list* var = put;
  for (int level = 0; level < table->levels && var != nullptr; ++level, var = var->next_variable) {
    snmp_set_var_value(var, row.names[level], strlen(row.names[level]));
  }
  return put;
}

netsnmp_variable_list* getFirst(void** loop, void**, netsnmp_variable_list* put,
                                netsnmp_iterator_info* iinfo) {
  Position* pos = new (std::nothrow) Position{0};
  *loop = pos;
  if (pos == nullptr || rowCount(iinfo) == 0) return nullptr;
  return putRow(static_cast<const Table*>(iinfo->myvoid), 0, put);
}

netsnmp_variable_list* getNext(void** loop, void**, netsnmp_variable_list* put,
                               netsnmp_iterator_info* iinfo) {
  Position* pos = static_cast<Position*>(*loop);
  if (pos == nullptr || ++pos->row >= rowCount(iinfo)) return nullptr;
  return putRow(static_cast<const Table*>(iinfo->myvoid), pos->row, put);
}

void* makeDataContext(void* loop, netsnmp_iterator_info*) {
  return new (std::nothrow) Position(*static_cast<Position*>(loop));
}

void freeContext(void* context, netsnmp_iterator_info*) { delete static_cast<Position*>(context); }

int handler(netsnmp_mib_handler*, netsnmp_handler_registration* reg,
            netsnmp_agent_request_info* reqinfo, netsnmp_request_info* requests) {
  if (reqinfo->mode != MODE_GET) return SNMP_ERR_NOERROR;
  const Table* table = static_cast<const Table*>(reg->my_reg_void);
  for (netsnmp_request_info* request = requests; request != nullptr; request = request->next) {
    if (request->processed) continue;
    const Position* pos = static_cast<const Position*>(netsnmp_extract_iterator_context(request));
    const netsnmp_table_request_info* info = netsnmp_extract_table_info(request);
    if (pos == nullptr || info == nullptr) return SNMP_ERR_NOSUCHNAME;
    const unsigned column = info->colnum;
    if (column < 1 || column > strlen(table->columns)) continue;
    const Row& row = (*table->rows)[pos->row];
    if (table->columns[column - 1] == 'S') {
      const char* text = row.names[table->levels - 1];
      snmp_set_var_typed_value(request->requestvb, ASN_OCTET_STR, text, strlen(text));
    } else {
      const uint32_t value = static_cast<uint32_t>(pos->row * 31 + column);
      snmp_set_var_typed_value(request->requestvb, ASN_UNSIGNED, &value, sizeof value);
    }
  }
  return SNMP_ERR_NOERROR;
}

void registerTable(const Table& table) {
  const oid tableOid[] = {1, 3, 6, 1, 4, 1, 32473, 99, 1, table.arc};
  char name[32];
  snprintf(name, sizeof name, "baselineTable%lu", static_cast<unsigned long>(table.arc));
  netsnmp_handler_registration* reg = netsnmp_create_handler_registration(
      name, handler, tableOid, OID_LENGTH(tableOid), HANDLER_CAN_RONLY);
  netsnmp_table_registration_info* tinfo = SNMP_MALLOC_TYPEDEF(netsnmp_table_registration_info);
  netsnmp_iterator_info* iinfo = SNMP_MALLOC_TYPEDEF(netsnmp_iterator_info);
  for (int level = 0; level < table.levels; ++level) {
    snmp_varlist_add_variable(&tinfo->indexes, nullptr, 0, ASN_OCTET_STR, nullptr, 0);
  }
  tinfo->min_column = 1;
  tinfo->max_column = static_cast<unsigned>(strlen(table.columns));
  iinfo->get_first_data_point = getFirst;
  iinfo->get_next_data_point = getNext;
  iinfo->make_data_context = makeDataContext;
  iinfo->free_data_context = freeContext;
  iinfo->free_loop_context_at_end = freeContext;
  iinfo->table_reginfo = tinfo;
  iinfo->myvoid = const_cast<Table*>(&table);
  reg->my_reg_void = const_cast<Table*>(&table);
  netsnmp_register_table_iterator(reg, iinfo);
}

volatile sig_atomic_t running = 1;

void stop(int) { running = 0; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s MODEL.json\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1]);
  json model = json::parse(in, nullptr, false);
  if (model.is_discarded() || !model.contains("nodes") || !model.contains("fileSystems")) {
    fprintf(stderr, "%s: %s is not a simulator model\n", argv[0], argv[1]);
    return 2;
  }
  loadModel(model);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGTERM, stop);
  signal(SIGINT, stop);
  dlib.open_dep_dlibs();
  if (dlib.open_netsnmp_dlibs() != 0) return 255;
  snmp_enable_stderrlog();
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
  netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET, "tcp:localhost:705");
  if (init_agent("baseline") != 0) return 1;
  for (const Table& table : kTables) registerTable(table);
  init_snmp("baseline");
  printf("baseline: %zu nodes, %zu file systems, %zu pools, %zu disks\n", rows.nodes.size(),
         rows.fileSystems.size(), rows.pools.size(), rows.disks.size());
  fflush(stdout);
  while (running) agent_check_and_process(1);
  snmp_shutdown("baseline");
  return 0;
}
