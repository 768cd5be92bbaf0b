// The ten MIB tables, in five families (cluster, node, file system, storage
// pool, disk), served through the Net-SNMP table iterator from myCluster.
//
// Every table and column OID comes from the loaded MIB at start-up: each
// family keeps a column table (one int per column object it knows, holding the
// column number the MIB gives it, -1 when the MIB lacks it, 0 when never
// looked up). A 64-bit value is published as an L column and an H column
// numbered L + 1, and also whole in a Counter64 column of its own. Each family has one
// get-first/get-next pair that walks the rows of myCluster in list order, refreshing the levels it
// shows (see snmpRefresh.h), and one handler per table that answers the requested column from the
// row's records.
//
// Registration runs once on the main thread before requests are served; the
// walks, handlers and context functions run on the main thread inside the
// SNMP request loop. Nothing here takes a lock.
#ifndef TNMIBD_MIB_SNMPTABLES_H_
#define TNMIBD_MIB_SNMPTABLES_H_

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <stddef.h>
#include <stdint.h>

class ClusterInfo;
class NodeInfo;
class FilesystemInfo;
class StoragePoolInfo;
class DiskInfo;

// Position of a table walk: get-first allocates it zeroed, get-next advances
// it in place; a data context is a copy of it as it stood at one row.
struct TableLoopContext {
  int32_t nodeIndex;  // node family
  int32_t fsIndex;    // file system, pool and disk families
  int32_t poolIndex;
  int32_t diskIndex;
  int32_t perf;  // non-zero when the walk serves a performance table
};

// Column tables: MIB column number per column object, by fixed slot.
extern int clusterColTable[19];
extern int nodeColTable[26];
extern int fsColTable[34];
extern int stgPoolColTable[7];
extern int diskColTable[37];

// Iterator infos of the two performance tables, so that the shared walk of a
// family can tell which table it serves. Null until registered.
extern netsnmp_iterator_info* fsPerf_iinfo;
extern netsnmp_iterator_info* diskPerf_iinfo;

// Calls of the request handlers of every object the agent serves (tables,
// health scalars, version scalar) so far: the main loop keeps polling for the
// next request after a turn that served one. Main thread.
extern uint64_t requestsServed;

// Registers the five families, in order. Once, after the MIB is read.
void init_tarnMgmtTables();
void initialize_table_tarnClusterTable();
void initialize_table_tarnNodeTable();
void initialize_table_tarnFileSystemTable();
void initialize_table_tarnStgPoolTable();
void initialize_table_tarnDiskTable();

// A new copy of loopContext (a new zeroed context when it is null); the
// iterator owns it and frees it with tarnMgmt_free_loop_context.
void* tarnMgmt_make_data_context(void* loopContext, netsnmp_iterator_info* iinfo);
// Deletes a loop or data context; null is ignored.
void tarnMgmt_free_loop_context(void* context, netsnmp_iterator_info* iinfo);

// The walks: get-first returns putIndexData set to the first row's index
// values (null for an empty table) and hands a new loop context over (except
// the cluster family); get-next returns the next row's, or null after the last.
Netsnmp_First_Data_Point tarnClusterTable_get_first_data_point;
Netsnmp_Next_Data_Point tarnClusterTable_get_next_data_point;
Netsnmp_First_Data_Point tarnNodeTable_get_first_data_point;
Netsnmp_Next_Data_Point tarnNodeTable_get_next_data_point;
Netsnmp_First_Data_Point tarnFileSystemTable_get_first_data_point;
Netsnmp_Next_Data_Point tarnFileSystemTable_get_next_data_point;
Netsnmp_First_Data_Point tarnStgPoolTable_get_first_data_point;
Netsnmp_Next_Data_Point tarnStgPoolTable_get_next_data_point;
Netsnmp_First_Data_Point tarnDiskTable_get_first_data_point;
Netsnmp_Next_Data_Point tarnDiskTable_get_next_data_point;

// The handlers: answer MODE_GET requests from myCluster and return 0, or the
// family's error status (2 for nodes, 3 for file systems, pools and disks) at
// the first request whose row is missing; other modes are left alone.
Netsnmp_Node_Handler tarnClusterStatusTable_handler;
Netsnmp_Node_Handler tarnClusterConfigTable_handler;
Netsnmp_Node_Handler tarnNodeStatusTable_handler;
Netsnmp_Node_Handler tarnNodeConfigTable_handler;
Netsnmp_Node_Handler tarnFileSystemStatusTable_handler;
Netsnmp_Node_Handler tarnFileSystemPerfTable_handler;
Netsnmp_Node_Handler tarnStgPoolTable_handler;
Netsnmp_Node_Handler tarnDiskStatusTable_handler;
Netsnmp_Node_Handler tarnDiskConfigTable_handler;
Netsnmp_Node_Handler tarnDiskPerfTable_handler;

// ---- Building blocks shared by the families (pure: no SNMP library call) ----

// The level of a family's rows.
enum RowLevel { ROW_CLUSTER, ROW_NODE, ROW_FS, ROW_POOL, ROW_DISK };

// The records of one row; the levels below the family's stay null.
struct RowRecords {
  const ClusterInfo* cluster;
  const NodeInfo* node;
  const FilesystemInfo* fs;
  const StoragePoolInfo* pool;
  const DiskInfo* disk;
};

// Finds the records at ctx's positions in cluster for a family of the given
// level. False when a position is outside its list (negative included) or
// its slot holds no record.
bool findRow(const ClusterInfo* cluster, const TableLoopContext* ctx, RowLevel level,
             RowRecords* row);

// How a column publishes its field: text, a 32-bit number, or the L/H halves
// of a 64-bit value (the H column is the L column number plus one) together
// with that value whole as a Counter64 column. COL_LOW_PAIR is a pair whose
// L/H columns have always carried only the low 32 bits (H 0), as managers
// that read them expect; its Counter64 column still gives the whole value.
enum ColumnKind { COL_TEXT, COL_NUMBER, COL_PAIR, COL_LOW_PAIR };

// A field as read from a row: text for COL_TEXT, else the number.
struct FieldValue {
  const char* text;
  uint64_t number;
};

// One answerable column of a table: its column-table slot, kind and field.
// A pair also answers its 64-bit column (slot wideSlot; 0 for none), so the
// three columns read the one field of the same record.
struct ColumnRow {
  int slot;
  ColumnKind kind;
  FieldValue (*read)(const RowRecords& row);
  int wideSlot;
};

// A value ready to be set on a request's variable.
struct CellValue {
  u_char type;            // ASN_OCTET_STR, ASN_UNSIGNED (0x42) or ASN_COUNTER64
  const char* text;       // ASN_OCTET_STR: the characters, without the NUL
  size_t length;          // ASN_OCTET_STR: their number
  uint32_t number;        // ASN_UNSIGNED
  struct counter64 wide;  // ASN_COUNTER64
};

// Answers column number colnum from the first of rows (in their order, an L
// before its H, then its 64-bit column) whose slot in colTable matches; slots
// holding 0 or -1 never match. False when none does.
bool resolveColumn(const ColumnRow* rows, size_t count, const int* colTable, int colnum,
                   const RowRecords& row, CellValue* cell);

// A disk time in seconds as whole microseconds, truncated toward zero;
// negative (or not a number) gives 0, and values past 64 bits saturate.
uint64_t diskTimeMicros(double seconds);

// The column number read from an object's OID at position (counting from 0):
// the low 32 bits of that sub-identifier, or -1 when the OID is not longer
// than position.
int columnAt(const oid* name, size_t length, size_t position);

// ---- Family plumbing: one registration routine and one handler routine ----

// Looks an object up by its module-qualified name into name (capacity in
// *length on entry, the OID's length on return); false when it does not resolve.
typedef bool (*ObjectResolver)(const char* qualifiedName, oid* name, size_t* length);

// One column object a table looks up: name in TARN-MIB, slot, and whether it
// is an L object (its H column, L + 1, widens the range too).
struct ColumnLookup {
  const char* object;
  int slot;
  bool pair;
};

// One conceptual table of a family.
struct TableSpec {
  const char* name;  // the table object, also the registration name
  Netsnmp_Node_Handler* handler;
  const ColumnLookup* lookups;
  size_t lookupCount;
  netsnmp_iterator_info** keepInfo;  // where to store its iterator info, or null
};

// One family: its column table, index levels, walk, and tables in order.
struct FamilySpec {
  int* colTable;
  int indexLevels;
  Netsnmp_First_Data_Point* getFirst;
  Netsnmp_Next_Data_Point* getNext;
  const TableSpec* tables;
  size_t tableCount;
};

// The column range of one table as its lookups widen it.
struct ColumnRange {
  int min;  // starts at 999999
  int max;  // starts at 0
};

// Looks table's column objects up in order with resolve: a column number read
// at columnPosition goes to its slot and widens range; an object that does
// not resolve (or whose OID is too short) gets -1 and a warning line.
void lookupColumns(const TableSpec& table, size_t columnPosition, int* colTable, ColumnRange* range,
                   ObjectResolver resolve);

// Registers every table of family that the MIB holds (a missing table object
// is reported and that table skipped).
void registerFamily(const FamilySpec& family);

// What one handler answers: its columns in matching order, the family's
// column table, row level, and the status for a request whose row is missing.
struct HandlerSpec {
  const ColumnRow* columns;
  size_t columnCount;
  const int* colTable;
  RowLevel level;
  int missingRowStatus;
};

// The shared handler: for MODE_GET, answers each unprocessed request from
// myCluster; returns 0, or missingRowStatus at the first request whose row
// cannot be found (the requests after it are left untouched).
int serveRequests(const HandlerSpec& spec, netsnmp_agent_request_info* reqinfo,
                  netsnmp_request_info* requests);

// Sets a row's index values: names[i] on the i-th variable from put.
void setRowIndexes(netsnmp_variable_list* put, const char* const* names, int count);

// ---- Row lookup: the rows the iterator is handed (snmpTablesLookup.cc) ----

// Environment variable choosing how the iterator finds a request's row:
// "scan" hands it every row in list order for every varbind; unset or any
// other value hands it the rows in index order from the requested index on.
#define TABLE_LOOKUP_ENV "TNMIBD_TABLE_LOOKUP"

// False when TABLE_LOOKUP_ENV is "scan".
bool sortedTableLookup();

// Before one table of family is registered: ties iinfo to the family's lookup
// and installs the lookup's walk (rows whose index does not fit in an OID
// after reg's OID are left out, with one warning each until the next poll).
void setUpLookup(const FamilySpec& family, const netsnmp_handler_registration* reg,
                 netsnmp_iterator_info* iinfo);
// After it is registered: puts the index hint handler ahead of the iterator
// (sorted lookup only).
void finishLookup(netsnmp_handler_registration* reg, netsnmp_iterator_info* iinfo);

// Orders like snmp_oid_compare (<0, 0, >0). A key is a row's index names as
// an OID encodes them, one byte per sub-identifier: per name its length, then
// its bytes.
int compareIndexes(const oid* a, size_t aLength, const oid* b, size_t bLength);
int compareKeyToIndex(const unsigned char* key, size_t keyLength, const oid* index, size_t length);
int compareKeys(const unsigned char* a, size_t aLength, const unsigned char* b, size_t bLength);

#endif  // TNMIBD_MIB_SNMPTABLES_H_
