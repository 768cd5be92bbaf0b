// Daemon-side start-up and the worker threads.
//
// DESIGN: main calls these at fixed points of its start-up order. The main
// thread serves every SNMP request and owns myCluster (no lock). The event
// thread runs the events handler, which starts its own receive and send
// threads. The refresh thread re-sends the polling handler's node-list
// commands every 180 seconds; the polling handler's mutex serialises that
// against the main thread's polls. At a stop, stopWorkers makes the worker
// threads end (a running configuration query is killed, the events handler's
// send thread ends, the refresh thread's wait is cut short), main joins them,
// and only then is anything they use freed. The events handler's receive
// thread, blocked in the daemon connection, drops every line from then on
// and keeps its handler until the process ends.
#ifndef TNMIBD_AGENT_TARNINFO_H_
#define TNMIBD_AGENT_TARNINFO_H_

class ClusterInfo;
class PollingHandler;

// The SNMP side's copy of the cluster data; main thread only.
extern ClusterInfo* myCluster;

// Marks every descriptor open so far (the SNMP library's included)
// close-on-exec, then creates the polling handler and myCluster; 0 or the
// failing step's error code. Main thread, after init_snmp.
int initTarnInfo();

// Creates the events handler and registers one trap sender per event type.
void initEvents(PollingHandler* handler);

// Asks the event thread (through the events handler) and the refresh thread
// to end, and kills a running configuration query. Main thread, at a stop,
// before joining them.
void stopWorkers();

// Frees myCluster and terminates the events handler (at shutdown, after the
// worker threads have been joined).
void deleteTarnInfo();

// Thread bodies; their argument is ignored.
void* eventThread(void* unused);
void* refreshThread(void* unused);

#endif  // TNMIBD_AGENT_TARNINFO_H_
