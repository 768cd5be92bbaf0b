// The trap senders: one SNMPv2 trap of TARN-MIB per kind of daemon event.
//
// The fifteen senders are the events handler's callbacks and run on its send
// thread. They never enter the SNMP library there: each hands its record to
// a queue that the main thread drains between requests (see the design note
// at the top of snmpTraps.cc). Every trap is described by one row of a table:
// the trap object, the record type and the binding objects with the record
// fields they carry.
#ifndef TNMIBD_MIB_SNMPTRAPS_H_
#define TNMIBD_MIB_SNMPTRAPS_H_

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <stddef.h>
#include <stdint.h>

#include "api/api_event_records.h"

// Sets up delivery on the main thread: the wake-up pipe registered with the
// SNMP library's main loop and the no-delay setting of the AgentX
// connection. Call once, after init_snmp and before the event thread starts.
// 0, or -1 after logging why.
int initTrapDelivery();

// The senders. Each takes ownership of its record (of the type named in its
// description), queues it for the main thread and returns 0; the record is
// deleted once its trap has been sent. Send thread (any thread but the main
// thread's SNMP calls).
int send_tarnMountTrap_trap(Event* event, void* data);
int send_tarnUnmountTrap_trap(Event* event, void* data);
int send_tarnAddDiskTrap_trap(Event* event, void* data);
int send_tarnDeleteDiskTrap_trap(Event* event, void* data);
int send_tarnChangeDiskTrap_trap(Event* event, void* data);
int send_tarnSgmgrTakeoverTrap_trap(Event* event, void* data);
int send_tarnNodeFailureTrap_trap(Event* event, void* data);
int send_tarnNodeRecoveryTrap_trap(Event* event, void* data);
int send_tarnFileSystemCreationTrap_trap(Event* event, void* data);
int send_tarnFileSystemDeletionTrap_trap(Event* event, void* data);
int send_tarnFileSystemStateChangeTrap_trap(Event* event, void* data);
int send_tarnNewConnectionTrap_trap(Event* event, void* data);
int send_tarnEventCollectionBufferOverflowTrap_trap(Event* event, void* data);
int send_tarnHungThreadTrap_trap(Event* event, void* data);
int send_tarnStgPoolUtilizationTrap_trap(Event* event, void* data);

// How a record field is sent.
enum TrapValueKind {
  TRAP_TEXT,         // OCTET STRING of the text without its NUL
  TRAP_GAUGE_LOW64,  // Gauge32 of the low 32 bits of an int64_t field
  TRAP_GAUGE_INT32   // Gauge32 of an int32_t field
};

// One binding after the trap identifier: the TARN-MIB object and the field.
struct TrapBinding {
  const char* object;
  TrapValueKind kind;
  size_t offset;  // of the field within the record type
};

// One trap: the event type it is registered for, the trap object, the
// record type's name, how to reach and delete a record of that type, and the
// bindings after the trap identifier.
struct TrapDescription {
  int eventType;
  const char* trapObject;
  const char* recordType;
  const unsigned char* (*recordBytes)(const Event* event);
  void (*destroy)(Event* event);
  const TrapBinding* bindings;
  int bindingCount;
};

// The fifteen descriptions, in event type order; *count receives 15.
const TrapDescription* trapDescriptions(int* count);

// Looks up every trap object and binding of the descriptions in the MIB,
// reporting each missing one (warnMibObjectMissing); returns how many are
// missing. Main thread, at start-up.
int checkTrapObjects();

// Builds the trap's binding list: snmpTrapOID.0 with the trap object, then
// each field. A name missing from the MIB prints its warning; the binding is
// then left out (snmpTrapOID falls back to its standard identifier, the trap
// object to 0.0), and the list is still built. The caller frees the list
// with snmp_free_varbind. Main thread.
netsnmp_variable_list* buildTrapVarbinds(const TrapDescription* trap, const Event* record);

// Queues a record for sending (what every sender does); when the queue
// already holds its most traps (50,000), deletes the record instead, counts
// it in trapsDroppedCount and warns at most once a minute. Returns 0. Any
// thread.
int queueTrap(const TrapDescription* trap, Event* record);

// Deletes every queued record unsent and counts them as dropped; returns
// how many. At a stop, once no sender can run. Main thread.
size_t discardQueuedTraps();

// Takes up to max queued traps, oldest first, sends each (or, with no
// master connection, counts it as dropped) and deletes their records.
// Returns the number taken. Main thread.
int deliverQueuedTraps(int max);

// Number of traps waiting for the main thread. Any thread.
size_t queuedTrapCount();

// Traps handed to the library's session with the master since start-up,
// and traps dropped without being sent (queue full, no master connection at
// their turn, or left queued at a stop). Any thread.
uint64_t trapsSentCount();
uint64_t trapsDroppedCount();

// Traps handed to the master since start-up for events of eventType (0 to
// 16; 0 for any other value). Any thread.
uint64_t trapsSentOfTypeCount(int eventType);

// The socket of the SNMP library's AgentX session to the master, or -1 when
// it is not connected. Main thread.
int agentXSessionSocket();

// Makes fd the AgentX connection the trap pacing watches (none for -1) and
// sets TCP_NODELAY on it unless set; returns 1 when it changed that, else 0.
// Main thread.
int watchAgentXConnection(int fd);

// watchAgentXConnection(agentXSessionSocket()). Main thread.
int setAgentXNoDelay();

// The bytes we sent on the watched AgentX connection that the master has
// not read yet; 0 when unknown. Main thread.
uint32_t agentXMasterBacklog();

// Replaces the function that hands a finished binding list to the library
// (send_v2trap); null restores it. It must not keep or free the list. For tests.
void setTrapSendFunction(void (*send)(netsnmp_variable_list* vars));

#endif  // TNMIBD_MIB_SNMPTRAPS_H_
