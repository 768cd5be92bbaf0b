#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include "snmp/dl.h"

#include <dlfcn.h>
#include <stdio.h>

#include "agent/log.h"

Netsnmp_DL dlib;

namespace {

// Loader flags: lazy binding, and symbols visible to the libraries opened later.
const int kOpenFlags = RTLD_LAZY | RTLD_GLOBAL;

const char* const kDepLibraries[2] = {"libcrypto.so", "libwrap.so"};
const char* const kSnmpLibraries[4] = {"libnetsnmp.so", "libnetsnmphelpers.so",
                                       "libnetsnmpagent.so", "libnetsnmpmibs.so"};
// A host with only the run-time packages has the SNMP libraries under their
// versioned names alone.
const char* const kSnmpVersionSuffix = ".40";

// Which library a symbol is looked up in, by position in the open order.
enum Library { kNetsnmp, kHelpers, kAgent, kMibs, kLibraryCount };

struct SymbolRow {
  const char* name;
  void* Netsnmp_DL::*field;
  Library library;
};

#define TN_SYMBOL(name, lib) \
  { #name, &Netsnmp_DL::name, lib }
const SymbolRow kSymbols[] = {
    TN_SYMBOL(snmp_enable_stderrlog, kNetsnmp),
    TN_SYMBOL(netsnmp_ds_set_boolean, kNetsnmp),
    TN_SYMBOL(netsnmp_ds_set_string, kNetsnmp),
    TN_SYMBOL(init_snmp, kNetsnmp),
    TN_SYMBOL(snmp_shutdown, kNetsnmp),
    TN_SYMBOL(snmp_get_do_debugging, kNetsnmp),
    TN_SYMBOL(snmp_set_do_debugging, kNetsnmp),
    TN_SYMBOL(debugmsgtoken, kNetsnmp),
    TN_SYMBOL(debugmsg, kNetsnmp),
    TN_SYMBOL(snmp_log, kNetsnmp),
    TN_SYMBOL(snmp_set_var_typed_value, kNetsnmp),
    TN_SYMBOL(snmp_set_var_value, kNetsnmp),
    TN_SYMBOL(snmp_varlist_add_variable, kNetsnmp),
    TN_SYMBOL(snmp_free_varbind, kNetsnmp),
    TN_SYMBOL(init_mib, kNetsnmp),
    TN_SYMBOL(read_module, kNetsnmp),
    TN_SYMBOL(read_mib, kNetsnmp),
    TN_SYMBOL(read_objid, kNetsnmp),
    TN_SYMBOL(print_objid, kNetsnmp),
    TN_SYMBOL(print_mib, kNetsnmp),
    TN_SYMBOL(register_readfd, kNetsnmp),
    TN_SYMBOL(snmp_alarm_register, kNetsnmp),
    TN_SYMBOL(snmp_sess_pointer, kNetsnmp),
    TN_SYMBOL(snmp_sess_transport, kNetsnmp),
    TN_SYMBOL(netsnmp_register_scalar, kHelpers),
    TN_SYMBOL(netsnmp_table_helper_add_indexes, kHelpers),
    TN_SYMBOL(netsnmp_register_table_iterator, kHelpers),
    TN_SYMBOL(netsnmp_extract_iterator_context, kHelpers),
    TN_SYMBOL(netsnmp_extract_table_info, kHelpers),
    TN_SYMBOL(init_agent, kAgent),
    TN_SYMBOL(agent_check_and_process, kAgent),
    TN_SYMBOL(netsnmp_create_handler_registration, kAgent),
    TN_SYMBOL(send_v2trap, kAgent),
    TN_SYMBOL(netsnmp_create_handler, kAgent),
    TN_SYMBOL(netsnmp_inject_handler_before, kAgent),
    TN_SYMBOL(netsnmp_call_next_handler, kAgent),
    TN_SYMBOL(main_session, kAgent),
};
#undef TN_SYMBOL

void* Netsnmp_DL::*const kHandleFields[kLibraryCount] = {
    &Netsnmp_DL::libnetsnmp, &Netsnmp_DL::libnetsnmphelpers, &Netsnmp_DL::libnetsnmpagent,
    &Netsnmp_DL::libnetsnmpmibs};

// Opens a library under its name or, when a suffix is given, under the name
// with that suffix. On failure, error receives the loader's text for the name
// that was asked for.
void* openLibrary(const char* name, const char* suffix, char* error, size_t errorSize) {
  void* handle = dlopen(name, kOpenFlags);
  if (handle != nullptr) return handle;
  const char* text = dlerror();
  snprintf(error, errorSize, "%s", text != nullptr ? text : name);
  if (suffix == nullptr) return nullptr;
  char versioned[512];
  snprintf(versioned, sizeof versioned, "%s%s", name, suffix);
  handle = dlopen(versioned, kOpenFlags);
  if (handle == nullptr) dlerror();
  return handle;
}

// Looks one symbol up in one library (never globally, which would find the
// agent's own forwarding function). Prints the loader's text on failure when
// asked to.
bool resolve(Netsnmp_DL* dl, const SymbolRow& row, void* handle, bool report) {
  dlerror();
  void* address = dlsym(handle, row.name);
  const char* error = dlerror();
  dl->*row.field = address;
  if (address != nullptr && error == nullptr) return true;
  if (report) ts_print(error != nullptr ? error : row.name);
  return false;
}

// Resolves the symbols that belong to library lib. The helper functions live
// in the helpers library on some builds and in the agent library on others:
// those the helpers library lacks are looked up again once the agent library
// is open, and only a symbol that neither defines is a failure.
bool resolveLibrary(Netsnmp_DL* dl, Library lib) {
  void* handle = dl->*kHandleFields[lib];
  for (const SymbolRow& row : kSymbols) {
    bool retry = lib == kAgent && row.library == kHelpers && dl->*row.field == nullptr;
    if (row.library != lib && !retry) continue;
    bool deferred = lib == kHelpers;
    if (!resolve(dl, row, handle, !deferred) && !deferred) return false;
  }
  return true;
}

}  // namespace

int Netsnmp_DL::open_dep_dlibs() { return open_dep_dlibs_named(kDepLibraries); }

int Netsnmp_DL::open_netsnmp_dlibs() { return open_netsnmp_dlibs_named(kSnmpLibraries); }

int Netsnmp_DL::open_dep_dlibs_named(const char* const names[2]) {
  int result = 0;
  for (int i = 0; i < 2; i++) {
    char error[1024];
    // Dependency handles are not kept: the libraries only have to be there.
    if (openLibrary(names[i], nullptr, error, sizeof error) == nullptr) {
      ts_print(error);
      result = -1;
    }
  }
  return result;
}

int Netsnmp_DL::open_netsnmp_dlibs_named(const char* const names[4]) {
  for (int lib = kNetsnmp; lib < kLibraryCount; lib++) {
    char error[1024];
    void* handle = openLibrary(names[lib], kSnmpVersionSuffix, error, sizeof error);
    this->*kHandleFields[lib] = handle;
    if (handle == nullptr) {
      char message[1100];
      snprintf(message, sizeof message, "Failed to load library: %s\n", error);
      ts_print(message);
      return -1;
    }
    if (!resolveLibrary(this, static_cast<Library>(lib))) return -1;
  }
  return 0;
}

extern "C" void boot_DynaLoader() {
  ts_print("WEIRD ERROR: boot_DynaLoader stub function called\n");
}

// The forwarding functions: the library's names and signatures, each passing
// its arguments to the resolved address. They check nothing; main calls them
// only after open_netsnmp_dlibs succeeded.
namespace {
template <typename F>
F fn(void* address) {
  return reinterpret_cast<F>(address);
}
}  // namespace

#define TN_CALL(name) fn<decltype(&::name)>(dlib.name)

int init_agent(const char* app) { return TN_CALL(init_agent)(app); }
int agent_check_and_process(int block) { return TN_CALL(agent_check_and_process)(block); }
netsnmp_handler_registration* netsnmp_create_handler_registration(const char* name,
                                                                  Netsnmp_Node_Handler* handler,
                                                                  const oid* regOid,
                                                                  size_t regOidLen, int modes) {
  return TN_CALL(netsnmp_create_handler_registration)(name, handler, regOid, regOidLen, modes);
}
void send_v2trap(netsnmp_variable_list* vars) { TN_CALL(send_v2trap)(vars); }
void snmp_enable_stderrlog(void) { TN_CALL(snmp_enable_stderrlog)(); }
int netsnmp_ds_set_boolean(int storeid, int which, int value) {
  return TN_CALL(netsnmp_ds_set_boolean)(storeid, which, value);
}
int netsnmp_ds_set_string(int storeid, int which, const char* value) {
  return TN_CALL(netsnmp_ds_set_string)(storeid, which, value);
}
void init_snmp(const char* type) { TN_CALL(init_snmp)(type); }
void snmp_shutdown(const char* type) { TN_CALL(snmp_shutdown)(type); }
int snmp_get_do_debugging(void) { return TN_CALL(snmp_get_do_debugging)(); }
void snmp_set_do_debugging(int value) { TN_CALL(snmp_set_do_debugging)(value); }
int snmp_set_var_typed_value(netsnmp_variable_list* var, u_char type, const void* value,
                             size_t len) {
  return TN_CALL(snmp_set_var_typed_value)(var, type, value, len);
}
int snmp_set_var_value(netsnmp_variable_list* var, const void* value, size_t len) {
  return TN_CALL(snmp_set_var_value)(var, value, len);
}
netsnmp_variable_list* snmp_varlist_add_variable(netsnmp_variable_list** varlist, const oid* name,
                                                 size_t nameLen, u_char type, const void* value,
                                                 size_t len) {
  return TN_CALL(snmp_varlist_add_variable)(varlist, name, nameLen, type, value, len);
}
void snmp_free_varbind(netsnmp_variable_list* varlist) { TN_CALL(snmp_free_varbind)(varlist); }
void init_mib(void) { TN_CALL(init_mib)(); }
int read_objid(const char* input, oid* output, size_t* outLen) {
  return TN_CALL(read_objid)(input, output, outLen);
}
void print_objid(const oid* objid, size_t objidLen) { TN_CALL(print_objid)(objid, objidLen); }
struct tree* read_module(const char* name) {
  return TN_CALL(read_module)(name);
}
struct tree* read_mib(const char* filename) {
  return TN_CALL(read_mib)(filename);
}
void print_mib(FILE* fp) { TN_CALL(print_mib)(fp); }
int netsnmp_register_table_iterator(netsnmp_handler_registration* reginfo,
                                    netsnmp_iterator_info* iinfo) {
  return TN_CALL(netsnmp_register_table_iterator)(reginfo, iinfo);
}
int netsnmp_register_scalar(netsnmp_handler_registration* reginfo) {
  return TN_CALL(netsnmp_register_scalar)(reginfo);
}
netsnmp_table_request_info* netsnmp_extract_table_info(netsnmp_request_info* request) {
  return TN_CALL(netsnmp_extract_table_info)(request);
}
void* netsnmp_extract_iterator_context(netsnmp_request_info* request) {
  return TN_CALL(netsnmp_extract_iterator_context)(request);
}
int register_readfd(int fd, void (*func)(int, void*), void* data) {
  return TN_CALL(register_readfd)(fd, func, data);
}
void* snmp_sess_pointer(netsnmp_session* session) { return TN_CALL(snmp_sess_pointer)(session); }
netsnmp_transport* snmp_sess_transport(void* sessp) { return TN_CALL(snmp_sess_transport)(sessp); }
unsigned int snmp_alarm_register(unsigned int when, unsigned int flags,
                                 SNMPAlarmCallback* thecallback, void* clientarg) {
  return TN_CALL(snmp_alarm_register)(when, flags, thecallback, clientarg);
}
netsnmp_mib_handler* netsnmp_create_handler(const char* name, Netsnmp_Node_Handler* handler) {
  return TN_CALL(netsnmp_create_handler)(name, handler);
}
int netsnmp_inject_handler_before(netsnmp_handler_registration* reginfo,
                                  netsnmp_mib_handler* handler, const char* beforeWhat) {
  return TN_CALL(netsnmp_inject_handler_before)(reginfo, handler, beforeWhat);
}
int netsnmp_call_next_handler(netsnmp_mib_handler* current, netsnmp_handler_registration* reginfo,
                              netsnmp_agent_request_info* reqinfo, netsnmp_request_info* requests) {
  return TN_CALL(netsnmp_call_next_handler)(current, reginfo, reqinfo, requests);
}
