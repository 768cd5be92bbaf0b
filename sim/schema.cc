#include "sim/schema.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <charconv>

namespace sim {
namespace {

// Cluster attributes: the configuration query's cluster record and "get clusterinfo".
const FieldRow kClusterRows[] = {
    {"name", FT_WORD, G_NONE, nullptr, 1001, "tarn.example.com", 0},
    {"id", FT_WORD, G_NONE, nullptr, 1002, "7309848512345678901", 0},
    {"queryField3", FT_TEXT, G_NONE, nullptr, 1003, "tarn.example.com", 0},
    {"uidDomain", FT_TEXT, G_NONE, nullptr, 1008, "example.com", 0},
    {"remoteShellCommand", FT_TEXT, G_NONE, nullptr, 1006, "/usr/bin/ssh", 0},
    {"remoteFileCopyCommand", FT_TEXT, G_NONE, nullptr, 1007, "/usr/bin/scp", 0},
    {"tcpPort", FT_INT, G_NONE, nullptr, 1011, "1191", 0},
    {"primaryServer", FT_TEXT, G_NONE, nullptr, 1004, "node0001", 0},
    {"secondaryServer", FT_TEXT, G_NONE, nullptr, 1005, "node0002", 0},
    {"maxBlockSize", FT_INT, G_CLUSTER, "_maxblksiz_", 0, "4194304", 0},
    {"minReleaseLevel", FT_TEXT, G_CLUSTER, "_maxfeature_", 0, "2205", 0},
    {"distributedTokenServer", FT_TEXT, G_CLUSTER, "_distribtokenserver_", 0, "true", 0},
    {"failureDetectionTime", FT_INT, G_CLUSTER, "_failuredetectiontime_", 0, "35", 0},
    {"minMissedPingTimeout", FT_INT, G_CLUSTER, "_minmissedpingtimeout_", 0, "3", 0},
    {"maxMissedPingTimeout", FT_INT, G_CLUSTER, "_maxmissedpingtimeout_", 0, "60", 0},
};

// Nodes: configuration record, "get nodes" state and "tnperf nc" configuration.
const FieldRow kNodeRows[] = {
    {"ip", FT_WORD, G_NONE, nullptr, 2004, "", FF_KEY},
    {"name", FT_WORD, G_NONE, nullptr, 2003, "", 0},
    {"adminName", FT_WORD, G_NONE, nullptr, 2005, "", 0},
    {"manager", FT_BOOL, G_NONE, nullptr, 2006, "false", 0},
    {"quorum", FT_BOOL, G_NONE, nullptr, 2007, "false", 0},
    {"nodeNumber", FT_INT, G_NONE, nullptr, 2008, "0", 0},
    {"platform", FT_TEXT, G_NONE, nullptr, 2010, "x86_64-linux", 0},
    {"configured", FT_BOOL, G_NONE, nullptr, 0, "true", 0},
    {"reported", FT_BOOL, G_NONE, nullptr, 0, "true", 0},
    {"admin", FT_TEXT, G_NODE, "_admin_", 0, "up", 0},
    {"status", FT_TEXT, G_NODE, "_status_", 0, "active", 0},
    {"failureCount", FT_INT, G_NODE, "_failures_", 0, "0", 0},
    {"threadWait", FT_INT, G_NODE, "_threadwait_", 0, "0", 0},
    {"healthy", FT_TEXT, G_NODE, "_healthy_", 0, "yes", 0},
    {"diagnosis", FT_TEXT, G_NODE, "_diagnosis_", 0, "", 0},
    {"version", FT_TEXT, G_NC, "_version_", 0, "5.1.9.1", 0},
    {"pagePool", FT_INT, G_NC, "_pagepool_", 0, "1073741824", 0},
    {"prefetchThreads", FT_INT, G_NC, "_pfthreads_", 0, "72", 0},
    {"maxMbps", FT_INT, G_NC, "_maxmbps_", 0, "2048", 0},
    {"maxFilesToCache", FT_INT, G_NC, "_maxfilestocache_", 0, "4000", 0},
    {"maxStatCache", FT_INT, G_NC, "_maxstatcache_", 0, "1000", 0},
    {"worker1Threads", FT_INT, G_NC, "_wkr1threads_", 0, "48", 0},
    {"dmapiEventTimeout", FT_INT, G_NC, "_dmapieventtimeout_", 0, "86400000", 0},
    {"dmapiMountTimeout", FT_INT, G_NC, "_dmapimounttimeout_", 0, "60", 0},
    {"dmapiSessFailureTimeout", FT_INT, G_NC, "_dmapisessfailuretimeout_", 0, "0", 0},
    {"nsdServerWaitTimeWindowOnMount", FT_INT, G_NC, "_nsdserverwaittimewindowonmount_", 0, "20",
     0},
    {"nsdServerWaitTimeForMount", FT_INT, G_NC, "_nsdserverwaittimeformount_", 0, "300", 0},
    {"unmountOnDiskFail", FT_TEXT, G_NC, "_unmountondiskfail_", 0, "no", 0},
};

// One node's "tnperf gfis" counters for one file system.
const FieldRow kGfisRows[] = {
    {"fs", FT_WORD, G_NONE, nullptr, 0, "", FF_KEY},
    {"rc", FT_INT, G_NONE, nullptr, 0, "0", 0},
    {"bytesRead", FT_INT, G_GFIS, "_br_", 0, "0", 0},
    {"bytesCache", FT_INT, G_GFIS, "_bc_", 0, "0", 0},
    {"bytesWritten", FT_INT, G_GFIS, "_bw_", 0, "0", 0},
    {"reads", FT_INT, G_GFIS, "_r_", 0, "0", 0},
    {"caches", FT_INT, G_GFIS, "_c_", 0, "0", 0},
    {"writes", FT_INT, G_GFIS, "_w_", 0, "0", 0},
    {"openCalls", FT_INT, G_GFIS, "_oc_", 0, "0", 0},
    {"closeCalls", FT_INT, G_GFIS, "_cc_", 0, "0", 0},
    {"readCalls", FT_INT, G_GFIS, "_rdc_", 0, "0", 0},
    {"writeCalls", FT_INT, G_GFIS, "_wc_", 0, "0", 0},
    {"readdirCalls", FT_INT, G_GFIS, "_dir_", 0, "0", 0},
    {"inodesWritten", FT_INT, G_GFIS, "_iu_", 0, "0", 0},
    {"inodesRead", FT_INT, G_GFIS, "_irc_", 0, "0", 0},
    {"inodesDeleted", FT_INT, G_GFIS, "_idc_", 0, "0", 0},
    {"inodesCreated", FT_INT, G_GFIS, "_icc_", 0, "0", 0},
    {"statCacheHit", FT_INT, G_GFIS, "_sch_", 0, "0", 0},
    {"statCacheMiss", FT_INT, G_GFIS, "_scm_", 0, "0", 0},
};

// File systems: "get fs NAME -b".
const FieldRow kFsRows[] = {
    {"name", FT_WORD, G_NONE, nullptr, 0, "", FF_KEY},
    {"status", FT_TEXT, G_FS, "_status_", 0, "mounted", 0},
    {"xstatus", FT_TEXT, G_FS, "_xstatus_", 0, "ok", 0},
    {"util", FT_TEXT, G_FS, "_util_", 0, "0%", 0},
    {"readDuration", FT_INT, G_FS, "_readduration_", 0, "0", 0},
    {"writeDuration", FT_INT, G_FS, "_writeduration_", 0, "0", 0},
    {"nsysmgt", FT_INT, G_FS, "_nsysmgt_", 0, "1", 0},
    {"mgrChangeCnt", FT_INT, G_FS, "_mgrchangecnt_", 0, "0", 0},
    {"totalSpace", FT_INT, G_FS, "_totalspace_", 0, "0", 0},
    {"numTotalInodes", FT_INT, G_FS, "_totalinodes_", 0, "0", 0},
    {"freeSpace", FT_INT, G_FS, "_freespace_", 0, "0", 0},
    {"numFreeInodes", FT_INT, G_FS, "_freeinodes_", 0, "0", 0},
    {"fullFreeSpace", FT_INT, G_FS, "_fullfreespace_", 0, "0", 0},
    {"fragFreeSpace", FT_INT, G_FS, "_fragfreespace_", 0, "0", 0},
    {"threadWait", FT_TEXT, G_FS, "_threadwait_", 0, "0", 0},
    {"diskWait", FT_TEXT, G_FS, "_diskwait_", 0, "0", 0},
};

// Storage pools: "get stgpools FS"; the counts and sizes are sums over the disks.
const FieldRow kPoolRows[] = {
    {"name", FT_WORD, G_NONE, nullptr, 0, "", FF_KEY},
    {"status", FT_TEXT, G_POOL, "_status_", 0, "ready", 0},
    {"numDisks", FT_INT, G_POOL, "_ndisks_", 0, "0", FF_DERIVED},
    {"totalSpace", FT_INT, G_POOL, "_totalspace_", 0, "0", FF_DERIVED},
    {"freeSpace", FT_INT, G_POOL, "_freespace_", 0, "0", FF_DERIVED},
};

// Disks: configuration usage and "get fs FS POOL".
const FieldRow kDiskRows[] = {
    {"name", FT_WORD, G_NONE, nullptr, 3001, "", FF_KEY},
    {"usage", FT_WORD, G_NONE, nullptr, 3006, "dataAndMetadata", 0},
    {"status", FT_TEXT, G_DISK, "_status_", 0, "ready", 0},
    {"availability", FT_TEXT, G_DISK, "_availability_", 0, "up", 0},
    {"failureGroup", FT_INT, G_DISK, "_fg_", 0, "1", 0},
    {"diskWait", FT_TEXT, G_DISK, "_diskwait_", 0, "0", 0},
    {"totalSpace", FT_INT, G_DISK, "_totalspace_", 0, "0", 0},
    {"fullBlockFreeSpace", FT_INT, G_DISK, "_fullblockfreespace_", 0, "0", 0},
    {"subBlockFreeSpace", FT_INT, G_DISK, "_fragfreespace_", 0, "0", 0},
};

// One serving node's "tnperf ds" statistics of a disk.
const FieldRow kPerfRows[] = {
    {"node", FT_WORD, G_DS, "_nn_", 0, "", FF_KEY},
    {"rc", FT_INT, G_DS, "_rc_", 0, "0", 0},
    {"readTime", FT_DOUBLE, G_DS_READ, "_tw_", 0, "0", 0},
    {"longestReadTime", FT_DOUBLE, G_DS_READ, "_ltw_", 0, "0", 0},
    {"shortestReadTime", FT_DOUBLE, G_DS_READ, "_stw_", 0, "0", 0},
    {"readBytes", FT_INT, G_DS_READ, "_b_", 0, "0", 0},
    {"readOps", FT_INT, G_DS_READ, "_ops_", 0, "0", 0},
    {"writeTime", FT_DOUBLE, G_DS_WRITE, "_tw_", 0, "0", 0},
    {"longestWriteTime", FT_DOUBLE, G_DS_WRITE, "_ltw_", 0, "0", 0},
    {"shortestWriteTime", FT_DOUBLE, G_DS_WRITE, "_stw_", 0, "0", 0},
    {"writeBytes", FT_INT, G_DS_WRITE, "_b_", 0, "0", 0},
    {"writeOps", FT_INT, G_DS_WRITE, "_ops_", 0, "0", 0},
};

// Disks that belong to no file system.
const FieldRow kFreeDiskRows[] = {
    {"name", FT_WORD, G_NONE, nullptr, 3001, "", FF_KEY},
    {"pool", FT_WORD, G_NONE, nullptr, 3005, "system", 0},
    {"usage", FT_WORD, G_NONE, nullptr, 3006, "dataAndMetadata", 0},
};

#define ROWS(table) table, sizeof(table) / sizeof(table[0])
const EntitySchema kSchemas[E_COUNT] = {
    {"cluster", ROWS(kClusterRows), nullptr, E_COUNT},
    {"node", ROWS(kNodeRows), "fsStats", E_GFIS},
    {"file system statistics", ROWS(kGfisRows), nullptr, E_COUNT},
    {"file system", ROWS(kFsRows), "pools", E_POOL},
    {"pool", ROWS(kPoolRows), "disks", E_DISK},
    {"disk", ROWS(kDiskRows), "perf", E_PERF},
    {"disk statistics", ROWS(kPerfRows), nullptr, E_COUNT},
    {"free disk", ROWS(kFreeDiskRows), nullptr, E_COUNT},
};
#undef ROWS

int checkText(const FieldRow& row, const std::string& s, std::string* why) {
  if (row.type == FT_WORD && s.empty()) {
    *why = "must not be empty";
    return 1;
  }
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7f || c == '\'') {
      *why = "must not hold single quotes or control characters";
      return 1;
    }
    if (row.type == FT_WORD && c == ' ') {
      *why = "must be one word, without blanks";
      return 1;
    }
    if ((row.code != 0 || row.type == FT_WORD) && c == ':') {
      *why = "must not hold ':' (the configuration records are colon-separated)";
      return 1;
    }
  }
  return 0;
}

const char* typeName(FieldType type) {
  static const char* const kNames[] = {"a text", "a word (text without blanks)", "an integer",
                                       "a number", "true or false"};
  return kNames[type];
}

}  // namespace

const EntitySchema& schemaOf(Entity entity) { return kSchemas[entity]; }

const FieldRow* findField(Entity entity, const char* name) {
  const EntitySchema& s = kSchemas[entity];
  for (size_t i = 0; i < s.count; ++i) {
    if (strcmp(s.rows[i].name, name) == 0) return &s.rows[i];
  }
  return nullptr;
}

int checkValue(const FieldRow& row, const json& value, std::string* why) {
  bool ok = false;
  switch (row.type) {
    case FT_TEXT:
    case FT_WORD:
      if (value.is_string()) return checkText(row, value.get_ref<const std::string&>(), why);
      break;
    case FT_INT:
      ok = value.is_number_integer() &&
           !(value.is_number_unsigned() && value.get<uint64_t>() > (uint64_t)INT64_MAX);
      break;
    case FT_DOUBLE:
      ok = value.is_number() && isfinite(value.get<double>());
      break;
    case FT_BOOL:
      ok = value.is_boolean();
      break;
  }
  if (!ok) *why = std::string("must be ") + typeName(row.type);
  return ok ? 0 : 1;
}

int parseValue(const FieldRow& row, const std::string& text, json* out, std::string* why) {
  const char* s = text.c_str();
  char* end = nullptr;
  errno = 0;
  switch (row.type) {
    case FT_TEXT:
    case FT_WORD:
      *out = text;
      break;
    case FT_INT: {
      long long v = strtoll(s, &end, 10);
      if (end == s || *end != '\0' || errno == ERANGE) break;
      *out = (int64_t)v;
      return 0;
    }
    case FT_DOUBLE: {
      double v = strtod(s, &end);
      if (end == s || *end != '\0' || errno == ERANGE) break;
      *out = v;
      return checkValue(row, *out, why);
    }
    case FT_BOOL:
      if (text != "true" && text != "false") break;
      *out = (text == "true");
      return 0;
  }
  if (row.type == FT_TEXT || row.type == FT_WORD) return checkText(row, text, why);
  *why = std::string("must be ") + typeName(row.type) + ", not '" + text + "'";
  return 1;
}

std::string formatDouble(double d) {
  char buf[512];  // the longest fixed-point text of a double fits
  std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed);
  return std::string(buf, r.ptr);
}

std::string recordField(const FieldRow& row, const json& value) {
  switch (row.type) {
    case FT_TEXT:
    case FT_WORD:
      return value.get<std::string>();
    case FT_INT:
      return std::to_string(value.get<int64_t>());
    case FT_DOUBLE:
      return formatDouble(value.get<double>());
    case FT_BOOL:
      return value.get<bool>() ? "true" : "false";
  }
  return std::string();
}

std::string answerWord(const FieldRow& row, const json& value) {
  std::string word = recordField(row, value);
  if (word.empty() || word.find_first_of(" \t") != std::string::npos) return "'" + word + "'";
  return word;
}

}  // namespace sim
