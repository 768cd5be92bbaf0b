// The control commands of the simulator: one request line in, a reply out.
// They change the model, send events and inject faults through the Server;
// the words are those of "tarnsim ctl" (see sim/README.md).
#ifndef TNMIBD_SIM_CONTROL_H_
#define TNMIBD_SIM_CONTROL_H_

#include <string>

namespace sim {

class Server;

enum { CONTROL_OK = 0, CONTROL_ERROR = 1, CONTROL_LATER = 2 };

// Runs one control request on the server's loop thread. Returns CONTROL_OK
// or CONTROL_ERROR with the reply text (the error message) in *reply, or
// CONTROL_LATER when the server answers control connection clientId itself
// when the work is done (a paced event stream).
int runControl(Server& server, int clientId, const std::string& line, std::string* reply);

// The list of control commands, one per line.
const char* controlHelp();

}  // namespace sim

#endif  // TNMIBD_SIM_CONTROL_H_
