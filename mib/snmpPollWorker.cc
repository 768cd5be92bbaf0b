#include "mib/snmpPollWorker.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <deque>
#include <vector>

#include "agent/clock.h"
#include "agent/scoped.h"

namespace {

struct Queued {
  PollJob job;
  uint64_t ticket;
};

// Everything below is read and written under mutex.
pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t changed;  // a job done, a job queued, or a stop
bool started = false;
bool stopping = false;
PollRunner runner = nullptr;
std::deque<Queued> queue;    // the front one is running, or next to run
std::vector<PollDone> done;  // at most one: the worker waits for it to be taken
uint64_t lastTicket = 0;
uint64_t lastDone = 0;    // tickets run in order: every one up to this is done
uint64_t lateTicket = 0;  // a job that outlived a wait; 0 for none
int wakePipe[2] = {-1, -1};

bool sameJob(const PollJob& a, const PollJob& b) {
  return a.level == b.level && a.flag == b.flag && strcmp(a.fsName, b.fsName) == 0 &&
         strcmp(a.poolName, b.poolName) == 0;
}

struct timespec monotonicAt(int64_t micros) {
  struct timespec at;
  at.tv_sec = static_cast<time_t>(micros / 1000000);
  at.tv_nsec = static_cast<long>(micros % 1000000) * 1000;
  return at;
}

void wake() {
  const char byte = 1;
  // A full pipe already holds a wake-up.
  while (write(wakePipe[1], &byte, 1) < 0 && errno == EINTR) {
  }
}

// Runs the front job outside the mutex; false at a stop.
bool runFront() {
  PollJob job;
  uint64_t ticket;
  {
    ScopedLock lock(&mutex);
    while (!stopping && (queue.empty() || !done.empty())) pthread_cond_wait(&changed, &mutex);
    if (stopping) return false;
    job = queue.front().job;
    ticket = queue.front().ticket;
  }
  const int result = runner(job);
  {
    ScopedLock lock(&mutex);
    queue.pop_front();
    done.push_back(PollDone{job, ticket, result});
    lastDone = ticket;
    if (lateTicket != 0 && lateTicket <= lastDone) lateTicket = 0;
    pthread_cond_broadcast(&changed);
  }
  wake();
  return true;
}

}  // namespace

int PollWorker::init(PollRunner run) {
  if (pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&changed, &attr);
  pthread_condattr_destroy(&attr);
  ScopedLock lock(&mutex);
  runner = run;
  stopping = false;
  started = true;
  return 0;
}

void* PollWorker::threadBody(void*) {
  while (runFront()) {
  }
  return nullptr;
}

void PollWorker::stop() {
  ScopedLock lock(&mutex);
  stopping = true;
  pthread_cond_broadcast(&changed);
}

void PollWorker::term() {
  {
    ScopedLock lock(&mutex);
    if (!started) return;
    done.clear();
    queue.clear();
    lateTicket = 0;
    lastDone = lastTicket;
    started = false;
  }
  pthread_cond_destroy(&changed);
  for (int& fd : wakePipe) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

bool PollWorker::running() {
  ScopedLock lock(&mutex);
  return started;
}

uint64_t PollWorker::submit(const PollJob& job) {
  ScopedLock lock(&mutex);
  for (const Queued& q : queue) {
    if (sameJob(q.job, job)) return q.ticket;
  }
  for (const PollDone& d : done) {
    if (sameJob(d.job, job)) return d.ticket;
  }
  queue.push_back(Queued{job, ++lastTicket});
  pthread_cond_broadcast(&changed);
  return lastTicket;
}

bool PollWorker::wait(uint64_t ticket, int64_t deadline) {
  ScopedLock lock(&mutex);
  const struct timespec at = monotonicAt(deadline);
  while (done.empty()) {
    if (lastDone >= ticket) return false;  // done and taken
    if (lateTicket != 0 && lateTicket <= ticket) return false;
    if (stopping || monotonicMicros() >= deadline) {
      // The job running is what keeps this one waiting.
      if (!queue.empty() && lateTicket == 0) lateTicket = queue.front().ticket;
      return false;
    }
    pthread_cond_timedwait(&changed, &mutex, &at);
  }
  return true;
}

bool PollWorker::peekDone(PollDone* out) {
  ScopedLock lock(&mutex);
  if (done.empty()) return false;
  *out = done.front();
  return true;
}

void PollWorker::takeDone() {
  ScopedLock lock(&mutex);
  if (!done.empty()) done.erase(done.begin());
  pthread_cond_broadcast(&changed);
}

int PollWorker::wakeFd() { return wakePipe[0]; }

void PollWorker::drain() {
  char bytes[64];
  while (read(wakePipe[0], bytes, sizeof bytes) > 0) {
  }
}
