// The table framework's pure parts: column numbers, lookups and ranges, row
// lookup, the column dispatch with its value conversions, and the contexts.
#include "mib/snmpTables.h"

#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "snmpTables_testing.h"

namespace {

using namespace tablestest;  // NOLINT(build/namespaces)

FieldValue pagePool(const RowRecords& r) { return {nullptr, (uint64_t)r.node->pagePool}; }
FieldValue fsName(const RowRecords& r) { return {r.fs->name, 0}; }
FieldValue reads(const RowRecords& r) { return {nullptr, (uint32_t)r.fs->reads}; }
FieldValue inodes(const RowRecords& r) { return {nullptr, (uint32_t)r.fs->numTotalInodes}; }
FieldValue space(const RowRecords& r) { return {nullptr, (uint64_t)r.fs->totalSpace}; }

TEST(ColumnDispatch, SixtyFourBitValuesSplitIntoHalvesAndStayWhole) {
  static const ColumnRow kPairRow[] = {{0, COL_PAIR, pagePool, 1}};
  static const struct {  // -1: the bits as they are
    int64_t value;
    uint32_t low, high;
  } kCases[] = {
      {4294967297LL, 1u, 1u}, {6442450944LL, 2147483648u, 1u}, {-1, 0xFFFFFFFFu, 0xFFFFFFFFu}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.value);
    MErrno err;
    NodeInfo node(&err);
    node.pagePool = c.value;
    const RowRecords row = {nullptr, &node, nullptr, nullptr, nullptr};
    const int colTable[2] = {12, 20};
    CellValue low, high, whole;
    ASSERT_TRUE(resolveColumn(kPairRow, 1, colTable, 12, row, &low));
    ASSERT_TRUE(resolveColumn(kPairRow, 1, colTable, 13, row, &high));
    ASSERT_TRUE(resolveColumn(kPairRow, 1, colTable, 20, row, &whole));
    EXPECT_EQ(low.type, ASN_UNSIGNED);
    EXPECT_EQ(high.type, ASN_UNSIGNED);
    EXPECT_EQ(whole.type, ASN_COUNTER64);
    EXPECT_EQ(low.number, c.low);
    EXPECT_EQ(high.number, c.high);
    EXPECT_EQ(whole.wide.low, c.low);
    EXPECT_EQ(whole.wide.high, c.high);
  }
}

// A small table shaped like a real one: text, number, a 32-bit pair and a
// 64-bit pair, answered from one file system record.
const ColumnRow kFsRows[] = {{0, COL_TEXT, fsName, 0},
                             {1, COL_NUMBER, reads, 0},
                             {2, COL_PAIR, inodes, 0},
                             {3, COL_PAIR, space, 0}};

class FsDispatch : public ::testing::Test {
 protected:
  FsDispatch() : fs(&err) {
    copyText(fs.name, "gpfs 1");
    fs.reads = -2;
    fs.numTotalInodes = -1;
    fs.totalSpace = 6442450944LL;
  }
  bool answer(int colnum, CellValue* cell, int rows = 4) {
    return resolveColumn(kFsRows, rows, colTable, colnum, row, cell);
  }
  MErrno err;
  FilesystemInfo fs;
  RowRecords row = {nullptr, nullptr, &fs, nullptr, nullptr};
  int colTable[4] = {1, 2, 4, 6};
  CellValue cell;
};

TEST_F(FsDispatch, EachKindAnswersItsColumns) {
  ASSERT_TRUE(answer(1, &cell));
  EXPECT_EQ(cell.type, ASN_OCTET_STR);
  EXPECT_EQ(std::string(cell.text, cell.length), "gpfs 1");
  // Column 5 is the H of a 32-bit field: always 0.
  static const struct {
    int col;
    uint32_t number;
  } kNumbers[] = {{2, 0xFFFFFFFEu}, {4, 0xFFFFFFFFu}, {5, 0u}, {6, 2147483648u}, {7, 1u}};
  for (const auto& c : kNumbers) {
    SCOPED_TRACE(c.col);
    ASSERT_TRUE(answer(c.col, &cell));
    EXPECT_EQ(cell.type, ASN_UNSIGNED);
    EXPECT_EQ(cell.number, c.number);
  }
}

TEST_F(FsDispatch, ColumnsWithoutAFilledSlotNeverAnswer) {
  for (int col : {3, 8, 0}) EXPECT_FALSE(answer(col, &cell)) << col;  // 3: between the pairs
  EXPECT_FALSE(answer(2, &cell, 1));  // a text column has no H column
  colTable[3] = -1;                   // the 64-bit pair missing from the MIB: L and "H = 0"
  EXPECT_FALSE(answer(-1, &cell));
  EXPECT_FALSE(answer(0, &cell));
  colTable[0] = 0;  // never looked up
  EXPECT_FALSE(answer(0, &cell));
  EXPECT_FALSE(answer(1, &cell));
}

TEST_F(FsDispatch, FirstMatchingSlotInOrderDecides) {
  colTable[1] = 1;  // a MIB that numbers two objects alike: the earlier row wins
  ASSERT_TRUE(answer(1, &cell));
  EXPECT_EQ(cell.type, ASN_OCTET_STR);
  colTable[1] = 2;
  colTable[3] = 5;  // the 32-bit pair's H (5) comes before the 64-bit pair's L (5)
  ASSERT_TRUE(answer(5, &cell));
  EXPECT_EQ(cell.number, 0u);
}

TEST(DiskTime, SecondsBecomeWholeMicrosecondsClamped) {
  static const struct {
    double seconds;
    uint64_t micros;
  } kCases[] = {
      {1.5, 1500000u},  // 0.0000019 truncated toward zero
      {5000.0, 5000000000u}, {0.0000019, 1u}, {0.0, 0u},           {-0.5, 0u},
      {-1e30, 0u},           {NAN, 0u},       {1e300, UINT64_MAX}, {INFINITY, UINT64_MAX}};
  for (const auto& c : kCases) EXPECT_EQ(diskTimeMicros(c.seconds), c.micros) << c.seconds;
}

TEST(ColumnAt, ReadsTheLow32BitsAtThePosition) {
  const oid name[] = {1, 3, 6, 1, 4, 1, 32473, 1, 2, 1, 7};
  EXPECT_EQ(columnAt(name, 11, 10), 7);
  EXPECT_EQ(columnAt(name, 11, 11), -1);
  EXPECT_EQ(columnAt(name, 10, 10), -1);
  const oid wide[] = {1, 0x100000005ULL};
  EXPECT_EQ(columnAt(wide, 2, 1), 5);
}

// A stand-in MIB: table T at 1.3.6.1.4.1.32473.9 with its entry at .1.
std::map<std::string, std::vector<oid>> fakeMib;

bool resolveFake(const char* name, oid* out, size_t* length) {
  auto it = fakeMib.find(name);
  if (it == fakeMib.end() || it->second.size() > *length) return false;
  std::copy(it->second.begin(), it->second.end(), out);
  *length = it->second.size();
  return true;
}

std::vector<oid> column(oid n) { return {1, 3, 6, 1, 4, 1, 32473, 9, 1, n}; }

// Looks up T's columns in fakeMib; the slots filled, the range and stderr.
struct Lookup {
  std::vector<int> slots;
  ColumnRange range;
  std::string err;
};
Lookup lookUp() {
  static const ColumnLookup kLookups[] = {
      {"cName", 0, false}, {"cSpaceL", 1, true}, {"cCount", 2, false}, {"cLastL", 3, true}};
  static const TableSpec kTable = {"T", nullptr, kLookups, 4, nullptr};
  Lookup out = {std::vector<int>(5, 0), {999999, 0}, ""};
  testing::internal::CaptureStderr();
  lookupColumns(kTable, 9, out.slots.data(), &out.range, resolveFake);  // position: 8 + 1
  out.err = testing::internal::GetCapturedStderr();
  return out;
}

TEST(ColumnLookups, FillSlotsAndWidenTheRangeByLObjects) {
  fakeMib = {{"TARN-MIB:cName", column(2)},
             {"TARN-MIB:cSpaceL", column(4)},
             {"TARN-MIB:cCount", column(6)},
             {"TARN-MIB:cLastL", column(9)}};
  Lookup got = lookUp();
  EXPECT_EQ(got.slots, (std::vector<int>{2, 4, 6, 9, 0}));
  EXPECT_EQ(got.range.min, 2);
  EXPECT_EQ(got.range.max, 10);  // the last object is an L: its H is 10
  fakeMib["TARN-MIB:cLastL"] = column(1);
  got = lookUp();
  EXPECT_EQ(got.range.min, 1);
  EXPECT_EQ(got.range.max, 6);
}

TEST(ColumnLookups, MissingObjectsGetMinusOneAndAWarning) {
  fakeMib = {{"TARN-MIB:cName", column(2)},
             {"TARN-MIB:cCount", {1, 3, 6, 1, 4, 1, 32473, 9, 1}}};  // too short
  const Lookup got = lookUp();
  EXPECT_EQ(got.slots, (std::vector<int>{2, -1, -1, -1, 0}));
  EXPECT_EQ(got.range.min, 2);
  EXPECT_EQ(got.range.max, 2);
  for (const char* name : {"cSpaceL/H", "cCount", "cLastL/H"}) {
    EXPECT_NE(got.err.find(std::string("Warning: object ") + name + " not found in MIB file.\n"),
              std::string::npos)
        << name;
  }
  EXPECT_EQ(got.err.find("cName"), std::string::npos);
  fakeMib.clear();  // no column at all leaves the empty range
  const Lookup none = lookUp();
  EXPECT_EQ(none.range.min, 999999);
  EXPECT_EQ(none.range.max, 0);
}

class FindRow : public ::testing::Test {
 protected:
  FindRow() : cluster(&err) {
    addNode(&cluster, "n1");
    cluster.nodes.push_back(nullptr);
    FilesystemInfo* a = addFs(&cluster, "A");
    StoragePoolInfo* system = addPool(a, "system");
    addDisk(system, "d1");
    system->disks.push_back(nullptr);
    a->pools.push_back(nullptr);
    cluster.fileSystems.push_back(nullptr);
  }
  bool find(RowLevel level, int node, int fs, int pool, int disk) {
    TableLoopContext ctx = {node, fs, pool, disk, 0};
    return findRow(&cluster, &ctx, level, &row);
  }
  MErrno err;
  ClusterInfo cluster;
  RowRecords row;
};

TEST_F(FindRow, FindsTheRecordsOfEveryLevel) {
  ASSERT_TRUE(find(ROW_DISK, 0, 0, 0, 0));
  EXPECT_STREQ(row.fs->name, "A");
  EXPECT_STREQ(row.pool->name, "system");
  EXPECT_STREQ(row.disk->name, "d1");
  EXPECT_EQ(row.cluster, &cluster);
  ASSERT_TRUE(find(ROW_NODE, 0, 9, 9, 9));  // other levels' positions are not looked at
  EXPECT_STREQ(row.node->name, "n1");
  EXPECT_EQ(row.fs, nullptr);
  ASSERT_TRUE(find(ROW_POOL, 9, 0, 0, 9));
  EXPECT_EQ(row.disk, nullptr);
}

TEST_F(FindRow, PositionsOutsideTheListsOrOnEmptySlotsFail) {
  // Position 1 of every list is an empty slot.
  static const struct {
    RowLevel level;
    int node, fs, pool, disk;
  } kCases[] = {{ROW_NODE, -1, 0, 0, 0}, {ROW_NODE, 1, 0, 0, 0},  {ROW_NODE, 2, 0, 0, 0},
                {ROW_FS, 0, -1, 0, 0},   {ROW_FS, 0, 1, 0, 0},    {ROW_FS, 0, 2, 0, 0},
                {ROW_POOL, 0, 0, 1, 0},  {ROW_POOL, 0, 0, -1, 0}, {ROW_DISK, 0, 0, 0, 1},
                {ROW_DISK, 0, 0, 0, 2},  {ROW_DISK, 0, 1, 0, 0}};
  for (const auto& c : kCases) {
    EXPECT_FALSE(find(c.level, c.node, c.fs, c.pool, c.disk))
        << c.level << ": " << c.node << "/" << c.fs << "/" << c.pool << "/" << c.disk;
  }
  EXPECT_FALSE(findRow(&cluster, nullptr, ROW_NODE, &row));
  EXPECT_TRUE(findRow(&cluster, nullptr, ROW_CLUSTER, &row));
  EXPECT_FALSE(findRow(nullptr, nullptr, ROW_CLUSTER, &row));
}

TEST(Contexts, DataContextIsAnIndependentCopy) {
  TableLoopContext loop = {1, 2, 3, 4, 1};
  auto* copy = static_cast<TableLoopContext*>(tarnMgmt_make_data_context(&loop, nullptr));
  ASSERT_NE(copy, nullptr);
  ASSERT_NE(copy, &loop);
  loop.diskIndex = 99;
  EXPECT_EQ(copy->nodeIndex, 1);
  EXPECT_EQ(copy->fsIndex, 2);
  EXPECT_EQ(copy->poolIndex, 3);
  EXPECT_EQ(copy->diskIndex, 4);
  EXPECT_EQ(copy->perf, 1);
  tarnMgmt_free_loop_context(copy, nullptr);
  auto* blank = static_cast<TableLoopContext*>(tarnMgmt_make_data_context(nullptr, nullptr));
  ASSERT_NE(blank, nullptr);
  EXPECT_EQ(blank->fsIndex, 0);
  tarnMgmt_free_loop_context(blank, nullptr);
  tarnMgmt_free_loop_context(nullptr, nullptr);  // ignored
}

// A key as an OID encodes index names: per name its length, then its bytes.
std::string keyOf(std::initializer_list<std::string> names) {
  std::string key;
  for (const std::string& name : names) key += static_cast<char>(name.size()) + name;
  return key;
}

int compare(const std::string& a, const std::string& b) {
  const auto* ua = reinterpret_cast<const unsigned char*>(a.data());
  const auto* ub = reinterpret_cast<const unsigned char*>(b.data());
  std::vector<oid> index(ub, ub + b.size());
  const int byKey = compareKeys(ua, a.size(), ub, b.size());
  // The same order against the index as sub-identifiers, and between two indexes.
  std::vector<oid> other(ua, ua + a.size());
  EXPECT_EQ(byKey, compareKeyToIndex(ua, a.size(), index.data(), index.size()));
  EXPECT_EQ(byKey, compareIndexes(other.data(), other.size(), index.data(), index.size()));
  return byKey;
}

TEST(IndexOrder, LengthOfANameFirstThenItsBytesThenTheNextName) {
  struct Case {
    std::string a, b;
    int order;
  } const cases[] = {
      {keyOf({"b"}), keyOf({"aa"}), -1},             // a shorter name first
      {keyOf({"ab"}), keyOf({"aa"}), 1},             // then the bytes
      {keyOf({"a", "zz"}), keyOf({"aa", "a"}), -1},  // the first name decides
      {keyOf({"fs", "b"}), keyOf({"fs", "a"}), 1},
      {keyOf({"\x80"}), keyOf({"z"}), 1},      // bytes count unsigned
      {keyOf({"fs"}), keyOf({"fs", ""}), -1},  // a prefix first
      {keyOf({"fs", "p"}), keyOf({"fs", "p"}), 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(compare(c.a, c.b), c.order) << c.a << " / " << c.b;
    EXPECT_EQ(compare(c.b, c.a), -c.order) << c.b << " / " << c.a;
  }
  const unsigned char key[] = {1, 'a'};
  const oid beyondAByte[] = {1, 300};
  EXPECT_LT(compareKeyToIndex(key, 2, beyondAByte, 2), 0);
}

}  // namespace
