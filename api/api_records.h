// The cluster data records: one ClusterInfo owns its nodes and file systems, a
// FilesystemInfo owns its storage pools, a StoragePoolInfo owns its disks.
//
// Two trees of these exist: the polling handler's master tree and the SNMP
// side's copy. The merges (copyNodes, copyFS, copyPools, copyDisks) and the
// assignments carry field values from one tree into the other; a record is
// never shared between two lists. The records have no lock of their own: the
// owner of a tree decides which thread may touch it.
#ifndef TNMIBD_API_API_RECORDS_H_
#define TNMIBD_API_API_RECORDS_H_

#include <stdint.h>
#include <string.h>
#include <sys/time.h>

#include <string_view>
#include <unordered_map>
#include <vector>

#include "api/merrno.h"

// Size of every text field of the records but one (unmountOnDiskFail).
enum { RECORD_TEXT_SIZE = 128, RECORD_SHORT_TEXT_SIZE = 32 };

// Most pools, and most disks in all its pools, that one file system holds:
// far beyond any real configuration, and small enough that a daemon answer
// or a configuration cannot make the agent grow without end.
enum { MAX_POOLS_PER_FS = 256, MAX_DISKS_PER_FS = 8192 };

// The positions of a list's records by their key text, so that a pass over
// an answer or a merge looks each record up in constant time instead of
// walking the list. Valid while the list is not reordered and no key text
// changes; records appended to the list are entered with add. Null slots and
// later duplicates are not entered: find gives the first position, as a
// walk of the list would.
template <class R>
class KeyIndex {
 public:
  KeyIndex(const std::vector<R*>& list, char (R::*key)[RECORD_TEXT_SIZE]) : key_(key) {
    positions_.reserve(list.size());
    for (size_t i = 0; i < list.size(); i++) add(list[i], static_cast<int32_t>(i));
  }
  // Position of the first record whose key equals value, or -1 (null value included).
  int32_t find(const char* value) const {
    if (value == nullptr) return -1;
    auto at = positions_.find(std::string_view(value, strnlen(value, RECORD_TEXT_SIZE)));
    return at == positions_.end() ? -1 : at->second;
  }
  // Enters rec (non-null, staying at position) unless its key is already entered.
  void add(const R* rec, int32_t position) {
    if (rec == nullptr) return;
    const char* text = rec->*key_;
    positions_.emplace(std::string_view(text, strnlen(text, RECORD_TEXT_SIZE)), position);
  }

 private:
  char (R::*key_)[RECORD_TEXT_SIZE];
  std::unordered_map<std::string_view, int32_t> positions_;
};

// The statistics of a disk: the fields DiskInfo::clearStats zeroes.
struct DiskStats {
  double readTime, writeTime, longestReadTime, longestWriteTime, shortestReadTime,
      shortestWriteTime;
  int64_t readBytes, writeBytes;
  int32_t readOps, writeOps, perfInstances;
};

// One disk of a storage pool; identified by name.
class DiskInfo {
 public:
  // Sets *err to 0; every text empty but status "unknown", numbers zero.
  explicit DiskInfo(MErrno* err);
  ~DiskInfo();
  DiskInfo(const DiskInfo&) = delete;
  // Copies every field except inConfig.
  DiskInfo& operator=(const DiskInfo& src);
  // Zeroes the six times, readBytes, writeBytes, readOps, writeOps, perfInstances.
  void clearStats();
  // Those fields, read and written together.
  DiskStats stats() const;
  void setStats(const DiskStats& s);

  unsigned char inConfig = 0;
  char name[RECORD_TEXT_SIZE] = {};
  char nodeName[RECORD_TEXT_SIZE] = {};
  char status[RECORD_TEXT_SIZE] = {};
  char availability[RECORD_TEXT_SIZE] = {};
  int32_t failureGroup = 0;
  char metadata[RECORD_TEXT_SIZE] = {};
  char data[RECORD_TEXT_SIZE] = {};
  char diskWait[RECORD_TEXT_SIZE] = {};
  int64_t totalSpace = 0;
  int64_t fullBlockFreeSpace = 0;
  int64_t subBlockFreeSpace = 0;
  double readTime = 0;  // seconds
  double writeTime = 0;
  double longestReadTime = 0;
  double longestWriteTime = 0;
  double shortestReadTime = 0;
  double shortestWriteTime = 0;
  int64_t readBytes = 0;
  int64_t writeBytes = 0;
  int32_t readOps = 0;
  int32_t writeOps = 0;
  int32_t perfInstances = 0;
};

// One storage pool of a file system; identified by name. Owns its disks.
class StoragePoolInfo {
 public:
  // Sets *err to 0; all fields empty or zero; reserves room for 1024 disks.
  explicit StoragePoolInfo(MErrno* err);
  // Destroys the disks in list order.
  ~StoragePoolInfo();
  StoragePoolInfo(const StoragePoolInfo&) = delete;
  // Copies every field except disks and inConfig.
  StoragePoolInfo& operator=(const StoragePoolInfo& src);
  // Position of the first disk whose name equals diskName exactly, or -1.
  int32_t getDiskInfoIndex(const char* diskName) const;
  // Makes disks hold copies of src's disks (by name), then copies
  // diskUpdateTime and diskPerfUpdateTime. Disks src lacks are destroyed.
  void copyDisks(StoragePoolInfo* src);

  char name[RECORD_TEXT_SIZE] = {};
  char status[RECORD_TEXT_SIZE] = {};
  int32_t numDisks = 0;
  int64_t totalSpace = 0;
  int64_t freeSpace = 0;
  int32_t fsIndex = 0;
  unsigned char inConfig = 0;
  std::vector<DiskInfo*> disks;
  struct timeval diskUpdateTime = {};
  struct timeval diskPerfUpdateTime = {};
};

// One file system; identified by name. Owns its storage pools.
class FilesystemInfo {
 public:
  // Sets *err to 0; status "unknown", the rest empty or zero; reserves room for 256 pools.
  explicit FilesystemInfo(MErrno* err);
  // Destroys the pools in list order.
  ~FilesystemInfo();
  FilesystemInfo(const FilesystemInfo&) = delete;
  // Copies every field except pools and inConfig.
  FilesystemInfo& operator=(const FilesystemInfo& src);
  // Zeroes the three byte counters, the fourteen call and inode counters and perfInstances.
  void clearStats();
  // Position of the first pool whose name equals poolName exactly, or -1.
  int32_t getStoragePoolInfoIndex(const char* poolName) const;
  // Makes pools hold copies of src's pools (by name), then copies
  // poolUpdateTime. Goes one level deep: the disks of kept pools are untouched.
  void copyPools(FilesystemInfo* src);

  char name[RECORD_TEXT_SIZE] = {};
  char status[RECORD_TEXT_SIZE] = {};
  char xstatus[RECORD_TEXT_SIZE] = {};
  char util[RECORD_TEXT_SIZE] = {};
  int32_t readDuration = 0;
  int32_t writeDuration = 0;
  int32_t nsysmgt = 0;
  int32_t mgrChangeCnt = 0;
  int64_t totalSpace = 0;
  int64_t numTotalInodes = 0;
  int64_t freeSpace = 0;
  int64_t numFreeInodes = 0;
  int64_t fullFreeSpace = 0;
  int64_t fragFreeSpace = 0;
  char threadWait[RECORD_TEXT_SIZE] = {};
  char diskWait[RECORD_TEXT_SIZE] = {};
  int64_t bytesRead = 0;
  int64_t bytesCache = 0;
  int64_t bytesWritten = 0;
  int32_t reads = 0;
  int32_t caches = 0;
  int32_t writes = 0;
  int32_t openCalls = 0;
  int32_t closeCalls = 0;
  int32_t readCalls = 0;
  int32_t writeCalls = 0;
  int32_t readdirCalls = 0;
  int32_t inodesWritten = 0;
  int32_t inodesRead = 0;
  int32_t inodesDeleted = 0;
  int32_t inodesCreated = 0;
  int32_t statCacheHit = 0;
  int32_t statCacheMiss = 0;
  int32_t perfInstances = 0;
  std::vector<StoragePoolInfo*> pools;
  struct timeval poolUpdateTime = {};
  unsigned char inConfig = 0;
};

// One node of the cluster; identified by its IP address text.
class NodeInfo {
 public:
  // Sets *err to 0; every text empty, every number zero.
  explicit NodeInfo(MErrno* err);
  ~NodeInfo();
  NodeInfo(const NodeInfo&) = delete;
  // Copies every field except inConfig.
  NodeInfo& operator=(const NodeInfo& src);

  // Set while the node query that lists the node is read; 0 otherwise.
  unsigned char inConfig = 0;

  char name[RECORD_TEXT_SIZE] = {};
  char ip[RECORD_TEXT_SIZE] = {};
  char platform[RECORD_TEXT_SIZE] = {};
  char type[RECORD_TEXT_SIZE] = {};
  char admin[RECORD_TEXT_SIZE] = {};
  char status[RECORD_TEXT_SIZE] = {};
  char version[RECORD_TEXT_SIZE] = {};
  int32_t failureCount = 0;
  int32_t threadWait = 0;
  char healthy[RECORD_TEXT_SIZE] = {};
  char diagnosis[RECORD_TEXT_SIZE] = {};
  int64_t pagePool = 0;
  int32_t prefetchThreads = 0;
  int32_t maxMbps = 0;
  int32_t maxFilesToCache = 0;
  int32_t maxStatCache = 0;
  int32_t worker1Threads = 0;
  int32_t dmapiEventTimeout = 0;
  int32_t dmapiMountTimeout = 0;
  int32_t dmapiSessFailureTimeout = 0;
  int32_t nsdServerWaitTimeWindowOnMount = 0;
  int32_t nsdServerWaitTimeForMount = 0;
  char unmountOnDiskFail[RECORD_SHORT_TEXT_SIZE] = {};
};

// The cluster; owns its nodes and file systems.
class ClusterInfo {
 public:
  // Sets *err to 0; all fields empty or zero; reserves room for 1024 nodes and 32 file systems.
  explicit ClusterInfo(MErrno* err);
  // Destroys every node, then every file system (null entries skipped).
  ~ClusterInfo();
  ClusterInfo(const ClusterInfo&) = delete;
  // Copies the nine texts, the six numbers and nodeUpdateTime, fsUpdateTime,
  // fsPerfUpdateTime; leaves clusterUpdateTime, sdrUpdateTime and both lists.
  ClusterInfo& operator=(const ClusterInfo& src);
  // Position of the first node whose ip equals ipAddress exactly, or -1.
  int32_t getNodeInfoIndex(const char* ipAddress) const;
  // Position of the first file system whose name equals fsName exactly, or -1.
  int32_t getFilesystemInfoIndex(const char* fsName) const;
  // Makes nodes hold copies of src's nodes (by ip), then copies nodeUpdateTime.
  void copyNodes(ClusterInfo* src);
  // Makes fileSystems hold copies of src's file systems (by name), then copies
  // fsUpdateTime and fsPerfUpdateTime. The pools of kept file systems are untouched.
  void copyFS(ClusterInfo* src);
  // copyFS, then the pools of src's file system named fsName (of every one
  // when fsName is null) into the file system of the same name here.
  void copyPools(ClusterInfo* src, const char* fsName);
  // copyFS and every file system's pools, then the disks of src's pool named
  // poolName (of every pool when null) of the file system named fsName into
  // the pool of the same names here.
  void copyDisks(ClusterInfo* src, const char* fsName, const char* poolName);

  char name[RECORD_TEXT_SIZE] = {};
  char id[RECORD_TEXT_SIZE] = {};
  char queryField3[RECORD_TEXT_SIZE] = {};
  char minReleaseLevel[RECORD_TEXT_SIZE] = {};
  char uidDomain[RECORD_TEXT_SIZE] = {};
  char remoteShellCommand[RECORD_TEXT_SIZE] = {};
  char remoteFileCopyCommand[RECORD_TEXT_SIZE] = {};
  char primaryServer[RECORD_TEXT_SIZE] = {};
  char secondaryServer[RECORD_TEXT_SIZE] = {};
  int32_t maxBlockSize = 0;
  int32_t distributedTokenServer = 0;  // 0 or 1
  int32_t failureDetectionTime = 0;
  int32_t tcpPort = 0;
  int32_t minMissedPingTimeout = 0;
  int32_t maxMissedPingTimeout = 0;
  struct timeval clusterUpdateTime = {};
  std::vector<NodeInfo*> nodes;
  struct timeval nodeUpdateTime = {};
  std::vector<FilesystemInfo*> fileSystems;
  struct timeval fsUpdateTime = {};
  struct timeval fsPerfUpdateTime = {};
  struct timeval sdrUpdateTime = {};
};

#endif  // TNMIBD_API_API_RECORDS_H_
