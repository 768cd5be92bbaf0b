#include "agent/snmpObjects.h"

#include "agent/log.h"
#include "api/api_poll.h"
#include "mib/snmpTables.h"
#include "snmp/dl.h"

namespace {
const u_long kSubagentVersion = 1;
}  // namespace

extern "C" void stop_server(int /*signo*/) {
  requestStop(0);
  stopQueries();
}

int init_tarnMgmtObjects() {
  oid versionOid[64];
  size_t versionOidLen = 64;
  if (!read_objid("TARN-MIB:tarnSubagentVersion", versionOid, &versionOidLen)) {
    warnMibObjectMissing("tarnSubagentVersion");
    // Without its identifier there is nothing sensible to register.
    return SNMPERR_GENERR;
  }
  netsnmp_handler_registration* reg =
      netsnmp_create_handler_registration("tarnSubagentVersion", handle_tarnSubagentVersion,
                                          versionOid, versionOidLen, HANDLER_CAN_RONLY);
  return netsnmp_register_scalar(reg);
}

extern "C" int handle_tarnSubagentVersion(netsnmp_mib_handler* /*handler*/,
                                          netsnmp_handler_registration* /*reginfo*/,
                                          netsnmp_agent_request_info* reqinfo,
                                          netsnmp_request_info* requests) {
  requestsServed++;
  if (reqinfo->mode == MODE_GET) {
    // Unsigned32 travels as 4 bytes, whatever the width of u_long here.
    uint32_t value = static_cast<uint32_t>(kSubagentVersion);
    snmp_set_var_typed_value(requests->requestvb, ASN_UNSIGNED, &value, 4);
    return SNMP_ERR_NOERROR;
  }
  typedef int (*LogFn)(int, const char*, ...);
  reinterpret_cast<LogFn>(dlib.snmp_log)(
      LOG_ERR, "unknown mode (%d) in handle_tarnSubagentVersion\n", reqinfo->mode);
  return SNMP_ERR_GENERR;
}
