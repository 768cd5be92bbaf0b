#include "api/api_poll.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "agent/clock.h"
#include "agent/log.h"
#include "agent/scoped.h"
#include "agent/text.h"
#include "api/api_conn.h"

PollingHandler* thePollingHandler = nullptr;

namespace {

// ---------------------------------------------------------------------------
// Keyword walks. Each daemon response record is walked by one table of rows;
// a row names the keyword, how its value is converted and which field of the
// record receives it. One routine walks every table.

enum Conv {
  SET_TEXT,        // the value, cut to the field's size
  SET_INT32,       // strtol base 10
  SET_INT64,       // strtoll base 10
  SET_TRUE_FLAG,   // 1 when the value is exactly "true", else 0
  SET_STAT_CACHE,  // strtol base 10; -1 becomes four times the row's other field
  SET_BUFFERED,    // strtol of the value read before the line was split
  ADD_INT32,       // adds strtol, wrapping like any 32-bit addition
  ADD_INT64,       // adds strtoll
  ADD_DOUBLE,      // adds strtod
  MAX_DOUBLE,      // keeps the larger of the field and strtod
  MIN_DOUBLE,      // first value of the walk state, then the smaller one
};

template <class R>
struct KeywordRow {
  constexpr KeywordRow(const char* k, char (R::*f)[RECORD_TEXT_SIZE])
      : keyword(k), conv(SET_TEXT), text(f) {}
  constexpr KeywordRow(const char* k, char (R::*f)[RECORD_SHORT_TEXT_SIZE])
      : keyword(k), conv(SET_TEXT), shortText(f) {}
  constexpr KeywordRow(const char* k, int32_t R::*f, Conv c = SET_INT32, int32_t R::*o = nullptr)
      : keyword(k), conv(c), i32(f), other(o) {}
  constexpr KeywordRow(const char* k, int64_t R::*f, Conv c = SET_INT64)
      : keyword(k), conv(c), i64(f) {}
  constexpr KeywordRow(const char* k, double R::*f, Conv c) : keyword(k), conv(c), dbl(f) {}

  const char* keyword;
  Conv conv;
  char (R::*text)[RECORD_TEXT_SIZE] = nullptr;
  char (R::*shortText)[RECORD_SHORT_TEXT_SIZE] = nullptr;
  int32_t R::*i32 = nullptr;
  int32_t R::*other = nullptr;
  int64_t R::*i64 = nullptr;
  double R::*dbl = nullptr;
};

// What a walk needs beyond the tokens: the value of SET_BUFFERED rows, and
// whether a MIN_DOUBLE field already holds a value of this poll.
struct WalkState {
  const char* buffered = "";
  bool* minSeen = nullptr;
};

int32_t toInt32(const char* v) { return static_cast<int32_t>(strtol(v, nullptr, 10)); }
int64_t toInt64(const char* v) { return static_cast<int64_t>(strtoll(v, nullptr, 10)); }

template <class R>
void storeNumber(R* rec, const KeywordRow<R>& row, const char* value, WalkState* state) {
  switch (row.conv) {
    case SET_INT32:
      rec->*row.i32 = toInt32(value);
      break;
    case SET_INT64:
      rec->*row.i64 = toInt64(value);
      break;
    case SET_TRUE_FLAG:
      rec->*row.i32 = strcmp(value, "true") == 0 ? 1 : 0;
      break;
    case SET_STAT_CACHE: {
      int64_t v = strtol(value, nullptr, 10);
      if (v == -1) v = 4 * static_cast<int64_t>(rec->*row.other);
      rec->*row.i32 = static_cast<int32_t>(static_cast<uint32_t>(v));
      break;
    }
    case SET_BUFFERED:
      rec->*row.i32 = toInt32(state->buffered);
      break;
    case ADD_INT32:
      rec->*row.i32 = static_cast<int32_t>(static_cast<uint32_t>(rec->*row.i32) +
                                           static_cast<uint32_t>(toInt32(value)));
      break;
    case ADD_INT64:
      rec->*row.i64 = static_cast<int64_t>(static_cast<uint64_t>(rec->*row.i64) +
                                           static_cast<uint64_t>(toInt64(value)));
      break;
    default:
      break;
  }
}

template <class R>
void storeValue(R* rec, const KeywordRow<R>& row, const char* value, WalkState* state) {
  double d = 0;
  switch (row.conv) {
    case SET_TEXT:
      if (row.text != nullptr) copyText(rec->*row.text, value);
      if (row.shortText != nullptr) copyText(rec->*row.shortText, value);
      return;
    case ADD_DOUBLE:
      rec->*row.dbl += strtod(value, nullptr);
      return;
    case MAX_DOUBLE:
      d = strtod(value, nullptr);
      if (d > rec->*row.dbl) rec->*row.dbl = d;
      return;
    case MIN_DOUBLE:
      d = strtod(value, nullptr);
      if (state->minSeen == nullptr || !*state->minSeen || d < rec->*row.dbl) rec->*row.dbl = d;
      if (state->minSeen != nullptr) *state->minSeen = true;
      return;
    default:
      storeNumber(rec, row, value, state);
  }
}

// Walks the tokens of the current line after its first (the record keyword,
// which beginParsing has returned): a token equal to a row's keyword takes the
// next token as its value; other tokens are passed over. Ends at the last
// token or after `limit` recognised keywords.
template <class R, size_t N>
void walkKeywords(TnperfWrapperUtils* utils, R* rec, const KeywordRow<R> (&rows)[N], int limit,
                  WalkState* state) {
  int matches = 0;
  for (char* token = utils->getNextToken(); token != nullptr && matches < limit;
       token = utils->getNextToken()) {
    const KeywordRow<R>* row = nullptr;
    for (const KeywordRow<R>& r : rows) {
      if (strcmp(token, r.keyword) == 0) {
        row = &r;
        break;
      }
    }
    if (row == nullptr) continue;
    matches++;
    if (row->conv == SET_BUFFERED) {
      storeValue(rec, *row, "", state);
      continue;
    }
    char* value = utils->getNextToken();
    if (value == nullptr) return;
    storeValue(rec, *row, value, state);
  }
}

template <class R, size_t N>
void walkLine(TnperfWrapperUtils* utils, R* rec, const KeywordRow<R> (&rows)[N], int limit,
              WalkState* state = nullptr) {
  WalkState none;
  utils->beginParsing();
  walkKeywords(utils, rec, rows, limit, state != nullptr ? state : &none);
}

// "get clusterinfo", record "_cluster_".
const int kClusterLimit = 6;
const KeywordRow<ClusterInfo> kClusterRows[] = {
    {"_maxblksiz_", &ClusterInfo::maxBlockSize},
    {"_maxfeature_", &ClusterInfo::minReleaseLevel},
    {"_distribtokenserver_", &ClusterInfo::distributedTokenServer, SET_TRUE_FLAG},
    {"_failuredetectiontime_", &ClusterInfo::failureDetectionTime},
    {"_minmissedpingtimeout_", &ClusterInfo::minMissedPingTimeout},
    {"_maxmissedpingtimeout_", &ClusterInfo::maxMissedPingTimeout},
};

// "get nodes", record "_node_".
const int kNodeLimit = 6;
const KeywordRow<NodeInfo> kNodeRows[] = {
    {"_admin_", &NodeInfo::admin},           {"_status_", &NodeInfo::status},
    {"_failures_", &NodeInfo::failureCount}, {"_threadwait_", &NodeInfo::threadWait},
    {"_healthy_", &NodeInfo::healthy},       {"_diagnosis_", &NodeInfo::diagnosis},
};

// "tnperf nc", record "_tnperf".
const int kNodeConfigLimit = 15;
const KeywordRow<NodeInfo> kNodeConfigRows[] = {
    {"_version_", &NodeInfo::version},
    {"_pagepool_", &NodeInfo::pagePool},
    {"_pfthreads_", &NodeInfo::prefetchThreads},
    {"_maxmbps_", &NodeInfo::maxMbps},
    {"_maxfilestocache_", &NodeInfo::maxFilesToCache},
    {"_maxstatcache_", &NodeInfo::maxStatCache, SET_STAT_CACHE, &NodeInfo::maxFilesToCache},
    {"_wkr1threads_", &NodeInfo::worker1Threads},
    {"_dmapieventtimeout_", &NodeInfo::dmapiEventTimeout},
    {"_dmapimounttimeout_", &NodeInfo::dmapiMountTimeout},
    {"_dmapisessfailuretimeout_", &NodeInfo::dmapiSessFailureTimeout},
    {"_nsdserverwaittimewindowonmount_", &NodeInfo::nsdServerWaitTimeWindowOnMount},
    {"_nsdserverwaittimeformount_", &NodeInfo::nsdServerWaitTimeForMount},
    {"_unmountondiskfail_", &NodeInfo::unmountOnDiskFail},
};

// "get fs NAME -b", record "_fsstate_".
const int kFsStateLimit = 15;
const KeywordRow<FilesystemInfo> kFsStateRows[] = {
    {"_status_", &FilesystemInfo::status},
    {"_xstatus_", &FilesystemInfo::xstatus},
    {"_util_", &FilesystemInfo::util},
    {"_readduration_", &FilesystemInfo::readDuration},
    {"_writeduration_", &FilesystemInfo::writeDuration},
    {"_nsysmgt_", &FilesystemInfo::nsysmgt},
    {"_mgrchangecnt_", &FilesystemInfo::mgrChangeCnt},
    {"_totalspace_", &FilesystemInfo::totalSpace},
    {"_totalinodes_", &FilesystemInfo::numTotalInodes},
    {"_freespace_", &FilesystemInfo::freeSpace},
    {"_freeinodes_", &FilesystemInfo::numFreeInodes},
    {"_fullfreespace_", &FilesystemInfo::fullFreeSpace},
    {"_fragfreespace_", &FilesystemInfo::fragFreeSpace},
    {"_threadwait_", &FilesystemInfo::threadWait},
    {"_diskwait_", &FilesystemInfo::diskWait},
};

// "tnperf gfis", record "_tnperf": every value adds to the named file system.
const int kFsStatsLimit = 17;
const KeywordRow<FilesystemInfo> kFsStatsRows[] = {
    {"_br_", &FilesystemInfo::bytesRead, ADD_INT64},
    {"_bc_", &FilesystemInfo::bytesCache, ADD_INT64},
    {"_bw_", &FilesystemInfo::bytesWritten, ADD_INT64},
    {"_r_", &FilesystemInfo::reads, ADD_INT32},
    {"_c_", &FilesystemInfo::caches, ADD_INT32},
    {"_w_", &FilesystemInfo::writes, ADD_INT32},
    {"_oc_", &FilesystemInfo::openCalls, ADD_INT32},
    {"_cc_", &FilesystemInfo::closeCalls, ADD_INT32},
    {"_rdc_", &FilesystemInfo::readCalls, ADD_INT32},
    {"_wc_", &FilesystemInfo::writeCalls, ADD_INT32},
    {"_dir_", &FilesystemInfo::readdirCalls, ADD_INT32},
    {"_iu_", &FilesystemInfo::inodesWritten, ADD_INT32},
    {"_irc_", &FilesystemInfo::inodesRead, ADD_INT32},
    {"_idc_", &FilesystemInfo::inodesDeleted, ADD_INT32},
    {"_icc_", &FilesystemInfo::inodesCreated, ADD_INT32},
    {"_sch_", &FilesystemInfo::statCacheHit, ADD_INT32},
    {"_scm_", &FilesystemInfo::statCacheMiss, ADD_INT32},
};

// "get stgpools NAME", record "_pool_".
const int kPoolLimit = 4;
const KeywordRow<StoragePoolInfo> kPoolRows[] = {
    {"_status_", &StoragePoolInfo::status},
    {"_ndisks_", &StoragePoolInfo::numDisks},
    {"_totalspace_", &StoragePoolInfo::totalSpace},
    {"_freespace_", &StoragePoolInfo::freeSpace},
};

// "get fs NAME POOL", record "_disk_".
const int kDiskLimit = 10;
const KeywordRow<DiskInfo> kDiskRows[] = {
    {"_status_", &DiskInfo::status},
    {"_availability_", &DiskInfo::availability},
    {"_fg_", &DiskInfo::failureGroup, SET_BUFFERED},
    {"_diskwait_", &DiskInfo::diskWait},
    {"_totalspace_", &DiskInfo::totalSpace},
    {"_fullblockfreespace_", &DiskInfo::fullBlockFreeSpace},
    {"_fragfreespace_", &DiskInfo::subBlockFreeSpace},
};

// "tnperf ds ...": the "_r_" and "_w_" lines after each "_tnperf" record.
const int kDiskStatsLimit = 5;
const KeywordRow<DiskInfo> kDiskReadRows[] = {
    {"_tw_", &DiskInfo::readTime, ADD_DOUBLE},
    {"_ltw_", &DiskInfo::longestReadTime, MAX_DOUBLE},
    {"_stw_", &DiskInfo::shortestReadTime, MIN_DOUBLE},
    {"_b_", &DiskInfo::readBytes, ADD_INT64},
    {"_ops_", &DiskInfo::readOps, ADD_INT32},
};
const KeywordRow<DiskInfo> kDiskWriteRows[] = {
    {"_tw_", &DiskInfo::writeTime, ADD_DOUBLE},
    {"_ltw_", &DiskInfo::longestWriteTime, MAX_DOUBLE},
    {"_stw_", &DiskInfo::shortestWriteTime, MIN_DOUBLE},
    {"_b_", &DiskInfo::writeBytes, ADD_INT64},
    {"_ops_", &DiskInfo::writeOps, ADD_INT32},
};

// ---------------------------------------------------------------------------
// The configuration query tool.

const char kQueryDir[] = "/usr/lpp/tarnfs/bin";
// Longest record line read; the rest of a longer line is dropped.
enum { QUERY_LINE_SIZE = 400, COMMAND_SIZE = 1024 };

struct QuerySpec {
  int query;
  int codes[9];
  int codeCount;
};
const QuerySpec kClusterQuery = {10, {1001, 1002, 1003, 1008, 1006, 1007, 1011, 1004, 1005}, 9};
const QuerySpec kNodeQuery = {20, {2003, 2004, 2005, 2006, 2007, 2008, 2010}, 7};
const QuerySpec kDiskQuery = {30, {3001, 3004, 3005, 3006}, 4};

// "DIR/tncfgdump QUERY CODE:CODE:..." with " all norefresh" when asked.
void buildQueryCommand(const QuerySpec& spec, int norefresh, char* out, size_t size) {
  size_t used = static_cast<size_t>(snprintf(out, size, "%s/tncfgdump %d ", kQueryDir, spec.query));
  for (int i = 0; i < spec.codeCount && used < size; i++) {
    used += static_cast<size_t>(snprintf(out + used, size - used, i ? ":%d" : "%d", spec.codes[i]));
  }
  if (norefresh != 0 && used < size) snprintf(out + used, size - used, " all norefresh");
}

// How long a query may run, and how often a running one checks for a stop.
std::atomic<int> queryLimitMillis{kQueryLimitMillis};
const int kQuerySliceMillis = 100;
std::atomic<bool> queriesStopped{false};

// The blank-separated words of command (which holds no quotes) as an
// argument vector in *words; argv points into it and ends with a null.
void splitWords(const char* command, std::string* words, std::vector<char*>* argv) {
  *words = command;
  argv->clear();
  char* save = nullptr;
  for (char* w = strtok_r(&(*words)[0], " ", &save); w != nullptr;
       w = strtok_r(nullptr, " ", &save))
    argv->push_back(w);
  argv->push_back(nullptr);
}

// Starts the tool of command directly (no shell between: a missing tool is
// then a failed start, not a shell's status) in a process group of its own,
// its output on *out. The child gets the default signal mask and
// dispositions: it would otherwise inherit the stop signals blocked (worker
// threads) and SIGPIPE ignored. It gets no descriptor but its standard ones:
// the SNMP library opens its AgentX socket again without close-on-exec
// whenever the master restarts. -1 when it cannot be started.
pid_t spawnQuery(const char* command, int* out) {
  std::string words;
  std::vector<char*> argv;
  splitWords(command, &words, &argv);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  pid_t pid;
  int rc = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    return -1;
  }
  *out = fds[0];
  return pid;
}

// Reads the child's whole output into *text. False when the deadline
// passed or the agent is stopping first.
bool collectOutput(int fd, std::string* text, int64_t deadline) {
  char buf[4096];
  for (;;) {
    if (queriesStopped.load() || monotonicMicros() / 1000 >= deadline) return false;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, kQuerySliceMillis) <= 0) continue;  // a slice passed, or a signal
    ssize_t n = read(fd, buf, sizeof buf);
    if (n == 0) return true;
    if (n > 0) text->append(buf, static_cast<size_t>(n));
    if (n < 0 && errno != EINTR && errno != EAGAIN) return true;
  }
}

// True once the child has ended (and been waited for) before the deadline
// or a stop, with its wait status in *status; a tool may close its output
// and still run.
bool reaped(pid_t pid, int64_t deadline, int* status) {
  for (;;) {
    pid_t done = waitpid(pid, status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return true;
    if (queriesStopped.load() || monotonicMicros() / 1000 >= deadline) return false;
    usleep(1000);
  }
}

// Tells the operator, in one line, how a finished query failed; false when
// it ended well (status 0).
bool queryFailed(const char* command, int status) {
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return false;
  char message[COMMAND_SIZE + 96];
  snprintf(message, sizeof message, "Warning: %s %s %d; the last configuration is kept\n", command,
           WIFSIGNALED(status) ? "killed by signal" : "exited with status",
           WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
  ts_print(message);
  return true;
}

// Runs the query to its end and returns its output as a stream to read
// lines from; null (and the operator told) when it cannot be started, ran
// too long, was cut short by a stop, or did not exit with status 0. A hung
// tool is killed, with anything it started, so that it holds neither a poll
// nor the agent's stop.
//
// A failed run counts as no answer, whatever it printed: it may have printed
// only some records, and the disk scan removes every file system, pool and
// disk that its records do not name, so one failed run would empty the
// tables until the next change of the configuration.
FILE* startQuery(const QuerySpec& spec, int norefresh, std::string* text) {
  char command[COMMAND_SIZE];
  buildQueryCommand(spec, norefresh, command, sizeof command);
  int out = -1;
  pid_t pid = spawnQuery(command, &out);
  char message[COMMAND_SIZE + 96];
  if (pid < 0) {
    snprintf(message, sizeof message, "Error: Couldn't find %s command\n", command);
    ts_print(message);
    return nullptr;
  }
  ScopedFd outFd(out);
  const int64_t deadline = monotonicMicros() / 1000 + queryLimitMillis.load();
  int status = 0;
  bool finished = collectOutput(out, text, deadline) && reaped(pid, deadline, &status);
  if (!finished) {
    kill(-pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    snprintf(message, sizeof message, "Warning: %s killed: not done within %d ms, or a stop\n",
             command, queryLimitMillis.load());
    ts_print(message);
    return nullptr;
  }
  if (queryFailed(command, status)) return nullptr;
  if (text->empty()) return fopen("/dev/null", "r");
  return fmemopen(&(*text)[0], text->size(), "r");
}

// Reads the next line of at most QUERY_LINE_SIZE - 1 characters, without its
// newline; the rest of a longer line is read and dropped. False at the end.
bool readQueryLine(FILE* pipe, char (&line)[QUERY_LINE_SIZE]) {
  if (fgets(line, sizeof line, pipe) == nullptr) return false;
  size_t len = strlen(line);
  if (len > 0 && line[len - 1] == '\n') {
    line[len - 1] = '\0';
    return true;
  }
  int c;
  while ((c = fgetc(pipe)) != EOF && c != '\n') {
  }
  return true;
}

// Conversions of a query record: the two leading integers and up to nine fields.
typedef char QueryField[QUERY_LINE_SIZE];
#define QF "%399[^:]"

void stampNow(struct timeval* t) { stampTime(t); }

// A lookup key as the record fields hold it: cut to a text field's size.
struct Key {
  explicit Key(const char* v) { copyText(text, v); }
  char text[RECORD_TEXT_SIZE];
};

// Appends a new record named name to list; null when memory is short.
template <class R>
R* appendNamed(std::vector<R*>* list, const char* name) {
  MErrno err = 0;
  R* rec = new (std::nothrow) R(&err);
  if (rec == nullptr) return nullptr;
  copyText(rec->name, name);
  list->push_back(rec);
  return rec;
}

// The record of list named name, through index; a new one appended (and
// entered in index) when there is none and the list holds fewer than limit.
// Null when the list is full (*full then set) or memory is short.
template <class R>
R* findOrAppend(std::vector<R*>* list, KeyIndex<R>* index, const char* name, size_t limit,
                bool* full) {
  int32_t at = index->find(name);
  if (at >= 0) return (*list)[at];
  if (list->size() >= limit) {
    *full = true;
    return nullptr;
  }
  R* rec = appendNamed(list, name);
  if (rec != nullptr) index->add(rec, static_cast<int32_t>(list->size() - 1));
  return rec;
}

// True when a warning last given at *warnedAt (monotonic seconds, 0 for
// never) may be given again after seconds; then *warnedAt becomes now.
bool warningDue(int64_t* warnedAt, int64_t seconds) {
  const int64_t now = monotonicMicros() / 1000000;
  if (*warnedAt != 0 && now - *warnedAt < seconds) return false;
  *warnedAt = now != 0 ? now : 1;
  return true;
}

enum { LIMIT_POOLS = 0, LIMIT_DISKS = 1 };
// When each limit was last told; read and written under handlerMutex.
int64_t limitWarnedAt[2] = {};
const int64_t kLimitWarnSeconds = 60;

// Tells the operator, at most once a minute per limit, that fsName holds
// more pools or disks than it may.
void warnLimit(int which, const char* fsName) {
  if (!warningDue(&limitWarnedAt[which], kLimitWarnSeconds)) return;
  char message[RECORD_TEXT_SIZE + 128];
  snprintf(message, sizeof message,
           "Warning: file system %s has more than %d %s; the rest are left out\n", fsName,
           which == LIMIT_POOLS ? MAX_POOLS_PER_FS : MAX_DISKS_PER_FS,
           which == LIMIT_POOLS ? "storage pools" : "disks");
  ts_print(message);
}

// Destroys the records of list that the last scan did not mark and clears
// the marks of the others; inner(rec) sweeps a kept record's own children
// first. One pass: the kept records move up in place.
template <class R, class Inner>
void sweepUnmarked(std::vector<R*>* list, Inner inner) {
  size_t kept = 0;
  for (R* rec : *list) {
    if (rec != nullptr) inner(rec);
    if (rec != nullptr && rec->inConfig != 0) {
      rec->inConfig = 0;
      (*list)[kept++] = rec;
    } else {
      delete rec;
    }
  }
  list->resize(kept);
}

void sweepTree(ClusterInfo* master) {
  sweepUnmarked(&master->fileSystems, [](FilesystemInfo* fs) {
    sweepUnmarked(&fs->pools,
                  [](StoragePoolInfo* pool) { sweepUnmarked(&pool->disks, [](DiskInfo*) {}); });
  });
}

struct DiskUsage {
  const char* usage;
  const char* metadata;
  const char* data;
};
const DiskUsage kDiskUsages[] = {
    {"dataOnly", "n", "y"},
    {"dataAndMetadata", "y", "y"},
    {"metadataOnly", "y", "n"},
};

// One disk configuration scan over the master tree: its look-ups go through
// indexes built once per scan (file systems; per file system, its pools and
// its disk count; per pool, its disks), so a scan is linear in its records.
class DiskScan {
 public:
  explicit DiskScan(ClusterInfo* master)
      : master_(master), fileSystems_(master->fileSystems, &FilesystemInfo::name) {}
  // Marks (creating where missing, within the limits) the file system, pool
  // and disk of one disk record and sets the disk's usage. Lines that are
  // not disk records, and disks that belong to no file system, change nothing.
  void apply(const char* line);

 private:
  struct FsState {
    KeyIndex<StoragePoolInfo> pools;
    size_t disks;
  };
  FsState& stateOf(FilesystemInfo* fs);
  KeyIndex<DiskInfo>& disksOf(StoragePoolInfo* pool);
  DiskInfo* mark(const char* fsName, const char* poolName, const char* diskName);

  ClusterInfo* master_;
  KeyIndex<FilesystemInfo> fileSystems_;
  std::unordered_map<const FilesystemInfo*, FsState> fsStates_;
  std::unordered_map<const StoragePoolInfo*, KeyIndex<DiskInfo>> poolDisks_;
};

DiskScan::FsState& DiskScan::stateOf(FilesystemInfo* fs) {
  auto at = fsStates_.find(fs);
  if (at != fsStates_.end()) return at->second;
  size_t disks = 0;
  for (StoragePoolInfo* pool : fs->pools) disks += pool != nullptr ? pool->disks.size() : 0;
  FsState state{KeyIndex<StoragePoolInfo>(fs->pools, &StoragePoolInfo::name), disks};
  return fsStates_.emplace(fs, std::move(state)).first->second;
}

KeyIndex<DiskInfo>& DiskScan::disksOf(StoragePoolInfo* pool) {
  auto at = poolDisks_.find(pool);
  if (at != poolDisks_.end()) return at->second;
  return poolDisks_.emplace(pool, KeyIndex<DiskInfo>(pool->disks, &DiskInfo::name)).first->second;
}

DiskInfo* DiskScan::mark(const char* fsName, const char* poolName, const char* diskName) {
  Key fsKey(fsName), poolKey(poolName), diskKey(diskName);
  bool full = false;
  FilesystemInfo* fs =
      findOrAppend(&master_->fileSystems, &fileSystems_, fsKey.text, SIZE_MAX, &full);
  if (fs == nullptr) return nullptr;
  fs->inConfig = 255;
  FsState& state = stateOf(fs);
  StoragePoolInfo* pool =
      findOrAppend(&fs->pools, &state.pools, poolKey.text, MAX_POOLS_PER_FS, &full);
  if (full) warnLimit(LIMIT_POOLS, fs->name);
  if (pool == nullptr) return nullptr;
  pool->inConfig = 255;
  const size_t before = pool->disks.size();
  const size_t room = MAX_DISKS_PER_FS > state.disks ? MAX_DISKS_PER_FS - state.disks : 0;
  DiskInfo* d = findOrAppend(&pool->disks, &disksOf(pool), diskKey.text, before + room, &full);
  if (full) warnLimit(LIMIT_DISKS, fs->name);
  state.disks += pool->disks.size() - before;
  if (d != nullptr) d->inConfig = 255;
  return d;
}

void DiskScan::apply(const char* line) {
  int skip1 = 0, skip2 = 0;
  QueryField disk, fsName, poolName, usage;
  if (sscanf(line, "tncfgdump:sdrq_nsd_info:%d:%d:::" QF ":" QF ":" QF ":" QF ":", &skip1, &skip2,
             disk, fsName, poolName, usage) != 6) {
    return;
  }
  if (strcmp(fsName, "free_disk") == 0) return;
  DiskInfo* d = mark(fsName, poolName, disk);
  if (d == nullptr) return;
  for (const DiskUsage& u : kDiskUsages) {
    if (strcmp(usage, u.usage) != 0) continue;
    copyText(d->metadata, u.metadata);
    copyText(d->data, u.data);
  }
}

// The cluster record's fields in request order: texts, but position 7 (tcpPort).
char (ClusterInfo::*const kClusterRecordTexts[])[RECORD_TEXT_SIZE] = {
    &ClusterInfo::name,
    &ClusterInfo::id,
    &ClusterInfo::queryField3,
    &ClusterInfo::uidDomain,
    &ClusterInfo::remoteShellCommand,
    &ClusterInfo::remoteFileCopyCommand,
    nullptr,  // tcpPort
    &ClusterInfo::primaryServer,
    &ClusterInfo::secondaryServer,
};

// Parses the cluster record into master; fields the line does not yield keep
// their values.
void applyClusterRecord(ClusterInfo* master, const char* line) {
  int skip1 = 0, skip2 = 0, port = 0;
  QueryField f[9];
  int n = sscanf(line,
                 "tncfgdump:sdrq_cluster_info:%d:%d:::" QF ":" QF ":" QF ":" QF ":" QF ":" QF
                 ":%d:" QF ":" QF ":",
                 &skip1, &skip2, f[0], f[1], f[2], f[3], f[4], f[5], &port, f[7], f[8]);
  for (int i = 0; i < 9 && i < n - 2; i++) {
    if (kClusterRecordTexts[i] != nullptr) {
      copyText(master->*kClusterRecordTexts[i], f[i]);
    } else {
      master->tcpPort = port;
    }
  }
}

// Adds the node of one node record when its address is new, and marks it as
// listed; known nodes keep their identity fields. Fields the line stops
// before are empty.
void applyNodeRecord(ClusterInfo* master, const char* line) {
  int skip1 = 0, skip2 = 0;
  QueryField name = "", ip = "", unused3 = "", manager = "", quorum = "", unused6 = "",
             platform = "";
  int n = sscanf(
      line, "tncfgdump:sdrq_node_info:%d:%d:::" QF ":" QF ":" QF ":" QF ":" QF ":" QF ":" QF ":",
      &skip1, &skip2, name, ip, unused3, manager, quorum, unused6, platform);
  if (n < 4) return;
  Key ipKey(ip);
  int32_t at = master->getNodeInfoIndex(ipKey.text);
  if (at >= 0) {
    master->nodes[at]->inConfig = 255;
    return;
  }
  MErrno err = 0;
  NodeInfo* node = new (std::nothrow) NodeInfo(&err);
  if (node == nullptr) return;
  node->inConfig = 255;
  copyText(node->ip, ipKey.text);
  copyText(node->name, name);
  snprintf(node->type, sizeof node->type, "%s%s",
           strcmp(manager, "true") == 0 ? "manager-" : "client-",
           strcmp(quorum, "true") == 0 ? "quorum" : "nonquorum");
  copyText(node->platform, platform);
  master->nodes.push_back(node);
}

// Runs a query and hands each output line to apply(line). 1, with nothing
// applied, when the tool cannot be started or fails; else 0.
int runQuery(const QuerySpec& spec, int norefresh, bool firstLineOnly,
             const std::function<void(const char*)>& apply) {
  std::string text;
  ScopedFile output(startQuery(spec, norefresh, &text));
  if (output.get() == nullptr) return 1;
  char line[QUERY_LINE_SIZE];
  while (readQueryLine(output.get(), line)) {
    apply(line);
    if (firstLineOnly) break;
  }
  return 0;
}

// Formats a "_warning_" line for the operator.
void warnf(const char* format, int a, int b) {
  char message[256];
  snprintf(message, sizeof message, format, a, b);
  ts_print(message);
}

}  // namespace

// ---------------------------------------------------------------------------
// Life cycle and the daemon's node list.

int PollingHandler::init(int debugFlag) {
  if (thePollingHandler != nullptr) return 0;
  MErrno err = 0;
  PollingHandler* handler = new (std::nothrow) PollingHandler(&err, debugFlag);
  if (handler == nullptr) return 1;
  if (err != 0) {
    delete handler;
    return err;
  }
  thePollingHandler = handler;
  return 0;
}

void PollingHandler::term() {
  delete thePollingHandler;
  thePollingHandler = nullptr;
}

PollingHandler::PollingHandler(MErrno* err, int debugFlag)
    : utils(nullptr), clusterInfo(nullptr), debug(debugFlag) {
  // The mutex exists from here on, so the destructor can always destroy it.
  pthread_mutex_init(&handlerMutex, nullptr);
  MErrno rc = TnperfWrapperUtils::init(debug);
  if (err != nullptr) *err = rc;
  if (rc != 0) return;
  utils = theTnperfWrapperUtils;
  MErrno recordErr = 0;
  clusterInfo = new (std::nothrow) ClusterInfo(&recordErr);
  if (clusterInfo == nullptr) {
    ts_print("Error: Failed to allocate memory\n");
    if (err != nullptr) *err = 1;
    return;
  }
  refreshClusterRecipe();
}

PollingHandler::~PollingHandler() {
  if (utils != nullptr && clusterInfo != nullptr) {
    ScopedLock lock(&handlerMutex);
    cleanupNodeList();
  }
  delete clusterInfo;
  clusterInfo = nullptr;
  if (utils != nullptr) TnperfWrapperUtils::term();
  utils = nullptr;
  pthread_mutex_destroy(&handlerMutex);
}

int PollingHandler::processCommand(const char* command) {
  int rc = utils->processCommand(command);
  while (rc == 2) rc = utils->processCommand(command);
  if (rc == -1) answerFailed = true;
  return rc;
}

namespace {

// Sends a command whose answer nobody reads; echoes it when debugging.
void sendAndDiscard(PollingHandler* handler, const char* command) {
  handler->processCommand(command);
  if (handler->debug != 0) handler->utils->getInstanceCount("a");
  handler->utils->cleanupCommand();
}

}  // namespace

int PollingHandler::initNodeList() {
  cleanupNodeList();
  sendAndDiscard(this, "tnperf ng + *");
  return 0;
}

int PollingHandler::cleanupNodeList() {
  sendAndDiscard(this, "tnperf n + *");
  sendAndDiscard(this, "tnperf ng ~");
  return 0;
}

int PollingHandler::refreshClusterRecipe() {
  ScopedLock lock(&handlerMutex);
  initNodeList();
  stampNow(&clusterInfo->clusterUpdateTime);
  return 0;
}

// ---------------------------------------------------------------------------
// Cluster.

int PollingHandler::updateClusterInfo(ClusterInfo* dst, int norefresh) {
  ScopedLock lock(&handlerMutex);
  ClusterInfo* master = clusterInfo;
  if (runQuery(kClusterQuery, norefresh, true,
               [master](const char* line) { applyClusterRecord(master, line); }) != 0)
    return 1;
  int rc = processCommand("get clusterinfo");
  if (rc != 0) {
    utils->cleanupCommand();
    return rc;
  }
  utils->prepBuffer();
  if (utils->getNextInstance("_cluster_") != 0) {
    walkLine(utils, clusterInfo, kClusterRows, kClusterLimit);
  }
  utils->cleanupCommand();
  stampNow(&clusterInfo->clusterUpdateTime);
  if (dst != nullptr) *dst = *clusterInfo;
  return 0;
}

namespace {

// The cluster texts getClusterInfo hands on.
char (ClusterInfo::*const kClusterTexts[])[RECORD_TEXT_SIZE] = {
    &ClusterInfo::name,
    &ClusterInfo::id,
    &ClusterInfo::queryField3,
    &ClusterInfo::minReleaseLevel,
    &ClusterInfo::uidDomain,
    &ClusterInfo::remoteShellCommand,
    &ClusterInfo::remoteFileCopyCommand,
    &ClusterInfo::primaryServer,
    &ClusterInfo::secondaryServer,
};

}  // namespace

int PollingHandler::getClusterInfo(ClusterInfo* dst) {
  // Held so that a configuration scan on another thread cannot destroy the
  // records being copied.
  ScopedLock lock(&handlerMutex);
  if (dst == nullptr || dst == clusterInfo) return 0;
  for (auto text : kClusterTexts) copyText(dst->*text, clusterInfo->*text);
  dst->maxBlockSize = clusterInfo->maxBlockSize;
  dst->copyNodes(clusterInfo);
  dst->copyFS(clusterInfo);
  dst->clusterUpdateTime = clusterInfo->clusterUpdateTime;
  return 0;
}

int PollingHandler::checkFailedNode(int level) {
  if (clusterInfo->nodes.empty()) return 1;
  for (NodeInfo* node : clusterInfo->nodes) {
    if (node == nullptr || node->status[0] == '\0') continue;
    // The daemon puts a marker character in front of the state word.
    if (strncmp(node->status + 1, "failed", 6) == 0) {
      warnFailedNode(level);
      return 1;
    }
  }
  if (debug != 0) fputs("_ok_ checkFailedNode: done\n", stderr);
  return 0;
}

// A failed node stays failed for minutes: one warning per level and 20
// seconds tells the operator as much as one per refused poll.
void PollingHandler::warnFailedNode(int level) {
  if (level < 0 || level >= POLL_LEVEL_COUNT) level = 0;
  if (!warningDue(&failedNodeWarned[level], kFailedNodeWarnSeconds)) return;
  ts_print("Warning: failed node\n");
}

// ---------------------------------------------------------------------------
// Nodes.

namespace {

// Walks every record of the current response that begins with prefix into
// the node whose address the record's key keyword names; others are skipped.
template <size_t N>
void walkNodeRecords(PollingHandler* h, const char* prefix, const char* key,
                     const KeywordRow<NodeInfo> (&rows)[N], int limit) {
  TnperfWrapperUtils* utils = h->utils;
  utils->prepBuffer();
  while (utils->getNextInstance(prefix) != 0) {
    Key ip(utils->getBufferedValue(key, 0, 256));
    int32_t at = h->clusterInfo->getNodeInfoIndex(ip.text);
    if (at < 0) continue;
    walkLine(utils, h->clusterInfo->nodes[at], rows, limit);
  }
  utils->cleanupCommand();
}

// A node the daemon does not report shows these values.
void resetNodeStates(ClusterInfo* master) {
  for (NodeInfo* node : master->nodes) {
    if (node == nullptr) continue;
    copyText(node->status, "unknown");
    copyText(node->healthy, "no");
    copyText(node->diagnosis, "unknown");
  }
}

}  // namespace

int PollingHandler::updateNodeInfo(ClusterInfo* dst, int norefresh) {
  ScopedLock lock(&handlerMutex);
  ClusterInfo* master = clusterInfo;
  if (runQuery(kNodeQuery, norefresh, false,
               [master](const char* line) { applyNodeRecord(master, line); }) != 0)
    return 1;
  // A node the configuration no longer lists has left the cluster.
  sweepUnmarked(&clusterInfo->nodes, [](NodeInfo*) {});
  int rc = processCommand("get nodes");
  if (rc != 0) {
    utils->cleanupCommand();
    return rc;
  }
  resetNodeStates(clusterInfo);
  walkNodeRecords(this, "_node_", "_addr_", kNodeRows, kNodeLimit);
  rc = processCommand("tnperf nc");
  if (rc != 0) {
    utils->cleanupCommand();
    return rc;
  }
  walkNodeRecords(this, "_tnperf", "_n_", kNodeConfigRows, kNodeConfigLimit);
  stampNow(&clusterInfo->nodeUpdateTime);
  if (dst != nullptr) dst->copyNodes(clusterInfo);
  return 0;
}

// ---------------------------------------------------------------------------
// File systems.

namespace {

void pollFilesystemState(PollingHandler* h, FilesystemInfo* fs) {
  char command[COMMAND_SIZE];
  snprintf(command, sizeof command, "%s %s -b", "get fs", fs->name);
  h->processCommand(command);
  h->utils->prepBuffer();
  if (h->utils->getNextInstance("_fsstate_") != 0) {
    walkLine(h->utils, fs, kFsStateRows, kFsStateLimit);
  } else if (h->debug != 0) {
    char message[COMMAND_SIZE];
    snprintf(message, sizeof message, "_warning_ 'get fs %s' returned 0 instance\n", fs->name);
    ts_print(message);
  }
  h->utils->cleanupCommand();
}

// Cluster-wide sums of "tnperf gfis": every usable record adds to the file
// system it names. fsCount is the number of file systems when the poll began.
void pollFilesystemStats(PollingHandler* h, int fsCount) {
  TnperfWrapperUtils* utils = h->utils;
  ClusterInfo* master = h->clusterInfo;
  h->processCommand("tnperf gfis");
  for (FilesystemInfo* fs : master->fileSystems) {
    if (fs != nullptr) fs->clearStats();
  }
  utils->prepBuffer();
  while (utils->getNextInstance("_tnperf") != 0) {
    int rc = toInt32(utils->getBufferedValue("_rc_", 0, 256));
    if (rc != 0) {
      if (h->debug != 0) {
        warnf("_warning_ %d instance: 'tnperf gfis' returned error (rc=%d)\n", fsCount, rc);
      }
      continue;
    }
    Key name(utils->getBufferedValue("_fs_", 0, 256));
    int32_t at = master->getFilesystemInfoIndex(name.text);
    if (at < 0) continue;
    FilesystemInfo* fs = master->fileSystems[at];
    walkLine(utils, fs, kFsStatsRows, kFsStatsLimit);
    fs->perfInstances++;
  }
  utils->cleanupCommand();
  stampNow(&master->fsPerfUpdateTime);
}

}  // namespace

int PollingHandler::updateFilesystemInfo(ClusterInfo* dst, int perf) {
  ScopedLock lock(&handlerMutex);
  int fsCount = static_cast<int>(clusterInfo->fileSystems.size());
  if (checkFailedNode(POLL_LEVEL_FS) != 0) return 1;
  answerFailed = false;
  for (FilesystemInfo* fs : clusterInfo->fileSystems) {
    if (fs != nullptr && !answerFailed) pollFilesystemState(this, fs);
  }
  if (perf != 0 && !answerFailed) pollFilesystemStats(this, fsCount);
  if (answerFailed) return 1;
  stampNow(&clusterInfo->fsUpdateTime);
  if (dst != nullptr) dst->copyFS(clusterInfo);
  return 0;
}

// ---------------------------------------------------------------------------
// Disk configuration scan.

int PollingHandler::updateDiskSDRInfo(int norefresh) {
  // Held for the whole scan: its sweep destroys records that the polls and
  // getClusterInfo on other threads read.
  ScopedLock lock(&handlerMutex);
  DiskScan scan(clusterInfo);
  if (runQuery(kDiskQuery, norefresh, false, [&scan](const char* line) { scan.apply(line); }) != 0)
    return 1;
  sweepTree(clusterInfo);
  stampNow(&clusterInfo->sdrUpdateTime);
  return 0;
}

// ---------------------------------------------------------------------------
// Storage pools.

namespace {

void pollPools(PollingHandler* h, int32_t fsIndex) {
  TnperfWrapperUtils* utils = h->utils;
  FilesystemInfo* fs = h->clusterInfo->fileSystems[fsIndex];
  char command[COMMAND_SIZE];
  snprintf(command, sizeof command, "%s %s", "get stgpools", fs->name);
  h->processCommand(command);
  KeyIndex<StoragePoolInfo> pools(fs->pools, &StoragePoolInfo::name);
  bool full = false;
  utils->prepBuffer();
  while (utils->getNextInstance("_pool_") != 0) {
    Key name(utils->getBufferedValue("_pool_", 1, 256));
    if (name.text[0] == '\0') continue;  // a record without a name has no pool to fill
    StoragePoolInfo* pool = findOrAppend(&fs->pools, &pools, name.text, MAX_POOLS_PER_FS, &full);
    if (pool == nullptr) continue;
    walkLine(utils, pool, kPoolRows, kPoolLimit);
    pool->fsIndex = fsIndex;
  }
  if (full) warnLimit(LIMIT_POOLS, fs->name);
  utils->cleanupCommand();
  stampNow(&fs->poolUpdateTime);
}

// Position of name in the master's file systems, or -1 (null name included).
int32_t findFs(ClusterInfo* master, const char* name) {
  if (name == nullptr) return -1;
  Key key(name);
  return master->getFilesystemInfoIndex(key.text);
}

}  // namespace

int PollingHandler::updateStoragePoolInfo(ClusterInfo* dst, const char* fsName) {
  ScopedLock lock(&handlerMutex);
  int32_t first = 0;
  int32_t end = static_cast<int32_t>(clusterInfo->fileSystems.size());
  if (fsName != nullptr) {
    first = findFs(clusterInfo, fsName);
    if (first < 0) return 1;
    end = first + 1;
  }
  if (checkFailedNode(POLL_LEVEL_POOLS) != 0) return 1;
  answerFailed = false;
  for (int32_t i = first; i < end && !answerFailed; i++) {
    if (clusterInfo->fileSystems[i] != nullptr) pollPools(this, i);
  }
  if (answerFailed) return 1;
  if (dst != nullptr)
    dst->copyPools(clusterInfo,
                   fsName != nullptr ? clusterInfo->fileSystems[first]->name : nullptr);
  return 0;
}

// ---------------------------------------------------------------------------
// Disks.

namespace {

void pollDisks(PollingHandler* h, FilesystemInfo* fs, StoragePoolInfo* pool) {
  TnperfWrapperUtils* utils = h->utils;
  char command[COMMAND_SIZE];
  snprintf(command, sizeof command, "%s %s %s", "get fs", fs->name, pool->name);
  h->processCommand(command);
  const KeyIndex<DiskInfo> disks(pool->disks, &DiskInfo::name);
  utils->prepBuffer();
  while (utils->getNextInstance("_disk_") != 0) {
    Key name(utils->getBufferedValue("_disk_", 1, 256));
    int32_t at = disks.find(name.text);
    if (at < 0) continue;  // only the configuration scan creates disks
    DiskInfo* disk = pool->disks[at];
    disk->clearStats();
    // Read before the walk splits the line in place.
    char failureGroup[RECORD_TEXT_SIZE];
    copyText(failureGroup, utils->getBufferedValue("_fg_", 0, 256));
    WalkState state;
    state.buffered = failureGroup;
    walkLine(utils, disk, kDiskRows, kDiskLimit, &state);
  }
  utils->cleanupCommand();
}

// Walks the next line beginning with prefix (the "_r_" or "_w_" block of the
// current record) into disk; false when there is none.
template <size_t N>
bool walkDiskBlock(TnperfWrapperUtils* utils, const char* prefix, DiskInfo* disk,
                   const KeywordRow<DiskInfo> (&rows)[N], bool* minSeen) {
  if (utils->getNextInstance(prefix) == 0) return false;
  WalkState state;
  state.minSeen = minSeen;
  walkLine(utils, disk, rows, kDiskStatsLimit, &state);
  return true;
}

// Sums "tnperf ds" per disk of pool: several records (one per node) may name
// the same disk.
void pollDiskStats(PollingHandler* h, FilesystemInfo* fs, StoragePoolInfo* pool) {
  TnperfWrapperUtils* utils = h->utils;
  char command[COMMAND_SIZE];
  snprintf(command, sizeof command, "%s f cl %s fs %s p %s", "tnperf ds", h->clusterInfo->name,
           fs->name, pool->name);
  h->processCommand(command);
  // Whether each disk's shortest times already hold a value of this poll.
  std::vector<char> readSeen(pool->disks.size(), 0), writeSeen(pool->disks.size(), 0);
  const KeyIndex<DiskInfo> disks(pool->disks, &DiskInfo::name);
  int seen = 0;
  utils->prepBuffer();
  while (utils->getNextInstance("_tnperf") != 0) {
    seen++;
    int rc = toInt32(utils->getBufferedValue("_rc_", 0, 256));
    if (rc != 0) {
      if (h->debug != 0) {
        warnf("_warning_ %d instance: 'tnperf ds' returned error (rc=%d)\n", seen, rc);
      }
      continue;
    }
    Key name(utils->getBufferedValue("_d_", 0, 256));
    int32_t at = disks.find(name.text);
    if (at < 0) continue;
    DiskInfo* disk = pool->disks[at];
    copyText(disk->nodeName, utils->getBufferedValue("_nn_", 0, 256));
    bool readMin = readSeen[at] != 0, writeMin = writeSeen[at] != 0;
    walkDiskBlock(utils, "_r_", disk, kDiskReadRows, &readMin);
    if (walkDiskBlock(utils, "_w_", disk, kDiskWriteRows, &writeMin)) disk->perfInstances++;
    readSeen[at] = readMin;
    writeSeen[at] = writeMin;
  }
  utils->cleanupCommand();
  stampNow(&pool->diskPerfUpdateTime);
}

}  // namespace

int PollingHandler::updateDiskInfo(ClusterInfo* dst, const char* fsName, const char* poolName,
                                   int perf) {
  ScopedLock lock(&handlerMutex);
  int32_t fsIndex = findFs(clusterInfo, fsName);
  if (fsIndex < 0 || clusterInfo->fileSystems[fsIndex] == nullptr) return 1;
  FilesystemInfo* fs = clusterInfo->fileSystems[fsIndex];
  int32_t poolIndex = -1;
  if (poolName != nullptr) {
    Key key(poolName);
    poolIndex = fs->getStoragePoolInfoIndex(key.text);
    if (poolIndex < 0) return 1;
  }
  if (checkFailedNode(POLL_LEVEL_DISKS) != 0) return 1;
  answerFailed = false;
  for (size_t j = 0; j < fs->pools.size() && !answerFailed; j++) {
    if (poolIndex >= 0 && j != static_cast<size_t>(poolIndex)) continue;
    StoragePoolInfo* pool = fs->pools[j];
    if (pool == nullptr) continue;
    pollDisks(this, fs, pool);
    if (perf != 0 && !answerFailed) pollDiskStats(this, fs, pool);
    if (!answerFailed) stampNow(&pool->diskUpdateTime);
  }
  if (answerFailed) return 1;
  if (dst != nullptr)
    dst->copyDisks(clusterInfo, fs->name,
                   poolName != nullptr ? fs->pools[poolIndex]->name : nullptr);
  return 0;
}

void stopQueries() { queriesStopped.store(true); }

void setQueryTimeLimit(int millis) {
  queryLimitMillis.store(millis > 0 ? millis : kQueryLimitMillis);
  queriesStopped.store(false);
}
