// The agent health objects of TARN-MIB (tarnAgentHealth): whether the two
// daemon connections are up, how old each level of the served data is, the
// counts of failed polls, received events and sent and dropped traps, and
// the event table (tarnAgentEventTable): per event type word, the lines
// received, the traps sent and the seconds since the last line.
//
// They are answered from the agent's own state and never poll the daemon, so
// they stay readable while the daemon does not answer. Registration and the
// handler run on the main thread, which also owns myCluster; the counters of
// other threads are read through their atomic accessors.
#ifndef TNMIBD_MIB_SNMPHEALTH_H_
#define TNMIBD_MIB_SNMPHEALTH_H_

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <stdint.h>
#include <time.h>

#include "mib/snmpRefresh.h"

class ClusterInfo;

// Registers every health scalar and the event table the MIB holds (one
// missing from it is reported and skipped). Once, on the main thread, after
// the MIB is read.
void init_tarnAgentHealth();

// The handler of all health scalars: answers MODE_GET from the scalar's row;
// other modes are left alone. Main thread.
Netsnmp_Node_Handler tarnAgentHealth_handler;

// Seconds from the last successful poll of level in cluster to now: for a
// level with several stamps, the oldest; a level without records takes the
// age of the level above. Never polled counts from the epoch; the result is
// clamped to 0..4294967295.
uint32_t dataAge(const ClusterInfo* cluster, DataLevel level, time_t now);

#endif  // TNMIBD_MIB_SNMPHEALTH_H_
