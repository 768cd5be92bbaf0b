// The table framework shared by the five families: column lookups and
// registration, loop and data contexts, row lookup and the column dispatch.
#include "mib/snmpTables.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

#include <new>

#include "agent/log.h"
#include "agent/tarnInfo.h"
#include "api/api_records.h"

uint64_t requestsServed = 0;
netsnmp_iterator_info* fsPerf_iinfo = nullptr;
netsnmp_iterator_info* diskPerf_iinfo = nullptr;

namespace {

// Capacity of the OID buffers, in sub-identifiers.
const size_t kOidCapacity = 64;

// Column range of a table before any column widens it.
const ColumnRange kEmptyRange = {999999, 0};

bool resolveInMib(const char* qualifiedName, oid* name, size_t* length) {
  return read_objid(qualifiedName, name, length) != 0;
}

// Resolves "TARN-MIB:<object>" into name, a buffer of kOidCapacity; false
// when it does not resolve.
bool resolveObject(const char* object, ObjectResolver resolve, oid* name, size_t* length) {
  char qualified[160];
  snprintf(qualified, sizeof qualified, "TARN-MIB:%s", object);
  *length = kOidCapacity;
  return resolve(qualified, name, length);
}

bool inList(int32_t index, size_t size) { return static_cast<uint32_t>(index) < size; }

// Registers one table whose OID resolved, with its column range.
void registerTable(const FamilySpec& family, const TableSpec& table, const oid* tableOid,
                   size_t tableOidLength, const ColumnRange& range) {
  netsnmp_handler_registration* reg = netsnmp_create_handler_registration(
      table.name, table.handler, tableOid, tableOidLength, HANDLER_CAN_RONLY);
  netsnmp_table_registration_info* tinfo = SNMP_MALLOC_TYPEDEF(netsnmp_table_registration_info);
  netsnmp_iterator_info* iinfo = SNMP_MALLOC_TYPEDEF(netsnmp_iterator_info);
  if (reg == nullptr || tinfo == nullptr || iinfo == nullptr) {
    ts_print("Error: out of memory registering a MIB table.\n");
    return;
  }
  for (int level = 0; level < family.indexLevels; ++level) {
    snmp_varlist_add_variable(&tinfo->indexes, nullptr, 0, ASN_OCTET_STR, nullptr, 0);
  }
  tinfo->min_column = range.min;
  tinfo->max_column = range.max;
  iinfo->get_first_data_point = family.getFirst;
  iinfo->get_next_data_point = family.getNext;
  iinfo->make_data_context = tarnMgmt_make_data_context;
  iinfo->free_data_context = tarnMgmt_free_loop_context;
  iinfo->free_loop_context_at_end = tarnMgmt_free_loop_context;
  iinfo->table_reginfo = tinfo;
  setUpLookup(family, reg, iinfo);
  netsnmp_register_table_iterator(reg, iinfo);
  finishLookup(reg, iinfo);
  if (table.keepInfo != nullptr) *table.keepInfo = iinfo;
}

void setCell(netsnmp_variable_list* var, const CellValue& cell) {
  if (cell.type == ASN_OCTET_STR) {
    snmp_set_var_typed_value(var, ASN_OCTET_STR, cell.text, cell.length);
  } else if (cell.type == ASN_COUNTER64) {
    snmp_set_var_typed_value(var, ASN_COUNTER64, &cell.wide, sizeof cell.wide);
  } else {
    snmp_set_var_typed_value(var, cell.type, &cell.number, sizeof cell.number);
  }
}

}  // namespace

void init_tarnMgmtTables() {
  initialize_table_tarnClusterTable();
  initialize_table_tarnNodeTable();
  initialize_table_tarnFileSystemTable();
  initialize_table_tarnStgPoolTable();
  initialize_table_tarnDiskTable();
}

void lookupColumns(const TableSpec& table, size_t columnPosition, int* colTable, ColumnRange* range,
                   ObjectResolver resolve) {
  for (size_t i = 0; i < table.lookupCount; ++i) {
    const ColumnLookup& lookup = table.lookups[i];
    oid name[kOidCapacity];
    size_t length;
    int column = -1;
    if (resolveObject(lookup.object, resolve, name, &length)) {
      column = columnAt(name, length, columnPosition);
    }
    colTable[lookup.slot] = column;
    if (column < 0) {
      warnMibObjectMissing(lookup.object, lookup.pair ? "/H" : "");
      continue;
    }
    if (column < range->min) range->min = column;
    const int last = lookup.pair ? column + 1 : column;
    if (last > range->max) range->max = last;
  }
}

void registerFamily(const FamilySpec& family) {
  for (size_t t = 0; t < family.tableCount; ++t) {
    const TableSpec& table = family.tables[t];
    oid tableOid[kOidCapacity];
    size_t length;
    if (!resolveObject(table.name, resolveInMib, tableOid, &length)) {
      // Without the table there is no position to read its columns at: skip it.
      warnMibObjectMissing(table.name);
      continue;
    }
    ColumnRange range = kEmptyRange;
    lookupColumns(table, length + 1, family.colTable, &range, resolveInMib);
    registerTable(family, table, tableOid, length, range);
  }
}

void* tarnMgmt_make_data_context(void* loopContext, netsnmp_iterator_info* /*iinfo*/) {
  TableLoopContext* copy = new (std::nothrow) TableLoopContext();
  if (copy != nullptr && loopContext != nullptr) {
    *copy = *static_cast<const TableLoopContext*>(loopContext);
  }
  return copy;
}

void tarnMgmt_free_loop_context(void* context, netsnmp_iterator_info* /*iinfo*/) {
  delete static_cast<TableLoopContext*>(context);
}

bool findRow(const ClusterInfo* cluster, const TableLoopContext* ctx, RowLevel level,
             RowRecords* row) {
  *row = RowRecords{cluster, nullptr, nullptr, nullptr, nullptr};
  if (cluster == nullptr) return false;
  if (level == ROW_CLUSTER) return true;
  if (ctx == nullptr) return false;
  if (level == ROW_NODE) {
    if (!inList(ctx->nodeIndex, cluster->nodes.size())) return false;
    row->node = cluster->nodes[ctx->nodeIndex];
    return row->node != nullptr;
  }
  if (!inList(ctx->fsIndex, cluster->fileSystems.size())) return false;
  row->fs = cluster->fileSystems[ctx->fsIndex];
  if (row->fs == nullptr) return false;
  if (level == ROW_FS) return true;
  if (!inList(ctx->poolIndex, row->fs->pools.size())) return false;
  row->pool = row->fs->pools[ctx->poolIndex];
  if (row->pool == nullptr) return false;
  if (level == ROW_POOL) return true;
  if (!inList(ctx->diskIndex, row->pool->disks.size())) return false;
  row->disk = row->pool->disks[ctx->diskIndex];
  return row->disk != nullptr;
}

bool resolveColumn(const ColumnRow* rows, size_t count, const int* colTable, int colnum,
                   const RowRecords& row, CellValue* cell) {
  for (size_t i = 0; i < count; ++i) {
    const int column = colTable[rows[i].slot];
    const int wideColumn = rows[i].wideSlot > 0 ? colTable[rows[i].wideSlot] : 0;
    // A column never looked up, or missing from the MIB, holds 0 or -1.
    const bool low = column > 0 && colnum == column;
    const bool pair = rows[i].kind == COL_PAIR || rows[i].kind == COL_LOW_PAIR;
    const bool high = column > 0 && pair && colnum == column + 1;
    const bool wide = wideColumn > 0 && colnum == wideColumn;
    if (!low && !high && !wide) continue;
    const FieldValue value = rows[i].read(row);
    if (rows[i].kind == COL_TEXT) {
      *cell = CellValue{ASN_OCTET_STR, value.text, strlen(value.text), 0, {0, 0}};
    } else if (wide) {
      *cell =
          CellValue{ASN_COUNTER64, nullptr, 0, 0, {value.number >> 32, value.number & 0xFFFFFFFFu}};
    } else {
      const uint64_t halves =
          rows[i].kind == COL_LOW_PAIR ? value.number & 0xFFFFFFFFu : value.number;
      const uint32_t half = static_cast<uint32_t>(high ? halves >> 32 : halves);
      *cell = CellValue{ASN_UNSIGNED, nullptr, 0, half, {0, 0}};
    }
    return true;
  }
  return false;
}

uint64_t diskTimeMicros(double seconds) {
  const double micros = seconds * 1000000.0;
  if (!(micros > 0.0)) return 0;  // negative, zero or not a number
  if (micros >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<uint64_t>(micros);
}

int columnAt(const oid* name, size_t length, size_t position) {
  if (length <= position) return -1;
  return static_cast<int>(static_cast<uint32_t>(name[position]));
}

int serveRequests(const HandlerSpec& spec, netsnmp_agent_request_info* reqinfo,
                  netsnmp_request_info* requests) {
  requestsServed++;
  if (reqinfo == nullptr || reqinfo->mode != MODE_GET) return SNMP_ERR_NOERROR;
  for (netsnmp_request_info* request = requests; request != nullptr; request = request->next) {
    if (request->processed) continue;
    const TableLoopContext* ctx = nullptr;
    if (spec.level != ROW_CLUSTER) {
      ctx = static_cast<const TableLoopContext*>(netsnmp_extract_iterator_context(request));
    }
    RowRecords row;
    if (!findRow(myCluster, ctx, spec.level, &row)) {
      if (spec.level == ROW_CLUSTER) continue;  // no cluster record yet: nothing to answer
      return spec.missingRowStatus;
    }
    const netsnmp_table_request_info* info = netsnmp_extract_table_info(request);
    if (info == nullptr) continue;
    CellValue cell;
    if (resolveColumn(spec.columns, spec.columnCount, spec.colTable, static_cast<int>(info->colnum),
                      row, &cell)) {
      setCell(request->requestvb, cell);
    }
  }
  return SNMP_ERR_NOERROR;
}

void setRowIndexes(netsnmp_variable_list* put, const char* const* names, int count) {
  netsnmp_variable_list* var = put;
  for (int i = 0; i < count && var != nullptr; ++i, var = var->next_variable) {
    snmp_set_var_value(var, names[i], strlen(names[i]));
  }
}
