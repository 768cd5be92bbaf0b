// The poll worker: the thread that runs the refresh cache's polls, so that a
// request never waits on the daemon for longer than its budget.
//
// DESIGN: a daemon that answers late holds each command up to 5 s, and one
// walk step may start several polls. Run on the main thread, such polls held
// every request behind them, the health scalars included, past the master's
// AgentX timeout; the master then dropped the agent. So the main thread only
// decides what is stale and hands the poll to this thread as a job; it waits
// for the job until its request's deadline, and otherwise answers from the
// data at hand: the one case in which a request that found its data stale is
// not answered from a fresh poll.
//
// myCluster stays the main thread's alone. A job polls into the polling
// handler's master tree only; the main thread then copies the polled level
// from the master into myCluster, holding the handler's mutex only if it is
// free at once (else it tries again at the next turn of the main loop). A
// poll's own copy of the level would cost a third copy of every node at
// 1,024 nodes. The worker starts its next job only once the main thread has
// taken the last one, so the copy finds the mutex free unless another
// thread's work (a configuration scan, the node-list refresh) holds it. A
// job done after its request was answered is merged at the main loop's next
// turn: the worker writes a byte to wakeFd, which the main loop watches.
#ifndef TNMIBD_MIB_SNMPPOLLWORKER_H_
#define TNMIBD_MIB_SNMPPOLLWORKER_H_

#include <stdint.h>

#include "api/api_records.h"
#include "mib/snmpRefresh.h"

// One poll: a level and, for pools and disks, which part of it.
struct PollJob {
  DataLevel level;
  int flag;                         // norefresh (cluster, nodes) or perf (file systems, disks)
  char fsName[RECORD_TEXT_SIZE];    // pools, disks: the file system; "" for every one
  char poolName[RECORD_TEXT_SIZE];  // disks: the pool; "" for every pool
};

// A job the worker has run, and the poll's result (0 for success).
struct PollDone {
  PollJob job;
  uint64_t ticket;
  int result;
};

// Runs one job's poll into the polling handler's master tree; its result.
typedef int (*PollRunner)(const PollJob& job);

class PollWorker {
 public:
  // Makes the wake pipe and readies the queue for run; 0, or -1 when no pipe
  // could be made. The caller then starts a thread on threadBody. Main thread.
  static int init(PollRunner run);
  // The thread's body: runs jobs in order until stop.
  static void* threadBody(void* unused);
  // Ends threadBody after the job it runs (whose waits end at a stop request).
  // Any thread.
  static void stop();
  // Drops the jobs left and closes the pipe; after the thread was joined.
  // Main thread.
  static void term();
  // True between init and term. Main thread.
  static bool running();

  // Queues job, unless an equal job is queued, running, or done and not yet
  // taken; returns the ticket of the job that does it. Main thread.
  static uint64_t submit(const PollJob& job);
  // Waits until a job is done and not yet taken (true), or until the job of
  // ticket was taken or deadline (monotonic microseconds) passes (false). A
  // job that outlives one wait makes every later wait for it, or for a job
  // queued behind it, return at once until it is done: one request, not
  // every request, pays for a daemon that hangs. Main thread.
  static bool wait(uint64_t ticket, int64_t deadline);
  // The job done and not yet taken, if any (at most one). Main thread.
  static bool peekDone(PollDone* out);
  // Takes that job: the worker goes on to the next. Main thread.
  static void takeDone();
  // Readable after a job is done; drained with drain.
  static int wakeFd();
  static void drain();
};

#endif  // TNMIBD_MIB_SNMPPOLLWORKER_H_
