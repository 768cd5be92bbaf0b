// Which rows the table iterator is handed for a request.
//
// The iterator finds a request's row by visiting the rows get-first and
// get-next give it. Handed every row in list order, it visits them all for
// every varbind, so a walk costs rows squared. By default each family instead
// keeps its rows in SNMP index order (the view, below), rebuilt only after a
// refresh may have changed myCluster; a handler ahead of the iterator notes the
// lowest index the request asks for, get-first starts at that index, and the
// iterator is told the rows are sorted, so a GETNEXT stops at the first row
// after its index. TNMIBD_TABLE_LOOKUP=scan keeps the list-order walk.
//
// Before it chooses, a request of the sorted lookup makes the refreshes a
// full list-order walk would make (so a GET refreshes the levels after its row
// too), skipping them with one clock read while no time stamp such a walk
// tests is older than STALE_SECONDS; it then chooses among rows as they are.
//
// Both lookups serve the same rows: those a list-order walk yields (with its
// stop at an empty file system or pool, and its stepping over empty slots),
// less rows whose index does not fit in an OID, which are left out with one
// warning each until the next poll. Rows with equal indexes keep their list
// order (stable sort), so the first in list order answers, as before.
//
// What this relies on in the SNMP library's table iterator (5.9); the system
// test that compares both lookups through the real master fails if the
// answers change, and checks that the hint handler found its place:
// - with NETSNMP_ITERATOR_FLAG_SORTED a GETNEXT takes the first row after its
//   index that it is handed and stops, and a GET the first equal row;
// - when a GETNEXT runs past a column's last row it starts again at get-first
//   for the next column: only the first get-first of a pass may skip rows;
// - with the flag, the iterator may hand get-first a pointer of its own as the
//   loop context: get-first always replaces it;
// - the iterator's handler is named "table_iterator" and is called through
//   the handler chain after the table helper has set each request's table info;
// - a row's OID is the table OID, 1, the column, then per index name its
//   length and its bytes, and an OID longer than MAX_OID_LEN is cut.
//
// Main thread only, like the walks.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sys/time.h>

#include <algorithm>
#include <limits>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "agent/clock.h"
#include "agent/log.h"
#include "agent/tarnInfo.h"
#include "api/api_records.h"
#include "mib/snmpRefresh.h"
#include "mib/snmpTables.h"

namespace {

// One served row: its positions in myCluster's lists and its index key.
struct ViewRow {
  TableLoopContext at;
  uint32_t keyOffset;  // into FamilyLookup::keys
  uint32_t keyLength;  // also the number of index sub-identifiers
};

// The lookup state of one family.
struct FamilyLookup {
  Netsnmp_First_Data_Point* walkFirst;  // the list-order walk
  Netsnmp_Next_Data_Point* walkNext;
  RowLevel level;
  const char* label;
  int levels;
  size_t indexBudget;              // index sub-identifiers a row's OID has room for
  netsnmp_variable_list* scratch;  // index variables for the walks made here
  std::string keys;                // the rows' keys, one after the other
  std::vector<ViewRow> rows;       // in index order
  unsigned long generation;        // tarnInfoGeneration the view was built at
  bool built;
  // Per perf (0, 1): the oldest time stamp a walk may look at, and the
  // tarnInfoGeneration it was taken at.
  time_t oldest[2];
  unsigned long oldestAt[2];
  bool oldestKnown[2];
  std::set<std::string> warned;  // keys of rows left out, warned at warnedAt
  unsigned long warnedAt;
  // A row that stays too long would otherwise be reported again after every
  // poll, for as long as it exists.
  RateLimitedLog tooLongWarnings{60};
};

// A walk over the view: the row's positions first, so that the data context
// (a copy of a TableLoopContext) can be taken from it.
struct ViewWalk {
  TableLoopContext row;
  size_t cursor;
  size_t end;  // rows from here on cannot answer the request
};

// The lowest (and, for GET, highest) index a request asks for, noted by the
// handler ahead of the iterator and taken by the first get-first.
struct LookupHint {
  const netsnmp_iterator_info* iinfo;
  bool fromStart;  // some request may be answered by the first row
  bool exact;      // GET: no row above `high` can answer
  oid low[MAX_OID_LEN];
  size_t lowLength;
  oid high[MAX_OID_LEN];
  size_t highLength;
};

struct FamilyKind {
  Netsnmp_First_Data_Point* walkFirst;
  RowLevel level;
  const char* label;
};
const FamilyKind kKinds[] = {
    {tarnClusterTable_get_first_data_point, ROW_CLUSTER, "cluster"},
    {tarnNodeTable_get_first_data_point, ROW_NODE, "node"},
    {tarnFileSystemTable_get_first_data_point, ROW_FS, "file system"},
    {tarnStgPoolTable_get_first_data_point, ROW_POOL, "storage pool"},
    {tarnDiskTable_get_first_data_point, ROW_DISK, "disk"},
};
const size_t kFamilies = sizeof kKinds / sizeof kKinds[0];

FamilyLookup lookups[kFamilies];
LookupHint hint;
bool hintSet = false;

FamilyLookup* familyLookup(const FamilySpec& family) {
  for (size_t i = 0; i < kFamilies; ++i) {
    if (kKinds[i].walkFirst != family.getFirst) continue;
    FamilyLookup* f = &lookups[i];
    if (f->walkFirst == nullptr) {
      f->walkFirst = family.getFirst;
      f->walkNext = family.getNext;
      f->level = kKinds[i].level;
      f->label = kKinds[i].label;
      f->levels = family.indexLevels;
      f->indexBudget = MAX_OID_LEN;
      for (int level = 0; level < f->levels; ++level) {
        snmp_varlist_add_variable(&f->scratch, nullptr, 0, ASN_OCTET_STR, nullptr, 0);
      }
    }
    return f;
  }
  return nullptr;
}

FamilyLookup* lookupOf(const netsnmp_iterator_info* iinfo) {
  return iinfo != nullptr ? static_cast<FamilyLookup*>(iinfo->myvoid) : nullptr;
}

// The index names of the row at `at`, outermost first; false when a position
// holds no record.
bool rowNames(const FamilyLookup* f, const TableLoopContext& at, const char* names[3]) {
  RowRecords r;
  if (!findRow(myCluster, &at, f->level, &r)) return false;
  const char* const byLevel[][3] = {
      {r.cluster != nullptr ? r.cluster->name : nullptr},
      {r.node != nullptr ? r.node->name : nullptr},
      {r.fs != nullptr ? r.fs->name : nullptr},
      {r.fs != nullptr ? r.fs->name : nullptr, r.pool != nullptr ? r.pool->name : nullptr},
      {r.fs != nullptr ? r.fs->name : nullptr, r.pool != nullptr ? r.pool->name : nullptr,
       r.disk != nullptr ? r.disk->name : nullptr}};
  for (int i = 0; i < f->levels; ++i) names[i] = byLevel[f->level][i];
  return true;
}

// Logs that the row with this key is left out, once per tarnInfoGeneration and
// at most once a minute for the family.
void warnTooLong(FamilyLookup* f, const std::string& key) {
  if (f->warnedAt != tarnInfoGeneration) {
    f->warned.clear();
    f->warnedAt = tarnInfoGeneration;
  }
  if (!f->warned.insert(key).second) return;
  std::string names;
  for (size_t at = 0; at < key.size(); at += 1 + static_cast<unsigned char>(key[at])) {
    if (!names.empty()) names += ' ';
    names.append(key, at + 1, static_cast<unsigned char>(key[at]));
  }
  char line[600];
  snprintf(line, sizeof line,
           "Warning: %s %s left out of the tables: its index needs %zu sub-identifiers, "
           "an OID has room for %zu.\n",
           f->label, names.c_str(), key.size(), f->indexBudget);
  f->tooLongWarnings.print(line);
}

// Adds the row at `at` to the view, or warns when its index does not fit.
void addRow(FamilyLookup* f, const TableLoopContext& at) {
  const char* names[3] = {nullptr, nullptr, nullptr};
  if (!rowNames(f, at, names)) return;
  const size_t offset = f->keys.size();
  for (int i = 0; i < f->levels; ++i) {
    const size_t length = strlen(names[i]);
    f->keys.push_back(static_cast<char>(length));
    f->keys.append(names[i], length);
  }
  const size_t keyLength = f->keys.size() - offset;
  if (keyLength > f->indexBudget) {
    warnTooLong(f, f->keys.substr(offset));
    f->keys.resize(offset);
    return;
  }
  f->rows.push_back(ViewRow{at, static_cast<uint32_t>(offset), static_cast<uint32_t>(keyLength)});
}

const unsigned char* keyOf(const FamilyLookup* f, const ViewRow& row) {
  return reinterpret_cast<const unsigned char*>(f->keys.data()) + row.keyOffset;
}

// Rebuilds the view from a list-order walk, which also makes the walk's refreshes.
void rebuildView(FamilyLookup* f, netsnmp_iterator_info* iinfo) {
  const unsigned long generation = tarnInfoGeneration;
  f->keys.clear();
  f->rows.clear();
  void* loop = nullptr;
  void* data = nullptr;
  netsnmp_variable_list* row = f->walkFirst(&loop, &data, f->scratch, iinfo);
  for (; row != nullptr; row = f->walkNext(&loop, &data, f->scratch, iinfo)) {
    addRow(f, loop != nullptr ? *static_cast<const TableLoopContext*>(loop) : TableLoopContext{});
  }
  tarnMgmt_free_loop_context(loop, iinfo);
  std::stable_sort(f->rows.begin(), f->rows.end(), [f](const ViewRow& a, const ViewRow& b) {
    return compareKeys(keyOf(f, a), a.keyLength, keyOf(f, b), b.keyLength) < 0;
  });
  // A poll during the walk may have changed rows met before it: build again next time.
  f->generation = generation;
  f->built = true;
}

bool viewCurrent(const FamilyLookup* f) { return f->built && f->generation == tarnInfoGeneration; }

// Skips a list-order walk from a row to the last one of its innermost list.
void skipToListEnd(const FamilyLookup* f, TableLoopContext* at) {
  RowRecords r;
  if (!findRow(myCluster, at, f->level, &r)) return;
  if (f->level == ROW_POOL)
    at->poolIndex = std::max<int32_t>(at->poolIndex, r.fs->pools.size() - 1);
  if (f->level == ROW_DISK) {
    at->diskIndex = std::max<int32_t>(at->diskIndex, r.pool->disks.size() - 1);
  }
}

// Makes the refreshes a list-order walk would make, visiting one row per pool
// list (pool family) or disk list (disk family): the walk refreshes only when
// it starts and when it enters a file system or a pool.
void refreshAsAWalk(FamilyLookup* f, netsnmp_iterator_info* iinfo) {
  void* loop = nullptr;
  void* data = nullptr;
  netsnmp_variable_list* row = f->walkFirst(&loop, &data, f->scratch, iinfo);
  while (row != nullptr && loop != nullptr && f->level >= ROW_POOL) {
    skipToListEnd(f, static_cast<TableLoopContext*>(loop));
    row = f->walkNext(&loop, &data, f->scratch, iinfo);
  }
  tarnMgmt_free_loop_context(loop, iinfo);
}

void older(time_t* oldest, const struct timeval& stamp) {
  if (stamp.tv_sec < *oldest) *oldest = stamp.tv_sec;
}

// The oldest of the time stamps that the refreshes of a walk of a family at
// this level may test (those of levels the walk does not reach included).
time_t oldestStamp(RowLevel level, int perf) {
  time_t oldest = std::numeric_limits<time_t>::max();
  if (level == ROW_CLUSTER) older(&oldest, myCluster->clusterUpdateTime);
  if (level == ROW_NODE) older(&oldest, myCluster->nodeUpdateTime);
  // A disk walk tests the file system list's stamp only when the list is empty.
  if (level == ROW_FS || (level == ROW_DISK && myCluster->fileSystems.empty())) {
    older(&oldest, myCluster->fsUpdateTime);
  }
  if (level == ROW_FS && perf != 0) older(&oldest, myCluster->fsPerfUpdateTime);
  if (level < ROW_POOL) return oldest;
  for (const FilesystemInfo* fs : myCluster->fileSystems) {
    if (fs == nullptr) continue;
    older(&oldest, fs->poolUpdateTime);
    if (level != ROW_DISK) continue;
    for (const StoragePoolInfo* pool : fs->pools) {
      if (pool == nullptr) continue;
      older(&oldest, pool->diskUpdateTime);
      if (perf != 0) older(&oldest, pool->diskPerfUpdateTime);
    }
  }
  return oldest;
}

// False when no refresh of a walk can find its level stale now: every time
// stamp it may test is at most STALE_SECONDS old (see shouldRefresh).
bool mayBeStale(const FamilyLookup* f, int perf) {
  if (!f->oldestKnown[perf] || f->oldestAt[perf] != tarnInfoGeneration) return true;
  return stampSeconds() - f->oldest[perf] > STALE_SECONDS;
}

// Refreshes what a walk of the family refreshes and brings the view up to
// date. While nothing can be stale this costs one clock read.
void prepareView(FamilyLookup* f, netsnmp_iterator_info* iinfo) {
  const int perf = iinfo != nullptr && (iinfo == fsPerf_iinfo || iinfo == diskPerf_iinfo);
  if (viewCurrent(f) && !mayBeStale(f, perf)) return;
  if (viewCurrent(f)) refreshAsAWalk(f, iinfo);
  if (!viewCurrent(f)) rebuildView(f, iinfo);
  f->oldest[perf] = oldestStamp(f->level, perf);
  f->oldestAt[perf] = tarnInfoGeneration;
  f->oldestKnown[perf] = true;
}

// First view position whose key is not below (upper: is above) the index.
size_t viewBound(const FamilyLookup* f, const oid* index, size_t length, bool upper) {
  const auto below = [&](const ViewRow& row) {
    const int order = compareKeyToIndex(keyOf(f, row), row.keyLength, index, length);
    return upper ? order <= 0 : order < 0;
  };
  size_t low = 0, high = f->rows.size();
  while (low < high) {
    const size_t mid = low + (high - low) / 2;
    if (below(f->rows[mid])) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}

// Sets the walk's range from the hint noted for this table, and forgets it.
void takeHint(const FamilyLookup* f, const netsnmp_iterator_info* iinfo, ViewWalk* walk) {
  walk->cursor = 0;
  walk->end = f->rows.size();
  if (!hintSet || hint.iinfo != iinfo) return;
  hintSet = false;
  if (hint.fromStart) return;
  // A GETNEXT wants rows after its index, a GET rows equal to it.
  walk->cursor = viewBound(f, hint.low, hint.lowLength, !hint.exact);
  if (hint.exact) walk->end = viewBound(f, hint.high, hint.highLength, true);
}

// Hands the iterator the view's row at the walk's cursor, or null past the end.
netsnmp_variable_list* serveRow(const FamilyLookup* f, ViewWalk* walk, netsnmp_variable_list* put) {
  if (walk->cursor >= walk->end || walk->cursor >= f->rows.size()) return nullptr;
  const ViewRow& row = f->rows[walk->cursor];
  walk->row = row.at;
  const unsigned char* key = keyOf(f, row);
  netsnmp_variable_list* var = put;
  for (int level = 0; level < f->levels && var != nullptr; ++level, var = var->next_variable) {
    snmp_set_var_value(var, key + 1, key[0]);
    key += 1 + key[0];
  }
  return put;
}

netsnmp_variable_list* viewFirst(void** loopContext, void**, netsnmp_variable_list* put,
                                 netsnmp_iterator_info* iinfo) {
  ViewWalk* walk = new (std::nothrow) ViewWalk();
  *loopContext = walk;  // replaces any pointer the iterator passed in
  FamilyLookup* f = lookupOf(iinfo);
  if (walk == nullptr || f == nullptr || myCluster == nullptr) return nullptr;
  prepareView(f, iinfo);
  takeHint(f, iinfo, walk);
  return serveRow(f, walk, put);
}

netsnmp_variable_list* viewNext(void** loopContext, void**, netsnmp_variable_list* put,
                                netsnmp_iterator_info* iinfo) {
  ViewWalk* walk = static_cast<ViewWalk*>(*loopContext);
  const FamilyLookup* f = lookupOf(iinfo);
  if (walk == nullptr || f == nullptr) return nullptr;
  ++walk->cursor;
  return serveRow(f, walk, put);
}

void freeViewWalk(void* context, netsnmp_iterator_info*) { delete static_cast<ViewWalk*>(context); }

// The list-order walk, less the rows whose index does not fit in an OID.
// (This lookup keeps no view: building one would refresh ahead of the walk.)
bool tooLong(FamilyLookup* f, const netsnmp_variable_list* put) {
  size_t length = 0;
  for (const netsnmp_variable_list* var = put; var != nullptr; var = var->next_variable) {
    length += 1 + var->val_len;
  }
  if (length <= f->indexBudget) return false;
  std::string key;
  for (const netsnmp_variable_list* var = put; var != nullptr; var = var->next_variable) {
    key += static_cast<char>(var->val_len);
    key.append(reinterpret_cast<const char*>(var->val.string), var->val_len);
  }
  warnTooLong(f, key);
  return true;
}

netsnmp_variable_list* scanNext(void** loopContext, void** dataContext, netsnmp_variable_list* put,
                                netsnmp_iterator_info* iinfo) {
  FamilyLookup* f = lookupOf(iinfo);
  netsnmp_variable_list* row = f->walkNext(loopContext, dataContext, put, iinfo);
  while (row != nullptr && tooLong(f, row)) row = f->walkNext(loopContext, dataContext, put, iinfo);
  return row;
}

netsnmp_variable_list* scanFirst(void** loopContext, void** dataContext, netsnmp_variable_list* put,
                                 netsnmp_iterator_info* iinfo) {
  FamilyLookup* f = lookupOf(iinfo);
  netsnmp_variable_list* row = f->walkFirst(loopContext, dataContext, put, iinfo);
  if (row != nullptr && tooLong(f, row)) return scanNext(loopContext, dataContext, put, iinfo);
  return row;
}

// The index a request asks for, as sub-identifiers after the column: false
// when the request may be answered by any row (its column is not the one the
// iterator serves it from, or its OID stops before the column).
bool requestIndex(const netsnmp_handler_registration* reg, netsnmp_request_info* request,
                  const oid** index, size_t* length) {
  const netsnmp_table_request_info* info = netsnmp_extract_table_info(request);
  const netsnmp_variable_list* vb = request->requestvb;
  const size_t column = reg->rootoid_len + 1;
  if (info == nullptr || vb == nullptr || vb->name_length <= column) return false;
  if (vb->name[column - 1] != 1 || vb->name[column] != info->colnum) return false;
  *index = vb->name + column + 1;
  *length = vb->name_length - column - 1;
  return true;
}

void keepIndex(oid* to, size_t* toLength, const oid* index, size_t length) {
  *toLength = std::min<size_t>(length, MAX_OID_LEN);
  memcpy(to, index, *toLength * sizeof(oid));
}

// Notes the lowest and highest index the unprocessed requests ask for.
void noteRequestedIndexes(const netsnmp_iterator_info* iinfo,
                          const netsnmp_handler_registration* reg,
                          const netsnmp_agent_request_info* reqinfo,
                          netsnmp_request_info* requests) {
  hint.iinfo = iinfo;
  hint.exact = reqinfo->mode == MODE_GET;
  hint.fromStart = !hint.exact && reqinfo->mode != MODE_GETNEXT;
  bool any = false;
  for (netsnmp_request_info* request = requests; request != nullptr && !hint.fromStart;
       request = request->next) {
    if (request->processed) continue;
    const oid* index;
    size_t length;
    if (!requestIndex(reg, request, &index, &length)) {
      hint.fromStart = true;
    } else if (!any) {
      keepIndex(hint.low, &hint.lowLength, index, length);
      keepIndex(hint.high, &hint.highLength, index, length);
    } else if (compareIndexes(index, length, hint.low, hint.lowLength) < 0) {
      keepIndex(hint.low, &hint.lowLength, index, length);
    } else if (compareIndexes(index, length, hint.high, hint.highLength) > 0) {
      keepIndex(hint.high, &hint.highLength, index, length);
    }
    any = true;
  }
  hint.fromStart = hint.fromStart || !any;
}

int lookupHint_handler(netsnmp_mib_handler* handler, netsnmp_handler_registration* reg,
                       netsnmp_agent_request_info* reqinfo, netsnmp_request_info* requests) {
  noteRequestedIndexes(static_cast<const netsnmp_iterator_info*>(handler->myvoid), reg, reqinfo,
                       requests);
  hintSet = true;
  const int result = netsnmp_call_next_handler(handler, reg, reqinfo, requests);
  hintSet = false;
  return result;
}

}  // namespace

int compareIndexes(const oid* a, size_t aLength, const oid* b, size_t bLength) {
  const size_t common = std::min(aLength, bLength);
  for (size_t i = 0; i < common; ++i) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  return aLength < bLength ? -1 : aLength > bLength ? 1 : 0;
}

int compareKeyToIndex(const unsigned char* key, size_t keyLength, const oid* index, size_t length) {
  const size_t common = std::min(keyLength, length);
  for (size_t i = 0; i < common; ++i) {
    if (key[i] != index[i]) return key[i] < index[i] ? -1 : 1;
  }
  return keyLength < length ? -1 : keyLength > length ? 1 : 0;
}

int compareKeys(const unsigned char* a, size_t aLength, const unsigned char* b, size_t bLength) {
  const int order = memcmp(a, b, std::min(aLength, bLength));
  if (order != 0) return order < 0 ? -1 : 1;
  return aLength < bLength ? -1 : aLength > bLength ? 1 : 0;
}

bool sortedTableLookup() {
  const char* choice = getenv(TABLE_LOOKUP_ENV);
  return choice == nullptr || strcmp(choice, "scan") != 0;
}

void setUpLookup(const FamilySpec& family, const netsnmp_handler_registration* reg,
                 netsnmp_iterator_info* iinfo) {
  FamilyLookup* f = familyLookup(family);
  if (f == nullptr) return;
  // Room left after the table OID, the entry's 1 and the column number.
  const size_t budget = MAX_OID_LEN - std::min<size_t>(MAX_OID_LEN, reg->rootoid_len + 2);
  f->indexBudget = std::min(f->indexBudget, budget);
  iinfo->myvoid = f;
  if (!sortedTableLookup()) {
    iinfo->get_first_data_point = scanFirst;
    iinfo->get_next_data_point = scanNext;
    return;
  }
  iinfo->get_first_data_point = viewFirst;
  iinfo->get_next_data_point = viewNext;
  iinfo->free_loop_context_at_end = freeViewWalk;
  iinfo->flags |= NETSNMP_ITERATOR_FLAG_SORTED;
}

void finishLookup(netsnmp_handler_registration* reg, netsnmp_iterator_info* iinfo) {
  if ((iinfo->flags & NETSNMP_ITERATOR_FLAG_SORTED) == 0) return;
  netsnmp_mib_handler* handler = netsnmp_create_handler("tarnLookupHint", lookupHint_handler);
  if (handler != nullptr) {
    handler->myvoid = iinfo;
    if (netsnmp_inject_handler_before(reg, handler, TABLE_ITERATOR_NAME) == SNMPERR_SUCCESS) return;
  }
  // Without the hint every lookup starts at the first row: right, but slower.
  ts_print("Warning: sorted table lookup without its index hint.\n");
}
