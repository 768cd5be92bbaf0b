// UNIX-domain socket helpers of the simulator and its control client.
#ifndef TNMIBD_SIM_SOCKETS_H_
#define TNMIBD_SIM_SOCKETS_H_

#include <string>

namespace sim {

// Makes a non-blocking listening socket at path, creating missing
// directories. A socket file nobody listens on is replaced; a live one, or a
// file that is not a socket, is an error. Returns the descriptor (owned by
// the caller), or -1 with *err.
int listenUnix(const std::string& path, std::string* err);

// Connects a stream socket to path: blocking, or with nonBlocking a connect
// that fails at once (EAGAIN) when the listener's queue is full. Returns the
// descriptor (owned by the caller), or -1 with *err.
int connectUnix(const std::string& path, std::string* err, bool nonBlocking = false);

// Sends one control request line and reads the reply until the server
// closes. Returns 0 when the reply starts "ok", 1 when it starts "error"
// (*body then holds the message), -1 when the simulator cannot be reached
// or the reply is broken (*body holds the reason). *body gets the reply
// without its status line. Waits at most timeoutMs for the reply (<= 0: no limit).
int controlRequest(const std::string& path, const std::string& line, std::string* body,
                   int timeoutMs);

// The control socket path: the TARNSIM_CTL environment variable, or the default.
std::string defaultControlPath();

// Default paths of the daemon's command socket and of the control socket.
extern const char kDaemonSocketPath[];
extern const char kControlSocketPath[];

}  // namespace sim

#endif  // TNMIBD_SIM_SOCKETS_H_
