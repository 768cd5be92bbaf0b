// Daemon-side start-up and the worker threads.
//
// DESIGN: main calls these at fixed points of its start-up order. The main
// thread serves every SNMP request and owns myCluster (no lock). The event
// thread runs the events handler, which starts its own receive and send
// threads. The refresh thread re-sends the polling handler's node-list
// commands every 180 seconds; the polling handler's mutex serialises that
// against the main thread's polls.
#ifndef TNMIBD_AGENT_TARNINFO_H_
#define TNMIBD_AGENT_TARNINFO_H_

class ClusterInfo;
class PollingHandler;

// The SNMP side's copy of the cluster data; main thread only.
extern ClusterInfo* myCluster;

// Creates the polling handler and myCluster; 0 or the failing step's error code.
int initTarnInfo();

// Creates the events handler and registers one trap sender per event type.
void initEvents(PollingHandler* handler);

// Frees myCluster and terminates the events handler (at shutdown).
void deleteTarnInfo();

// Thread bodies; their argument is ignored.
void* eventThread(void* unused);
void* refreshThread(void* unused);

#endif  // TNMIBD_AGENT_TARNINFO_H_
