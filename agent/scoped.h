// Small RAII holders for the plain classes: each releases its resource on
// every path out of the scope that owns it. None of them can be copied.
#ifndef TNMIBD_AGENT_SCOPED_H_
#define TNMIBD_AGENT_SCOPED_H_

#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

// Holds a pthread mutex locked for the lifetime of the object.
class ScopedLock {
 public:
  explicit ScopedLock(pthread_mutex_t* mutex) : mutex_(mutex) { pthread_mutex_lock(mutex_); }
  ~ScopedLock() { pthread_mutex_unlock(mutex_); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  pthread_mutex_t* mutex_;
};

// Holds a pthread mutex if it was free at construction; never waits for it.
class ScopedTryLock {
 public:
  explicit ScopedTryLock(pthread_mutex_t* mutex)
      : mutex_(mutex), locked_(pthread_mutex_trylock(mutex) == 0) {}
  ~ScopedTryLock() {
    if (locked_) pthread_mutex_unlock(mutex_);
  }
  ScopedTryLock(const ScopedTryLock&) = delete;
  ScopedTryLock& operator=(const ScopedTryLock&) = delete;
  bool locked() const { return locked_; }

 private:
  pthread_mutex_t* mutex_;
  bool locked_;
};

// Owns a file descriptor; closes it unless released.
class ScopedFd {
 public:
  explicit ScopedFd(int fd = -1) : fd_(fd) {}
  ~ScopedFd() { reset(); }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// Owns a FILE* from fopen/fdopen; fclose on scope exit.
class ScopedFile {
 public:
  explicit ScopedFile(FILE* file = nullptr) : file_(file) {}
  ~ScopedFile() {
    if (file_ != nullptr) fclose(file_);
  }
  ScopedFile(const ScopedFile&) = delete;
  ScopedFile& operator=(const ScopedFile&) = delete;
  FILE* get() const { return file_; }
  FILE* release() {
    FILE* f = file_;
    file_ = nullptr;
    return f;
  }

 private:
  FILE* file_;
};

// Owns a FILE* from popen; pclose on scope exit.
class ScopedPipe {
 public:
  explicit ScopedPipe(FILE* pipe) : pipe_(pipe) {}
  ~ScopedPipe() { close(); }
  ScopedPipe(const ScopedPipe&) = delete;
  ScopedPipe& operator=(const ScopedPipe&) = delete;
  FILE* get() const { return pipe_; }
  // Closes the pipe now and returns pclose's result (-1 when already closed).
  int close() {
    int rc = -1;
    if (pipe_ != nullptr) rc = pclose(pipe_);
    pipe_ = nullptr;
    return rc;
  }

 private:
  FILE* pipe_;
};

#endif  // TNMIBD_AGENT_SCOPED_H_
