// The process-wide running flag, the stop entry point and the version scalar.
#ifndef TNMIBD_AGENT_SNMPOBJECTS_H_
#define TNMIBD_AGENT_SNMPOBJECTS_H_

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include "agent/running.h"

// Requests a stop (exit status unchanged) and ends a running configuration
// query; installed for SIGTERM and SIGINT so a stop reaches the orderly
// shutdown. The argument (a signal number) is ignored.
extern "C" void stop_server(int signo);

// Registers the read-only scalar tarnSubagentVersion; returns the result of
// netsnmp_register_scalar. Main thread, during start-up.
int init_tarnMgmtObjects();

// The scalar's handler: answers GET with Unsigned32 1; any other mode is
// logged through snmp_log and answered with genErr.
extern "C" int handle_tarnSubagentVersion(netsnmp_mib_handler* handler,
                                          netsnmp_handler_registration* reginfo,
                                          netsnmp_agent_request_info* reqinfo,
                                          netsnmp_request_info* requests);

#endif  // TNMIBD_AGENT_SNMPOBJECTS_H_
