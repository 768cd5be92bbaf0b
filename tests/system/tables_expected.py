"""What the ten tables must hold for a simulator model, computed from the
model itself (the JSON that `tarnsim ctl model` prints) by the rules the agent
follows: which records the configuration query and the daemon answers create,
how a daemon value reaches a record field (a keyword walk keeps the first word
of a quoted value), the sums over per-node statistics, the 32-bit and 64-bit
conversions, and the walk rules of the pool and disk tables.

Each table is returned as a list of rows in the agent's list order; a row is
(index names, {column object name: value}), a value being a str (OCTET
STRING), an int (Unsigned32) or a Wide (the Counter64 beside an L/H pair).
"""

import math

MASK32 = 0xFFFFFFFF

FREE_DISK = "free_disk"


def token(value):
    """The field value a keyword walk stores for a value the daemon sent."""
    text = fmt(value)
    word = text if text and not any(c in text for c in " \t") else "'" + text + "'"
    first = word.split()[0] if word.split() else ""
    if first.startswith("'"):
        first = first[1:]
    if first.endswith("'"):
        first = first[:-1]
    return first


def fmt(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    return str(value)


def u32(value):
    """A 32-bit field as the agent publishes it (the low 32 bits)."""
    return int(value) & MASK32


class Wide(int):
    """A Counter64 value."""


def pair(prefix, value):
    """The L and H columns of a 64-bit value, and its 64-bit column."""
    value = int(value) & 0xFFFFFFFFFFFFFFFF
    return {prefix + "L": value & MASK32, prefix + "H": value >> 32, prefix: Wide(value)}


def pair32(prefix, value):
    """A 32-bit field published as an L/H pair: H is always 0."""
    return {prefix + "L": u32(value), prefix + "H": 0, prefix: Wide(u32(value))}


def micros(seconds):
    """A disk time in seconds as whole microseconds (negative gives 0)."""
    t = seconds * 1000000.0
    if not t > 0:
        return 0
    return min(int(math.floor(t)), 0xFFFFFFFFFFFFFFFF)


def index_key(names):
    """The OID suffix of a row: each name as its length and its bytes."""
    key = []
    for name in names:
        data = name.encode()
        key += [len(data)] + list(data)
    return tuple(key)


class Cluster:
    """The agent's view of a model: the lists in the agent's order."""

    def __init__(self, model):
        self.model = model
        self.nodes = [n for n in model["nodes"] if n.get("configured", True)]
        self.filesystems = self._configured_filesystems()

    def _configured_filesystems(self):
        """File systems with at least one disk record, in record order; each
        with its pools: those with disks first (record order), then the pools
        only the pool poll reports."""
        result = []
        for fs in self.model["fileSystems"]:
            with_disks = [p for p in fs["pools"] if p["disks"]]
            if not with_disks or fs["name"] == FREE_DISK:
                continue
            without = [p for p in fs["pools"] if not p["disks"]]
            result.append((fs, with_disks + without))
        return result

    def reported(self):
        return [n for n in self.model["nodes"] if n.get("reported", True)]


def cluster_tables(c):
    m = c.model["cluster"]
    name = m["name"]
    status = {
        "tarnClusterName": name,
        "tarnClusterId": m["id"],
        "tarnClusterMinReleaseLevel": token(m["minReleaseLevel"]),
        "tarnClusterNumNodes": len(c.nodes),
        "tarnClusterNumFileSystems": len(c.filesystems),
    }
    config = {
        "tarnClusterUidDomain": m["uidDomain"],
        "tarnClusterPrimaryServer": m["primaryServer"],
        "tarnClusterSecondaryServer": m["secondaryServer"],
        "tarnClusterRemoteShellCommand": m["remoteShellCommand"],
        "tarnClusterRemoteFileCopyCommand": m["remoteFileCopyCommand"],
        "tarnClusterMaxBlockSize": u32(token(m["maxBlockSize"])),
        "tarnClusterDistributedTokenServer": int(token(m["distributedTokenServer"]) == "true"),
        "tarnClusterFailureDetectionTime": u32(token(m["failureDetectionTime"])),
        "tarnClusterTCPPort": u32(m["tcpPort"]),
        "tarnClusterMinMissedPingTimeout": u32(token(m["minMissedPingTimeout"])),
        "tarnClusterMaxMissedPingTimeout": u32(token(m["maxMissedPingTimeout"])),
    }
    return {"tarnClusterStatusTable": [((name,), status)],
            "tarnClusterConfigTable": [((name,), config)]}


NODE_NC_NUMBERS = [
    ("tarnNodePrefetchThreads", "prefetchThreads"), ("tarnNodeMaxMbps", "maxMbps"),
    ("tarnNodeMaxFilesToCache", "maxFilesToCache"), ("tarnNodeMaxStatCache", "maxStatCache"),
    ("tarnNodeWorker1Threads", "worker1Threads"),
    ("tarnNodeDmapiEventTimeout", "dmapiEventTimeout"),
    ("tarnNodeDmapiMountTimeout", "dmapiMountTimeout"),
    ("tarnNodeDmapiSessFailureTimeout", "dmapiSessFailureTimeout"),
    ("tarnNodeNsdServerWaitTimeWindowOnMount", "nsdServerWaitTimeWindowOnMount"),
    ("tarnNodeNsdServerWaitTimeForMount", "nsdServerWaitTimeForMount"),
]


def node_type(n):
    return ("manager-" if n.get("manager") else "client-") + \
        ("quorum" if n.get("quorum") else "nonquorum")


def node_tables(c):
    status_rows, config_rows = [], []
    for n in c.nodes:
        reported = n.get("reported", True)
        status = {
            "tarnNodeName": n["name"], "tarnNodeIP": n["ip"], "tarnNodePlatform": n["platform"],
            # A node the daemon does not report: its state reset, numbers never set.
            "tarnNodeStatus": token(n["status"]) if reported else "unknown",
            "tarnNodeFailureCount": u32(n["failureCount"]) if reported else 0,
            "tarnNodeThreadWait": u32(n["threadWait"]) if reported else 0,
            "tarnNodeHealthy": token(n["healthy"]) if reported else "no",
            "tarnNodeDiagnosis": token(n["diagnosis"]) if reported else "unknown",
            "tarnNodeVersion": token(n["version"]) if reported else "",
        }
        config = {"tarnNodeConfigName": n["name"], "tarnNodeType": node_type(n),
                  "tarnNodeAdmin": token(n["admin"]) if reported else "",
                  "tarnNodeUnmountOnDiskFail":
                      token(n["unmountOnDiskFail"])[:31] if reported else ""}
        config.update(pair("tarnNodePagePool", n["pagePool"] if reported else 0))
        for column, field in NODE_NC_NUMBERS:
            value = int(n[field]) if reported else 0
            # -1 stands for four times the files to cache (sent before it).
            if field == "maxStatCache" and value == -1:
                value = 4 * int(n["maxFilesToCache"])
            config[column] = u32(value)
        status_rows.append(((n["name"],), status))
        config_rows.append(((n["name"],), config))
    return {"tarnNodeStatusTable": status_rows, "tarnNodeConfigTable": config_rows}


FS_STATS = ["bytesRead", "bytesCache", "bytesWritten"]
FS_COUNTERS = [
    ("tarnFileSystemReads", "reads"), ("tarnFileSystemCaches", "caches"),
    ("tarnFileSystemWrites", "writes"), ("tarnFileSystemOpenCalls", "openCalls"),
    ("tarnFileSystemCloseCalls", "closeCalls"), ("tarnFileSystemReadCalls", "readCalls"),
    ("tarnFileSystemWriteCalls", "writeCalls"), ("tarnFileSystemReaddirCalls", "readdirCalls"),
    ("tarnFileSystemInodesWritten", "inodesWritten"), ("tarnFileSystemInodesRead", "inodesRead"),
    ("tarnFileSystemInodesDeleted", "inodesDeleted"),
    ("tarnFileSystemInodesCreated", "inodesCreated"),
    ("tarnFileSystemStatCacheHit", "statCacheHit"),
    ("tarnFileSystemStatCacheMiss", "statCacheMiss"),
]


def fs_stat_sums(c, fs_name):
    """Sums of every node's statistics for a file system (error instances skipped)."""
    sums = {}
    for n in c.reported():
        for st in n.get("fsStats", []):
            if st["fs"] != fs_name or int(st.get("rc", 0)) != 0:
                continue
            for field in FS_STATS + [f for _, f in FS_COUNTERS]:
                sums[field] = sums.get(field, 0) + int(st.get(field, 0))
    return sums


def fs_tables(c):
    status_rows, perf_rows = [], []
    for fs, _ in c.filesystems:
        name = fs["name"]
        status = {"tarnFileSystemName": name, "tarnFileSystemStatus": token(fs["status"]),
                  "tarnFileSystemXstatus": token(fs["xstatus"])}
        status.update(pair("tarnFileSystemTotalSpace", fs["totalSpace"]))
        status.update(pair32("tarnFileSystemNumTotalInodes", fs["numTotalInodes"]))
        status.update(pair("tarnFileSystemFreeSpace", fs["freeSpace"]))
        status.update(pair32("tarnFileSystemNumFreeInodes", fs["numFreeInodes"]))
        sums = fs_stat_sums(c, name)
        perf = {"tarnFileSystemPerfName": name}
        perf.update(pair("tarnFileSystemBytesRead", sums.get("bytesRead", 0)))
        perf.update(pair("tarnFileSystemBytesCache", sums.get("bytesCache", 0)))
        perf.update(pair("tarnFileSystemBytesWritten", sums.get("bytesWritten", 0)))
        for column, field in FS_COUNTERS:
            perf[column] = u32(sums.get(field, 0))
        status_rows.append(((name,), status))
        perf_rows.append(((name,), perf))
    return {"tarnFileSystemStatusTable": status_rows, "tarnFileSystemPerfTable": perf_rows}


def pool_table(c):
    rows = []
    for fs, pools in c.filesystems:
        if not pools:
            break  # a file system without pools ends the walk
        for p in pools:
            disks = p["disks"]
            total = sum(int(d["totalSpace"]) for d in disks)
            free = sum(int(d["fullBlockFreeSpace"]) + int(d["subBlockFreeSpace"]) for d in disks)
            row = {"tarnStgPoolFSName": fs["name"], "tarnStgPoolName": p["name"],
                   "tarnStgPoolNumDisks": len(disks)}
            row.update(pair32("tarnStgPoolTotalSpace", total))
            row.update(pair32("tarnStgPoolFreeSpace", free))
            rows.append(((fs["name"], p["name"]), row))
    return {"tarnStgPoolTable": rows}


USAGE = {"dataOnly": ("n", "y"), "dataAndMetadata": ("y", "y"), "metadataOnly": ("y", "n")}

TIMES = [("ReadTime", "readTime", sum), ("WriteTime", "writeTime", sum),
         ("LongestReadTime", "longestReadTime", max), ("LongestWriteTime", "longestWriteTime", max),
         ("ShortestReadTime", "shortestReadTime", min),
         ("ShortestWriteTime", "shortestWriteTime", min)]


def disk_stats(disk):
    """One disk's statistics: every serving node's instance without an error code."""
    perf = [p for p in disk.get("perf", []) if int(p.get("rc", 0)) == 0]
    stats = {}
    for column, field, combine in TIMES:
        values = [float(p.get(field, 0.0)) for p in perf]
        total = 0.0
        if combine is sum:
            for v in values:  # in instance order, as the agent adds them
                total += v
        elif values:
            total = combine(values)
        stats.update(pair("tarnDisk" + column, micros(total)))
    stats.update(pair("tarnDiskReadBytes", sum(int(p.get("readBytes", 0)) for p in perf)))
    stats.update(pair("tarnDiskWriteBytes", sum(int(p.get("writeBytes", 0)) for p in perf)))
    stats["tarnDiskReadOps"] = u32(sum(int(p.get("readOps", 0)) for p in perf))
    stats["tarnDiskWriteOps"] = u32(sum(int(p.get("writeOps", 0)) for p in perf))
    return stats


def disk_rows(c):
    """(fs, pool, disk) in walk order: a file system without pools, or a pool
    without disks, ends the walk."""
    for fs, pools in c.filesystems:
        if not pools:
            return
        for p in pools:
            if not p["disks"]:
                return
            for d in p["disks"]:
                yield fs, p, d


def disk_tables(c):
    status_rows, config_rows, perf_rows = [], [], []
    for fs, p, d in disk_rows(c):
        key = (fs["name"], p["name"], d["name"])
        metadata, data = USAGE.get(d["usage"], ("", ""))
        status = {"tarnDiskName": d["name"], "tarnDiskFSName": fs["name"],
                  "tarnDiskStgPoolName": p["name"], "tarnDiskStatus": token(d["status"]),
                  "tarnDiskAvailability": token(d["availability"])}
        status.update(pair("tarnDiskTotalSpace", d["totalSpace"]))
        status.update(pair("tarnDiskFullBlockFreeSpace", d["fullBlockFreeSpace"]))
        status.update(pair("tarnDiskSubBlockFreeSpace", d["subBlockFreeSpace"]))
        config = {"tarnDiskConfigName": d["name"], "tarnDiskConfigFSName": fs["name"],
                  "tarnDiskConfigStgPoolName": p["name"], "tarnDiskMetadata": metadata,
                  "tarnDiskData": data}
        perf = {"tarnDiskPerfName": d["name"], "tarnDiskPerfFSName": fs["name"],
                "tarnDiskPerfStgPoolName": p["name"]}
        perf.update(disk_stats(d))
        status_rows.append((key, status))
        config_rows.append((key, config))
        perf_rows.append((key, perf))
    return {"tarnDiskStatusTable": status_rows, "tarnDiskConfigTable": config_rows,
            "tarnDiskPerfTable": perf_rows}


TABLES = ["tarnClusterStatusTable", "tarnClusterConfigTable", "tarnNodeStatusTable",
          "tarnNodeConfigTable", "tarnFileSystemStatusTable", "tarnFileSystemPerfTable",
          "tarnStgPoolTable", "tarnDiskStatusTable", "tarnDiskConfigTable", "tarnDiskPerfTable"]


def expected_tables(model):
    """Every table of the model, by table name, rows in the agent's list order."""
    c = Cluster(model)
    tables = {}
    for part in (cluster_tables, node_tables, fs_tables, pool_table, disk_tables):
        tables.update(part(c))
    return tables
