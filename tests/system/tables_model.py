"""The cluster model of the table tests: four configured nodes (one down, one
the daemon does not report) and one only the daemon reports; two file systems,
four pools, six disks and a free disk; 64-bit values above 2^32, 32-bit sums
that wrap, per-node statistics to sum (some with an error code, skipped), texts
with blanks, a maxStatCache of -1, a negative and a very long disk time.
File system "fsaa" comes first in the lists but sorts after "fsb", which lists
its pool "data" (sorting first) before "system".
"""

import json

from tables_expected import FS_COUNTERS


def _perf(node, read, write, rc=0):
    """One node's statistics of a disk; read and write: (time, longest, shortest, bytes, ops)."""
    row = {"node": node, "rc": rc}
    for prefix, (t, longest, shortest, nbytes, ops) in (("read", read), ("write", write)):
        cap = prefix.capitalize()
        row.update({prefix + "Time": t, "longest" + cap + "Time": longest,
                    "shortest" + cap + "Time": shortest, prefix + "Bytes": nbytes,
                    prefix + "Ops": ops})
    return row


def _disk(name, usage, total, full, sub, perf=(), **extra):
    disk = {"name": name, "usage": usage, "status": "ready", "availability": "up",
            "failureGroup": 1, "diskWait": "0", "totalSpace": total,
            "fullBlockFreeSpace": full, "subBlockFreeSpace": sub, "perf": list(perf)}
    disk.update(extra)
    return disk


def _fs_stats(fs, base, rc=0, **extra):
    row = {"fs": fs, "rc": rc, "bytesRead": base * 1000, "bytesCache": base * 100,
           "bytesWritten": base * 10}
    row.update({c: base + i for i, c in enumerate(FS_COUNTERS)})
    row.update(extra)
    return row


MODEL = {
    "description": "Cluster of the table tests.",
    "cluster": {
        "name": "tarn9.test.example", "id": "1234567890123456789",
        "queryField3": "tarn9.test.example", "uidDomain": "test.example",
        "remoteShellCommand": "/usr/bin/ssh -o BatchMode=yes -x",
        "remoteFileCopyCommand": "/usr/bin/scp -p", "tcpPort": 1191,
        "primaryServer": "alpha.test.example", "secondaryServer": "beta.test.example",
        "maxBlockSize": 16777216, "minReleaseLevel": "2306", "distributedTokenServer": "true",
        "failureDetectionTime": 35, "minMissedPingTimeout": 3, "maxMissedPingTimeout": 60,
    },
    "nodes": [
        {"ip": "10.9.0.1", "name": "alpha.test.example", "adminName": "alpha-adm",
         "manager": True, "quorum": True, "platform": "x86_64-linux", "status": "active",
         "threadWait": 12, "diagnosis": "no problem found", "pagePool": 17179869185,
         "maxStatCache": 1000, "unmountOnDiskFail": "meta data only",
         "fsStats": [_fs_stats("fsaa", 5368709, bytesRead=5368709120, reads=4294967290),
                     _fs_stats("fsb", 7)]},
        {"ip": "10.9.0.2", "name": "beta.test.example", "adminName": "beta-adm",
         "manager": True, "quorum": False, "platform": "x86_64-linux", "failureCount": 1,
         "pagePool": 4294967297, "maxFilesToCache": 1000, "maxStatCache": -1,
         "version": "5.1.9.2",
         "fsStats": [_fs_stats("fsaa", 11, bytesWritten=8589934592, reads=10),
                     _fs_stats("fsb", 999, rc=5), _fs_stats("nofs", 3)]},
        {"ip": "10.9.0.3", "name": "gamma.test.example", "adminName": "gamma-adm",
         "manager": False, "quorum": True, "platform": "ppc64le linux", "status": "down",
         "failureCount": 4, "healthy": "no", "diagnosis": "node not responding",
         "version": "5.1.8.2", "pagePool": 4294967296},
        {"ip": "10.9.0.4", "name": "delta.test.example", "adminName": "delta-adm",
         "manager": False, "quorum": False, "reported": False},
        {"ip": "10.9.0.5", "name": "epsilon.test.example", "adminName": "epsilon-adm",
         "configured": False, "fsStats": [_fs_stats("fsb", 100000)]},
    ],
    "fileSystems": [
        {"name": "fsaa", "status": "mounted", "xstatus": "ill replicated",
         "totalSpace": 21474836480, "numTotalInodes": 5000000000, "freeSpace": 12681481011,
         "numFreeInodes": 4500000000, "pools": [
             {"name": "system", "disks": [
                 _disk("d1", "dataAndMetadata", 2147483648, 1073741824, 1048576, [
                     _perf("alpha.test.example", (1.5, 0.7, 0.2, 5368709120, 1000),
                           (3.25, 1.1, 0.05, 2147483648, 600)),
                     _perf("beta.test.example", (2.5, 0.9, 0.1, 1024, 2),
                           (0.75, 0.4, 0.125, 4096, 3))]),
                 _disk("d2", "metadataOnly", 8589934592, 6442450944, 4194304, [
                     _perf("beta.test.example", (5000.0, 4999.5, 0.001, 8192000, 2000),
                           (20.5, 0.6, 0.002, 4096000, 1000))])]},
             {"name": "data1", "disks": [
                 _disk("d3", "dataOnly", 5368709120, 2684354560, 2097152, [
                     _perf("alpha.test.example", (-0.5, 2.0, 0.01, 107374182400, 25000),
                           (50.0, 1.0, 0.02, 53687091200, 12500)),
                     _perf("beta.test.example", (999.0, 999.0, 999.0, 999, 999),
                           (999.0, 999.0, 999.0, 999, 999), rc=3)]),
                 _disk("d4", "dataOnly", 5368709120, 2469606195, 3683533,
                       status="being emptied", availability="down",
                       diskWait="waiting for I/O completion")]}]},
        {"name": "fsb", "status": "mounted", "xstatus": "ok", "totalSpace": 3221225472,
         "numTotalInodes": 3000000, "freeSpace": 2834678415, "numFreeInodes": 2900000,
         "pools": [
             {"name": "data", "disks": [
                 _disk("d5", "dataAndMetadata", 1073741824, 943718400, 1048576, [
                     _perf("alpha.test.example", (0.5, 0.25, 0.125, 65536, 16),
                           (0.75, 0.5, 0.25, 131072, 32))])]},
             {"name": "system", "disks": [
                 _disk("d6", "dataAndMetadata", 2147483648, 1887436800, 2474639, [
                     _perf("alpha.test.example", (0.25, 0.125, 0.0625, 32768, 8),
                           (0.5, 0.25, 0.125, 65536, 16)),
                     _perf("beta.test.example", (0.75, 0.5, 0.03125, 98304, 24),
                           (1.25, 0.75, 0.0625, 196608, 48))])]}]},
    ],
    "freeDisks": [{"name": "d7", "pool": "system", "usage": "dataAndMetadata"}],
}


def write_model(path, model=None):
    """Writes a model (the tests' own by default) as JSON and returns the path."""
    with open(str(path), "w") as f:
        json.dump(model if model is not None else MODEL, f, indent=1)
    return str(path)

