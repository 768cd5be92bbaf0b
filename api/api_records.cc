#include "api/api_records.h"

#include <string.h>

#include <new>

#include "agent/text.h"

namespace {

// Copies a whole text field; both sides have the same size, so nothing is cut.
template <size_t N>
void copyField(char (&dst)[N], const char (&src)[N]) {
  copyText(dst, src);
}

// Position of the first record of list whose key field equals value, or -1.
// Null slots never match.
template <class R>
int32_t findByKey(const std::vector<R*>& list, char (R::*key)[RECORD_TEXT_SIZE],
                  const char* value) {
  if (value == nullptr) return -1;
  for (size_t i = 0; i < list.size(); i++) {
    if (list[i] != nullptr && strcmp(list[i]->*key, value) == 0) return static_cast<int32_t>(i);
  }
  return -1;
}

// Makes dst hold one record per key of src, with the values of src's last
// record of that key. Records dst keeps stay the same objects, in their order,
// first; records new to dst follow in src's order. Vanished records are
// destroyed. The records' own child lists are left alone (operator= skips
// them). Linear in the two lengths: every look-up goes through an index.
template <class R>
void mergeList(std::vector<R*>* dst, const std::vector<R*>& src, char (R::*key)[RECORD_TEXT_SIZE]) {
  const KeyIndex<R> inSrc(src, key);
  size_t kept = 0;
  for (R* rec : *dst) {
    if (rec != nullptr && inSrc.find(rec->*key) >= 0) {
      (*dst)[kept++] = rec;
    } else {
      delete rec;
    }
  }
  dst->resize(kept);
  KeyIndex<R> inDst(*dst, key);
  for (R* from : src) {
    if (from == nullptr) continue;
    int32_t at = inDst.find(from->*key);
    if (at >= 0) {
      *(*dst)[at] = *from;
      continue;
    }
    MErrno err = 0;
    R* rec = new (std::nothrow) R(&err);
    if (rec == nullptr) continue;  // out of memory: the next merge tries again
    *rec = *from;
    dst->push_back(rec);
    inDst.add(rec, static_cast<int32_t>(dst->size() - 1));
  }
}

// Destroys every record of list (null slots skipped) and empties it.
template <class R>
void destroyList(std::vector<R*>* list) {
  for (R* rec : *list) delete rec;
  list->clear();
}

}  // namespace

// ---- DiskInfo

DiskInfo::DiskInfo(MErrno* err) {
  if (err != nullptr) *err = 0;
  copyText(status, "unknown");
  clearStats();
}

DiskInfo::~DiskInfo() {}

DiskInfo& DiskInfo::operator=(const DiskInfo& src) {
  if (this == &src) return *this;
  copyField(name, src.name);
  copyField(nodeName, src.nodeName);
  copyField(status, src.status);
  copyField(availability, src.availability);
  failureGroup = src.failureGroup;
  copyField(metadata, src.metadata);
  copyField(data, src.data);
  copyField(diskWait, src.diskWait);
  totalSpace = src.totalSpace;
  fullBlockFreeSpace = src.fullBlockFreeSpace;
  subBlockFreeSpace = src.subBlockFreeSpace;
  readTime = src.readTime;
  writeTime = src.writeTime;
  longestReadTime = src.longestReadTime;
  longestWriteTime = src.longestWriteTime;
  shortestReadTime = src.shortestReadTime;
  shortestWriteTime = src.shortestWriteTime;
  readBytes = src.readBytes;
  writeBytes = src.writeBytes;
  readOps = src.readOps;
  writeOps = src.writeOps;
  perfInstances = src.perfInstances;
  return *this;
}

void DiskInfo::clearStats() { setStats(DiskStats{}); }

DiskStats DiskInfo::stats() const {
  return DiskStats{readTime,         writeTime,         longestReadTime, longestWriteTime,
                   shortestReadTime, shortestWriteTime, readBytes,       writeBytes,
                   readOps,          writeOps,          perfInstances};
}

void DiskInfo::setStats(const DiskStats& s) {
  readTime = s.readTime;
  writeTime = s.writeTime;
  longestReadTime = s.longestReadTime;
  longestWriteTime = s.longestWriteTime;
  shortestReadTime = s.shortestReadTime;
  shortestWriteTime = s.shortestWriteTime;
  readBytes = s.readBytes;
  writeBytes = s.writeBytes;
  readOps = s.readOps;
  writeOps = s.writeOps;
  perfInstances = s.perfInstances;
}

// ---- StoragePoolInfo

StoragePoolInfo::StoragePoolInfo(MErrno* err) {
  if (err != nullptr) *err = 0;
  disks.reserve(1024);
}

StoragePoolInfo::~StoragePoolInfo() { destroyList(&disks); }

StoragePoolInfo& StoragePoolInfo::operator=(const StoragePoolInfo& src) {
  if (this == &src) return *this;
  copyField(name, src.name);
  copyField(status, src.status);
  numDisks = src.numDisks;
  totalSpace = src.totalSpace;
  freeSpace = src.freeSpace;
  fsIndex = src.fsIndex;
  diskUpdateTime = src.diskUpdateTime;
  diskPerfUpdateTime = src.diskPerfUpdateTime;
  return *this;
}

int32_t StoragePoolInfo::getDiskInfoIndex(const char* diskName) const {
  return findByKey(disks, &DiskInfo::name, diskName);
}

void StoragePoolInfo::copyDisks(StoragePoolInfo* src) {
  if (src == nullptr || src == this) return;
  mergeList(&disks, src->disks, &DiskInfo::name);
  diskUpdateTime = src->diskUpdateTime;
  diskPerfUpdateTime = src->diskPerfUpdateTime;
}

// ---- FilesystemInfo

FilesystemInfo::FilesystemInfo(MErrno* err) {
  if (err != nullptr) *err = 0;
  copyText(status, "unknown");
  pools.reserve(256);
}

FilesystemInfo::~FilesystemInfo() { destroyList(&pools); }

FilesystemInfo& FilesystemInfo::operator=(const FilesystemInfo& src) {
  if (this == &src) return *this;
  copyField(name, src.name);
  copyField(status, src.status);
  copyField(xstatus, src.xstatus);
  copyField(util, src.util);
  readDuration = src.readDuration;
  writeDuration = src.writeDuration;
  nsysmgt = src.nsysmgt;
  mgrChangeCnt = src.mgrChangeCnt;
  totalSpace = src.totalSpace;
  numTotalInodes = src.numTotalInodes;
  freeSpace = src.freeSpace;
  numFreeInodes = src.numFreeInodes;
  fullFreeSpace = src.fullFreeSpace;
  fragFreeSpace = src.fragFreeSpace;
  copyField(threadWait, src.threadWait);
  copyField(diskWait, src.diskWait);
  bytesRead = src.bytesRead;
  bytesCache = src.bytesCache;
  bytesWritten = src.bytesWritten;
  reads = src.reads;
  caches = src.caches;
  writes = src.writes;
  openCalls = src.openCalls;
  closeCalls = src.closeCalls;
  readCalls = src.readCalls;
  writeCalls = src.writeCalls;
  readdirCalls = src.readdirCalls;
  inodesWritten = src.inodesWritten;
  inodesRead = src.inodesRead;
  inodesDeleted = src.inodesDeleted;
  inodesCreated = src.inodesCreated;
  statCacheHit = src.statCacheHit;
  statCacheMiss = src.statCacheMiss;
  perfInstances = src.perfInstances;
  poolUpdateTime = src.poolUpdateTime;
  return *this;
}

void FilesystemInfo::clearStats() {
  bytesRead = bytesCache = bytesWritten = 0;
  reads = caches = writes = 0;
  openCalls = closeCalls = readCalls = writeCalls = readdirCalls = 0;
  inodesWritten = inodesRead = inodesDeleted = inodesCreated = 0;
  statCacheHit = statCacheMiss = 0;
  perfInstances = 0;
}

int32_t FilesystemInfo::getStoragePoolInfoIndex(const char* poolName) const {
  return findByKey(pools, &StoragePoolInfo::name, poolName);
}

void FilesystemInfo::copyPools(FilesystemInfo* src) {
  if (src == nullptr || src == this) return;
  mergeList(&pools, src->pools, &StoragePoolInfo::name);
  poolUpdateTime = src->poolUpdateTime;
}

// ---- NodeInfo

NodeInfo::NodeInfo(MErrno* err) {
  if (err != nullptr) *err = 0;
}

NodeInfo::~NodeInfo() {}

NodeInfo& NodeInfo::operator=(const NodeInfo& src) {
  if (this == &src) return *this;
  copyField(name, src.name);
  copyField(ip, src.ip);
  copyField(platform, src.platform);
  copyField(type, src.type);
  copyField(admin, src.admin);
  copyField(status, src.status);
  copyField(version, src.version);
  failureCount = src.failureCount;
  threadWait = src.threadWait;
  copyField(healthy, src.healthy);
  copyField(diagnosis, src.diagnosis);
  pagePool = src.pagePool;
  prefetchThreads = src.prefetchThreads;
  maxMbps = src.maxMbps;
  maxFilesToCache = src.maxFilesToCache;
  maxStatCache = src.maxStatCache;
  worker1Threads = src.worker1Threads;
  dmapiEventTimeout = src.dmapiEventTimeout;
  dmapiMountTimeout = src.dmapiMountTimeout;
  dmapiSessFailureTimeout = src.dmapiSessFailureTimeout;
  nsdServerWaitTimeWindowOnMount = src.nsdServerWaitTimeWindowOnMount;
  nsdServerWaitTimeForMount = src.nsdServerWaitTimeForMount;
  copyField(unmountOnDiskFail, src.unmountOnDiskFail);
  return *this;
}

// ---- ClusterInfo

ClusterInfo::ClusterInfo(MErrno* err) {
  if (err != nullptr) *err = 0;
  nodes.reserve(1024);
  fileSystems.reserve(32);
}

ClusterInfo::~ClusterInfo() {
  destroyList(&nodes);
  destroyList(&fileSystems);
}

ClusterInfo& ClusterInfo::operator=(const ClusterInfo& src) {
  if (this == &src) return *this;
  copyField(name, src.name);
  copyField(id, src.id);
  copyField(queryField3, src.queryField3);
  copyField(minReleaseLevel, src.minReleaseLevel);
  copyField(uidDomain, src.uidDomain);
  copyField(remoteShellCommand, src.remoteShellCommand);
  copyField(remoteFileCopyCommand, src.remoteFileCopyCommand);
  copyField(primaryServer, src.primaryServer);
  copyField(secondaryServer, src.secondaryServer);
  maxBlockSize = src.maxBlockSize;
  distributedTokenServer = src.distributedTokenServer;
  failureDetectionTime = src.failureDetectionTime;
  tcpPort = src.tcpPort;
  minMissedPingTimeout = src.minMissedPingTimeout;
  maxMissedPingTimeout = src.maxMissedPingTimeout;
  nodeUpdateTime = src.nodeUpdateTime;
  fsUpdateTime = src.fsUpdateTime;
  fsPerfUpdateTime = src.fsPerfUpdateTime;
  return *this;
}

int32_t ClusterInfo::getNodeInfoIndex(const char* ipAddress) const {
  return findByKey(nodes, &NodeInfo::ip, ipAddress);
}

int32_t ClusterInfo::getFilesystemInfoIndex(const char* fsName) const {
  return findByKey(fileSystems, &FilesystemInfo::name, fsName);
}

void ClusterInfo::copyNodes(ClusterInfo* src) {
  if (src == nullptr || src == this) return;
  mergeList(&nodes, src->nodes, &NodeInfo::ip);
  nodeUpdateTime = src->nodeUpdateTime;
}

void ClusterInfo::copyFS(ClusterInfo* src) {
  if (src == nullptr || src == this) return;
  mergeList(&fileSystems, src->fileSystems, &FilesystemInfo::name);
  fsUpdateTime = src->fsUpdateTime;
  fsPerfUpdateTime = src->fsPerfUpdateTime;
}

namespace {

// The file system here of the same name as from, or null.
FilesystemInfo* sameFs(ClusterInfo* here, const FilesystemInfo* from) {
  const int32_t at = here->getFilesystemInfoIndex(from->name);
  return at >= 0 ? here->fileSystems[at] : nullptr;
}

bool named(const char* name, const char* wanted) {
  return wanted == nullptr || strcmp(name, wanted) == 0;
}

}  // namespace

void ClusterInfo::copyPools(ClusterInfo* src, const char* fsName) {
  if (src == nullptr || src == this) return;
  copyFS(src);
  for (FilesystemInfo* fs : src->fileSystems) {
    FilesystemInfo* to = fs != nullptr && named(fs->name, fsName) ? sameFs(this, fs) : nullptr;
    if (to != nullptr) to->copyPools(fs);
  }
}

void ClusterInfo::copyDisks(ClusterInfo* src, const char* fsName, const char* poolName) {
  if (src == nullptr || src == this) return;
  copyPools(src, nullptr);
  for (FilesystemInfo* fs : src->fileSystems) {
    FilesystemInfo* to = fs != nullptr && named(fs->name, fsName) ? sameFs(this, fs) : nullptr;
    if (to == nullptr) continue;
    const KeyIndex<StoragePoolInfo> toPools(to->pools, &StoragePoolInfo::name);
    for (StoragePoolInfo* pool : fs->pools) {
      if (pool == nullptr || !named(pool->name, poolName)) continue;
      const int32_t at = toPools.find(pool->name);
      if (at >= 0) to->pools[at]->copyDisks(pool);
    }
  }
}
