// Walks subtrees with an independent SNMP manager (the npm net-snmp package)
// and prints what it got as JSON: one list of [oid, type, value] per subtree,
// oids numeric with a leading dot, OCTET STRING values as text, numbers as
// numbers, Counter64 values as decimal text (they do not fit a JS number). Usage: node walk_tables.js HOST COMMUNITY OID...
"use strict";

const snmp = require("net-snmp");

const [host, community, ...roots] = process.argv.slice(2);
if (!host || !community || roots.length === 0) {
  console.error("usage: node walk_tables.js HOST COMMUNITY OID...");
  process.exit(2);
}

const session = snmp.createSession(host, community, {
  version: snmp.Version2c,
  timeout: 5000,
  retries: 1,
});

function typeName(type) {
  if (type === snmp.ObjectType.OctetString) return "STRING";
  if (type === snmp.ObjectType.Gauge || type === snmp.ObjectType.Unsigned32) return "Gauge32";
  return snmp.ObjectType[type] || String(type);
}

function walk(root) {
  return new Promise((resolve, reject) => {
    const rows = [];
    const feed = (varbinds) => {
      for (const vb of varbinds) {
        if (snmp.isVarbindError(vb)) {
          reject(new Error(snmp.varbindError(vb)));
          return true;
        }
        let value = Buffer.isBuffer(vb.value) ? vb.value.toString("latin1") : vb.value;
        if (vb.type === snmp.ObjectType.Counter64) {
          value = vb.value.length ? BigInt("0x" + vb.value.toString("hex")).toString() : "0";
        }
        rows.push(["." + vb.oid, typeName(vb.type), value]);
      }
      return false;
    };
    session.subtree(root.replace(/^\./, ""), 20, feed, (error) =>
      error ? reject(error) : resolve(rows));
  });
}

(async () => {
  const result = [];
  for (const root of roots) result.push(await walk(root));
  console.log(JSON.stringify(result));
  session.close();
})().catch((error) => {
  console.error("walk failed: " + error.message);
  session.close();
  process.exit(1);
});
