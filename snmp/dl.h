// Run-time binding of the Net-SNMP libraries.
//
// The agent is compiled against the Net-SNMP headers but not linked against
// the libraries: at start-up it opens them with the dynamic loader and keeps
// the address of every library function it uses in the one global `dlib`.
// dl.cc defines functions with the library's own names and signatures that
// forward to those addresses, so the rest of the agent calls the library as
// usual. Nothing is ever closed.
#ifndef TNMIBD_SNMP_DL_H_
#define TNMIBD_SNMP_DL_H_

#include <stddef.h>

class Netsnmp_DL {
 public:
  // Opens the libraries the SNMP libraries depend on (libcrypto, libwrap),
  // globally, before them. Returns 0 when both opened, -1 otherwise (after
  // trying both and printing the loader's text for each failure).
  int open_dep_dlibs();

  // Opens libnetsnmp, libnetsnmphelpers, libnetsnmpagent, libnetsnmpmibs in
  // that order and resolves the 31 functions and one variable, each from the library that
  // defines it. Returns 0 on complete success, -1 at the first failure after
  // printing the loader's text. Call once, on the main thread, before any
  // forwarding function.
  int open_netsnmp_dlibs();

  // The same two steps with other library names (tests, hosts that name the
  // files otherwise). Each name is tried as given, then with the run-time
  // package's version suffix.
  int open_dep_dlibs_named(const char* const names[2]);
  int open_netsnmp_dlibs_named(const char* const names[4]);

  // Library handles; null until opened (a failed open leaves null).
  void* libnetsnmp;
  void* libnetsnmpmibs;
  void* libnetsnmpagent;
  void* libnetsnmphelpers;

  // Resolved function addresses, one per library function used.
  void* init_agent;
  void* agent_check_and_process;
  void* netsnmp_create_handler_registration;
  void* send_v2trap;
  void* snmp_enable_stderrlog;
  void* netsnmp_ds_set_boolean;
  void* netsnmp_ds_set_string;
  void* init_snmp;
  void* init_mib;
  void* read_objid;
  void* print_objid;
  void* read_module;
  void* read_mib;
  void* snmp_shutdown;
  void* snmp_get_do_debugging;
  void* debugmsgtoken;
  void* debugmsg;
  void* snmp_log;
  void* snmp_set_var_typed_value;
  void* snmp_set_var_value;
  void* snmp_varlist_add_variable;
  void* snmp_free_varbind;
  void* netsnmp_register_scalar;
  void* netsnmp_table_helper_add_indexes;
  void* netsnmp_register_table_iterator;
  void* netsnmp_extract_iterator_context;
  void* netsnmp_extract_table_info;
  void* snmp_set_do_debugging;
  void* print_mib;
  // Functions beyond the list above, used to run traps on the main thread.
  void* register_readfd;
  void* snmp_alarm_register;
  // Functions beyond the list above, used to put a handler ahead of the table iterator.
  void* netsnmp_create_handler;
  void* netsnmp_inject_handler_before;
  void* netsnmp_call_next_handler;
  // The AgentX session to the master, for the trap pacing: two functions,
  // and the address of the agent library's variable main_session (a
  // netsnmp_session*, which the library sets when it connects to the master
  // and clears when the connection is lost).
  void* snmp_sess_pointer;
  void* snmp_sess_transport;
  void* main_session;
};

// The one binding, zero at process start, filled by main.
extern Netsnmp_DL dlib;

// Present only so that a library that refers to it can be loaded; logs if called.
extern "C" void boot_DynaLoader();

#endif  // TNMIBD_SNMP_DL_H_
