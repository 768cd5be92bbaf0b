"""What the ten tables must hold for a simulator model (as `tarnsim ctl model`
prints it), by the rules the agent follows: records, the first word a keyword
walk keeps, sums of per-node statistics, conversions and the walk rules.
Each table is a list of rows in the agent's list order, a row being (index
names, {column: value}) with str (OCTET STRING), int (Unsigned32) or Wide values.
"""

import itertools
import math

MASK32 = 0xFFFFFFFF

# An OID has 128 sub-identifiers, 12 of them the column's: longer rows are left out.
MAX_INDEX = 116


def token(value):
    """The field value a keyword walk stores for a value the daemon sent."""
    text = ("true" if value else "false") if isinstance(value, bool) else str(value)
    if not text or " " in text or "\t" in text:
        text = "'" + text + "'"
    first = (text.split() or [""])[0]
    first = first[1:] if first.startswith("'") else first
    return first[:-1] if first.endswith("'") else first


def u32(value):
    return int(value) & MASK32


class Wide(int):
    """A Counter64 value."""


def pair(prefix, value, low_only=False):
    """The L and H columns of a 64-bit value, and its 64-bit column; with low_only (pool
    sizes, inode counts) L is the low 32 bits and H is 0."""
    value = int(value) & 0xFFFFFFFFFFFFFFFF
    high = 0 if low_only else value >> 32
    return {prefix + "L": value & MASK32, prefix + "H": high, prefix: Wide(value)}


def column(prefix, field):
    return prefix + field[0].upper() + field[1:]


def micros(seconds):
    """A disk time in seconds as whole microseconds (negative gives 0)."""
    t = seconds * 1000000.0
    return min(int(math.floor(t)), 2 ** 64 - 1) if t > 0 else 0


def index_key(names):
    """The OID suffix of a row: each name as its length and its bytes."""
    return tuple(b for name in names for b in [len(name.encode())] + list(name.encode()))


def configured_filesystems(model):
    """File systems with at least one disk record, in record order; each with
    its pools: those with disks first, then those only the pool poll reports."""
    result = []
    for fs in model["fileSystems"]:
        with_disks = [p for p in fs["pools"] if p["disks"]]
        if with_disks and fs["name"] != "free_disk":
            result.append((fs, with_disks + [p for p in fs["pools"] if not p["disks"]]))
    return result


CLUSTER_TEXTS = ["uidDomain", "primaryServer", "secondaryServer", "remoteShellCommand",
                 "remoteFileCopyCommand"]
CLUSTER_NUMBERS = ["maxBlockSize", "failureDetectionTime", "minMissedPingTimeout",
                   "maxMissedPingTimeout"]


def cluster_rows(model, nodes, filesystems):
    m = model["cluster"]
    status = {"tarnClusterName": m["name"], "tarnClusterId": m["id"],
              "tarnClusterMinReleaseLevel": token(m["minReleaseLevel"]),
              "tarnClusterNumNodes": len(nodes), "tarnClusterNumFileSystems": len(filesystems)}
    config = {column("tarnCluster", f): m[f] for f in CLUSTER_TEXTS}
    config.update({column("tarnCluster", f): u32(token(m[f])) for f in CLUSTER_NUMBERS})
    config["tarnClusterDistributedTokenServer"] = int(
        token(m["distributedTokenServer"]) == "true")
    config["tarnClusterTCPPort"] = u32(m["tcpPort"])
    yield (m["name"],), {"tarnClusterStatusTable": status, "tarnClusterConfigTable": config}


NODE_TEXTS = {"status": "unknown", "healthy": "no", "diagnosis": "unknown", "version": ""}
NODE_NUMBERS = ["prefetchThreads", "maxMbps", "maxFilesToCache", "maxStatCache", "worker1Threads",
                "dmapiEventTimeout", "dmapiMountTimeout", "dmapiSessFailureTimeout",
                "nsdServerWaitTimeWindowOnMount", "nsdServerWaitTimeForMount"]


def node_rows(nodes):
    """A node the daemon does not report keeps its reset state: the texts of
    NODE_TEXTS and numbers of 0."""
    for n in nodes:
        reported = n.get("reported", True)
        status = {"tarnNodeName": n["name"], "tarnNodeIP": n["ip"],
                  "tarnNodePlatform": n["platform"]}
        for field, reset in NODE_TEXTS.items():
            status[column("tarnNode", field)] = token(n[field]) if reported else reset
        for field in ("failureCount", "threadWait"):
            status[column("tarnNode", field)] = u32(n[field]) if reported else 0
        kind = ("manager-" if n.get("manager") else "client-") + \
            ("quorum" if n.get("quorum") else "nonquorum")
        config = {"tarnNodeConfigName": n["name"], "tarnNodeType": kind,
                  "tarnNodeAdmin": token(n["admin"]) if reported else "",
                  "tarnNodeUnmountOnDiskFail":
                      token(n["unmountOnDiskFail"])[:31] if reported else ""}
        config.update(pair("tarnNodePagePool", n["pagePool"] if reported else 0))
        for field in NODE_NUMBERS:
            value = int(n[field]) if reported else 0
            if field == "maxStatCache" and value == -1:  # four times the files to cache
                value = 4 * int(n["maxFilesToCache"])
            config[column("tarnNode", field)] = u32(value)
        yield (n["name"],), {"tarnNodeStatusTable": status, "tarnNodeConfigTable": config}


FS_BYTES = ["bytesRead", "bytesCache", "bytesWritten"]
FS_COUNTERS = ["reads", "caches", "writes", "openCalls", "closeCalls", "readCalls", "writeCalls",
               "readdirCalls", "inodesWritten", "inodesRead", "inodesDeleted", "inodesCreated",
               "statCacheHit", "statCacheMiss"]


def fs_rows(model, filesystems):
    for fs, _ in filesystems:
        name = fs["name"]
        status = {"tarnFileSystemName": name, "tarnFileSystemStatus": token(fs["status"]),
                  "tarnFileSystemXstatus": token(fs["xstatus"])}
        for field in ("totalSpace", "numTotalInodes", "freeSpace", "numFreeInodes"):
            status.update(pair(column("tarnFileSystem", field), fs[field],
                               field.endswith("Inodes")))
        # Every reported node's statistics, instances with an error code skipped.
        stats = [st for n in model["nodes"] if n.get("reported", True)
                 for st in n.get("fsStats", []) if st["fs"] == name and not int(st.get("rc", 0))]
        sums = {f: sum(int(st.get(f, 0)) for st in stats) for f in FS_BYTES + FS_COUNTERS}
        perf = {"tarnFileSystemPerfName": name}
        for field in FS_BYTES:
            perf.update(pair(column("tarnFileSystem", field), sums[field]))
        perf.update({column("tarnFileSystem", f): u32(sums[f]) for f in FS_COUNTERS})
        yield (name,), {"tarnFileSystemStatusTable": status, "tarnFileSystemPerfTable": perf}


def pool_rows(filesystems):
    for fs, pools in filesystems:
        for p in pools:
            disks = p["disks"]
            row = {"tarnStgPoolFSName": fs["name"], "tarnStgPoolName": p["name"],
                   "tarnStgPoolNumDisks": len(disks)}
            row.update(pair("tarnStgPoolTotalSpace", sum(int(d["totalSpace"]) for d in disks),
                            True))
            row.update(pair("tarnStgPoolFreeSpace", sum(
                int(d["fullBlockFreeSpace"]) + int(d["subBlockFreeSpace"]) for d in disks), True))
            yield (fs["name"], p["name"]), {"tarnStgPoolTable": row}


USAGE = {"dataOnly": ("n", "y"), "dataAndMetadata": ("y", "y"), "metadataOnly": ("y", "n")}
TIMES = [("readTime", sum), ("writeTime", sum), ("longestReadTime", max),
         ("longestWriteTime", max), ("shortestReadTime", min), ("shortestWriteTime", min)]


def disk_stats(disk):
    """One disk's statistics: every serving node's instance without an error code."""
    perf = [p for p in disk.get("perf", []) if int(p.get("rc", 0)) == 0]
    stats = {}
    for field, combine in TIMES:
        values = [float(p.get(field, 0.0)) for p in perf]
        stats.update(pair(column("tarnDisk", field), micros(combine(values) if values else 0)))
    for field in ("readBytes", "writeBytes"):
        stats.update(pair(column("tarnDisk", field), sum(int(p.get(field, 0)) for p in perf)))
    for field in ("readOps", "writeOps"):
        stats[column("tarnDisk", field)] = u32(sum(int(p.get(field, 0)) for p in perf))
    return stats


def disk_table_rows(filesystems):
    """In walk order: a pool without disks ends the walk."""
    for fs, p in ((fs, p) for fs, pools in filesystems for p in pools):
        if not p["disks"]:
            return
        for d in p["disks"]:
            metadata, data = USAGE.get(d["usage"], ("", ""))
            status = {"tarnDiskName": d["name"], "tarnDiskFSName": fs["name"],
                      "tarnDiskStgPoolName": p["name"], "tarnDiskStatus": token(d["status"]),
                      "tarnDiskAvailability": token(d["availability"])}
            for field in ("totalSpace", "fullBlockFreeSpace", "subBlockFreeSpace"):
                status.update(pair(column("tarnDisk", field), d[field]))
            config = {"tarnDiskConfigName": d["name"], "tarnDiskConfigFSName": fs["name"],
                      "tarnDiskConfigStgPoolName": p["name"], "tarnDiskMetadata": metadata,
                      "tarnDiskData": data}
            perf = {"tarnDiskPerfName": d["name"], "tarnDiskPerfFSName": fs["name"],
                    "tarnDiskPerfStgPoolName": p["name"], **disk_stats(d)}
            yield (fs["name"], p["name"], d["name"]), {"tarnDiskStatusTable": status,
                                                       "tarnDiskConfigTable": config,
                                                       "tarnDiskPerfTable": perf}


TABLES = ["tarnClusterStatusTable", "tarnClusterConfigTable", "tarnNodeStatusTable",
          "tarnNodeConfigTable", "tarnFileSystemStatusTable", "tarnFileSystemPerfTable",
          "tarnStgPoolTable", "tarnDiskStatusTable", "tarnDiskConfigTable", "tarnDiskPerfTable"]


def expected_tables(model):
    """Every table of the model, by table name, rows in the agent's list order;
    rows whose index does not fit an OID are left out."""
    nodes = [n for n in model["nodes"] if n.get("configured", True)]
    filesystems = configured_filesystems(model)
    tables = {t: [] for t in TABLES}
    for key, rows in itertools.chain(
            cluster_rows(model, nodes, filesystems), node_rows(nodes),
            fs_rows(model, filesystems), pool_rows(filesystems), disk_table_rows(filesystems)):
        for table, row in rows.items():
            if len(index_key(key)) <= MAX_INDEX:
                tables[table].append((key, row))
    return tables
