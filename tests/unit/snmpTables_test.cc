// The table framework's pure parts: column numbers from OIDs, the column
// lookups and ranges, row lookup by position, the column dispatch with its
// value conversions, and the contexts.
#include "mib/snmpTables.h"

#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "snmpTables_testing.h"

namespace {

using tablestest::addDisk;
using tablestest::addFs;
using tablestest::addNode;
using tablestest::addPool;

// The high and low halves a pair column publishes for a field.
struct Halves {
  uint32_t low;
  uint32_t high;
};

const ColumnRow kPairRow[] = {
    {0, COL_PAIR,
     [](const RowRecords& r) {
       return FieldValue{nullptr, (uint64_t)r.node->pagePool};
     }},
};

Halves pairOf(int64_t value) {
  MErrno err;
  NodeInfo node(&err);
  node.pagePool = value;
  RowRecords row = {nullptr, &node, nullptr, nullptr, nullptr};
  const int colTable[1] = {12};
  CellValue low, high;
  EXPECT_TRUE(resolveColumn(kPairRow, 1, colTable, 12, row, &low));
  EXPECT_TRUE(resolveColumn(kPairRow, 1, colTable, 13, row, &high));
  EXPECT_EQ(low.type, ASN_UNSIGNED);
  EXPECT_EQ(high.type, ASN_UNSIGNED);
  return Halves{low.number, high.number};
}

TEST(ColumnDispatch, SixtyFourBitValuesSplitIntoHalves) {
  Halves h = pairOf(4294967297LL);
  EXPECT_EQ(h.low, 1u);
  EXPECT_EQ(h.high, 1u);
  h = pairOf(6442450944LL);
  EXPECT_EQ(h.low, 2147483648u);
  EXPECT_EQ(h.high, 1u);
  h = pairOf(-1);  // the bits as they are
  EXPECT_EQ(h.low, 0xFFFFFFFFu);
  EXPECT_EQ(h.high, 0xFFFFFFFFu);
}

// Dispatch over a small table shaped like a real one: text, number, a
// 32-bit pair and a 64-bit pair, answered from one file system record.
const ColumnRow kFsRows[] = {
    {0, COL_TEXT,
     [](const RowRecords& r) {
       return FieldValue{r.fs->name, 0};
     }},
    {1, COL_NUMBER,
     [](const RowRecords& r) {
       return FieldValue{nullptr, (uint32_t)r.fs->reads};
     }},
    {2, COL_PAIR,
     [](const RowRecords& r) {
       return FieldValue{nullptr, (uint32_t)r.fs->numTotalInodes};
     }},
    {3, COL_PAIR,
     [](const RowRecords& r) {
       return FieldValue{nullptr, (uint64_t)r.fs->totalSpace};
     }},
};

class FsDispatch : public ::testing::Test {
 protected:
  FsDispatch() : fs(&err) {
    copyText(fs.name, "gpfs 1");
    fs.reads = -2;
    fs.numTotalInodes = -1;
    fs.totalSpace = 6442450944LL;
    row = RowRecords{nullptr, nullptr, &fs, nullptr, nullptr};
  }
  bool answer(int colnum, CellValue* cell) {
    return resolveColumn(kFsRows, 4, colTable, colnum, row, cell);
  }
  MErrno err;
  FilesystemInfo fs;
  RowRecords row;
  int colTable[4] = {1, 2, 4, 6};
};

TEST_F(FsDispatch, EachKindAnswersItsColumns) {
  CellValue cell;
  ASSERT_TRUE(answer(1, &cell));
  EXPECT_EQ(cell.type, ASN_OCTET_STR);
  EXPECT_EQ(std::string(cell.text, cell.length), "gpfs 1");
  ASSERT_TRUE(answer(2, &cell));
  EXPECT_EQ(cell.type, ASN_UNSIGNED);
  EXPECT_EQ(cell.number, 0xFFFFFFFEu);
  ASSERT_TRUE(answer(4, &cell));
  EXPECT_EQ(cell.number, 0xFFFFFFFFu);
  ASSERT_TRUE(answer(5, &cell));  // a 32-bit field's H column is always 0
  EXPECT_EQ(cell.number, 0u);
  ASSERT_TRUE(answer(6, &cell));
  EXPECT_EQ(cell.number, 2147483648u);
  ASSERT_TRUE(answer(7, &cell));
  EXPECT_EQ(cell.number, 1u);
}

TEST_F(FsDispatch, ColumnsWithoutASlotAreLeftAlone) {
  CellValue cell;
  EXPECT_FALSE(answer(3, &cell));  // between the pairs: nobody's column
  EXPECT_FALSE(answer(8, &cell));
  EXPECT_FALSE(answer(0, &cell));
  // A text column has no H column.
  EXPECT_FALSE(resolveColumn(kFsRows, 1, colTable, 2, row, &cell));
}

TEST_F(FsDispatch, MissingAndUnfilledSlotsNeverAnswer) {
  CellValue cell;
  colTable[3] = -1;  // the 64-bit pair missing from the MIB: L and "H = 0"
  EXPECT_FALSE(answer(-1, &cell));
  EXPECT_FALSE(answer(0, &cell));
  colTable[0] = 0;  // never looked up
  EXPECT_FALSE(answer(0, &cell));
  EXPECT_FALSE(answer(1, &cell));
}

TEST_F(FsDispatch, FirstMatchingSlotInOrderDecides) {
  CellValue cell;
  colTable[1] = 1;  // a MIB that numbers two objects alike: the earlier row wins
  ASSERT_TRUE(answer(1, &cell));
  EXPECT_EQ(cell.type, ASN_OCTET_STR);
  colTable[1] = 2;
  colTable[3] = 5;  // the 32-bit pair's H (5) comes before the 64-bit pair's L (5)
  ASSERT_TRUE(answer(5, &cell));
  EXPECT_EQ(cell.number, 0u);
}

TEST(DiskTime, SecondsBecomeWholeMicrosecondsInTwoHalves) {
  EXPECT_EQ(diskTimeMicros(1.5), 1500000u);
  EXPECT_EQ(diskTimeMicros(5000.0), 5000000000u);
  EXPECT_EQ(diskTimeMicros(5000.0) & 0xFFFFFFFFu, 705032704u);
  EXPECT_EQ(diskTimeMicros(5000.0) >> 32, 1u);
  EXPECT_EQ(diskTimeMicros(0.0000019), 1u);  // truncated toward zero
  EXPECT_EQ(diskTimeMicros(0.0), 0u);
}

TEST(DiskTime, OutOfRangeValuesAreClampedNotUndefined) {
  EXPECT_EQ(diskTimeMicros(-0.5), 0u);
  EXPECT_EQ(diskTimeMicros(-1e30), 0u);
  EXPECT_EQ(diskTimeMicros(NAN), 0u);
  EXPECT_EQ(diskTimeMicros(1e300), UINT64_MAX);
  EXPECT_EQ(diskTimeMicros(INFINITY), UINT64_MAX);
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
std::map<std::string, std::vector<oid>>& fakeMib() {
  static std::map<std::string, std::vector<oid>> mib;
  return mib;
}

bool resolveFake(const char* name, oid* out, size_t* length) {
  auto it = fakeMib().find(name);
  if (it == fakeMib().end() || it->second.size() > *length) return false;
  std::copy(it->second.begin(), it->second.end(), out);
  *length = it->second.size();
  return true;
}

std::vector<oid> column(oid n) { return {1, 3, 6, 1, 4, 1, 32473, 9, 1, n}; }

const ColumnLookup kLookups[] = {
    {"cName", 0, false},
    {"cSpaceL", 1, true},
    {"cCount", 2, false},
    {"cLastL", 3, true},
};
const TableSpec kTable = {"T", nullptr, kLookups, 4, nullptr};
const size_t kPosition = 9;  // table OID of 8 sub-identifiers, plus 1

TEST(ColumnLookups, FillSlotsAndWidenTheRangeByLObjects) {
  fakeMib() = {{"TARN-MIB:cName", column(2)},
               {"TARN-MIB:cSpaceL", column(4)},
               {"TARN-MIB:cCount", column(6)},
               {"TARN-MIB:cLastL", column(9)}};
  int colTable[5] = {0, 0, 0, 0, 0};
  ColumnRange range = {999999, 0};
  lookupColumns(kTable, kPosition, colTable, &range, resolveFake);
  EXPECT_EQ(std::vector<int>(colTable, colTable + 5), (std::vector<int>{2, 4, 6, 9, 0}));
  EXPECT_EQ(range.min, 2);
  EXPECT_EQ(range.max, 10);  // the last object is an L: its H is 10
  fakeMib()["TARN-MIB:cLastL"] = column(1);
  range = {999999, 0};
  lookupColumns(kTable, kPosition, colTable, &range, resolveFake);
  EXPECT_EQ(range.min, 1);
  EXPECT_EQ(range.max, 6);
}

TEST(ColumnLookups, MissingObjectsGetMinusOneAndAWarning) {
  fakeMib() = {{"TARN-MIB:cName", column(2)},
               {"TARN-MIB:cCount", {1, 3, 6, 1, 4, 1, 32473, 9, 1}}};  // too short
  int colTable[4] = {0, 0, 0, 0};
  ColumnRange range = {999999, 0};
  testing::internal::CaptureStderr();
  lookupColumns(kTable, kPosition, colTable, &range, resolveFake);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::vector<int>(colTable, colTable + 4), (std::vector<int>{2, -1, -1, -1}));
  EXPECT_EQ(range.min, 2);
  EXPECT_EQ(range.max, 2);
  EXPECT_NE(err.find("Warning: object cSpaceL/H not found in MIB file.\n"), std::string::npos);
  EXPECT_NE(err.find("Warning: object cCount not found in MIB file.\n"), std::string::npos);
  EXPECT_NE(err.find("Warning: object cLastL/H not found in MIB file.\n"), std::string::npos);
  EXPECT_EQ(err.find("cName"), std::string::npos);
}

TEST(ColumnLookups, NoColumnLeavesTheEmptyRange) {
  fakeMib().clear();
  int colTable[4] = {0, 0, 0, 0};
  ColumnRange range = {999999, 0};
  testing::internal::CaptureStderr();
  lookupColumns(kTable, kPosition, colTable, &range, resolveFake);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(range.min, 999999);
  EXPECT_EQ(range.max, 0);
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
  EXPECT_FALSE(find(ROW_NODE, -1, 0, 0, 0));
  EXPECT_FALSE(find(ROW_NODE, 1, 0, 0, 0));  // empty slot
  EXPECT_FALSE(find(ROW_NODE, 2, 0, 0, 0));
  EXPECT_FALSE(find(ROW_FS, 0, -1, 0, 0));
  EXPECT_FALSE(find(ROW_FS, 0, 1, 0, 0));
  EXPECT_FALSE(find(ROW_FS, 0, 2, 0, 0));
  EXPECT_FALSE(find(ROW_POOL, 0, 0, 1, 0));
  EXPECT_FALSE(find(ROW_POOL, 0, 0, -1, 0));
  EXPECT_FALSE(find(ROW_DISK, 0, 0, 0, 1));
  EXPECT_FALSE(find(ROW_DISK, 0, 0, 0, 2));
  EXPECT_FALSE(find(ROW_DISK, 0, 1, 0, 0));
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

}  // namespace
