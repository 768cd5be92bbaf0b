#include "sim/generator.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include <random>

namespace sim {
namespace {

const int64_t kTiB = 1LL << 30;  // in kilobytes
const long kReportersPerFs = 8;

class Gen {
 public:
  explicit Gen(const GenSpec& spec) : spec_(spec), rng_(spec.seed) {}
  json build();

 private:
  int64_t between(int64_t lo, int64_t hi) {
    return lo + (int64_t)(rng_() % (uint64_t)(hi - lo + 1));
  }
  double seconds(double lo, double hi) {
    return lo + (hi - lo) * (double)(rng_() % 1000000) / 1000000.0;
  }
  static std::string nodeName(long i) { return name("node%04ld", i + 1); }
  static std::string name(const char* format, long i) {
    char buf[64];
    snprintf(buf, sizeof buf, format, i);
    return buf;
  }
  json cluster();
  json node(long i);
  json fileSystem(long f);
  json disk(long d);
  json perf(long node);
  json fsStats(const std::string& fs, long rc);
  void addStats();

  GenSpec spec_;
  std::mt19937_64 rng_;
  long diskNumber_ = 0;
  json nodes_ = json::array();
  json fileSystems_ = json::array();
};

json Gen::cluster() {
  json c = json::object();
  c["name"] = "gen" + std::to_string(spec_.nodes) + ".tarn.example.com";
  c["id"] = std::to_string(7309848500000000000ULL + spec_.seed % 1000000000ULL);
  c["queryField3"] = c["name"];
  c["primaryServer"] = nodeName(0);
  c["secondaryServer"] = spec_.nodes > 1 ? nodeName(1) : nodeName(0);
  return c;
}

json Gen::node(long i) {
  bool down = spec_.nodes > 1 && i % 97 == 96;  // a few nodes are down in a large cluster
  json n = json::object();
  n["ip"] = name("10.%ld", (i + 1) >> 16) + name(".%ld", ((i + 1) >> 8) & 255) +
            name(".%ld", (i + 1) & 255);
  n["name"] = nodeName(i);
  n["adminName"] = nodeName(i) + "-adm";
  n["manager"] = i < 4;
  n["quorum"] = i < 5;
  n["nodeNumber"] = (int64_t)i + 1;
  n["platform"] = i % 16 == 15 ? "ppc64le-linux" : "x86_64-linux";
  n["status"] = down ? "down" : "active";
  n["failureCount"] = between(0, 3) + (down ? 1 : 0);
  n["threadWait"] = between(0, 20);
  n["healthy"] = down ? "no" : "yes";
  n["diagnosis"] = down ? "node not responding" : "no problem found";
  n["pagePool"] = between(1, 16) * (1LL << 30);  // bytes: 1 to 16 GiB
  n["maxFilesToCache"] = between(1, 64) * 1000;
  n["maxStatCache"] = i % 8 == 7 ? -1 : between(1, 16) * 1000;
  n["fsStats"] = json::array();
  return n;
}

json Gen::perf(long node) {
  json p = json::object();
  p["node"] = nodeName(node);
  int64_t readOps = between(0, 5000000), writeOps = between(0, 3000000);
  p["readTime"] = seconds(0, 4000);
  p["longestReadTime"] = seconds(0.05, 2);
  p["shortestReadTime"] = seconds(0.0001, 0.002);
  p["readBytes"] = readOps * between(4096, 1 << 20);
  p["readOps"] = readOps;
  p["writeTime"] = seconds(0, 3000);
  p["longestWriteTime"] = seconds(0.05, 3);
  p["shortestWriteTime"] = seconds(0.0001, 0.003);
  p["writeBytes"] = writeOps * between(4096, 1 << 20);
  p["writeOps"] = writeOps;
  return p;
}

json Gen::disk(long d) {
  static const char* const kStates[][2] = {{"ready", "up"}, {"suspended", "up"}, {"ready", "down"}};
  int state = d % 61 == 60 ? 2 : (d % 43 == 42 ? 1 : 0);
  int64_t total = between(2, 16) * kTiB;
  json k = json::object();
  k["name"] = name("nsd%04ld", ++diskNumber_);
  k["usage"] = d % 4 == 0 ? "dataAndMetadata" : "dataOnly";
  k["status"] = kStates[state][0];
  k["availability"] = kStates[state][1];
  k["failureGroup"] = (int64_t)(d % 4) + 1;
  k["diskWait"] = std::to_string(between(0, 3));
  k["totalSpace"] = total;
  k["fullBlockFreeSpace"] = total / 100 * between(5, 90);
  k["subBlockFreeSpace"] = total / 1000 * between(0, 5);
  k["perf"] = json::array({perf(diskNumber_ % spec_.nodes)});
  if (spec_.nodes > 1 && d % 2 == 0) k["perf"].push_back(perf((diskNumber_ + 1) % spec_.nodes));
  return k;
}

json Gen::fileSystem(long f) {
  json fs = json::object();
  fs["name"] = name("fs%02ld", f + 1);
  fs["pools"] = json::array();
  int64_t total = 0, full = 0, frag = 0;
  for (long p = 0; p < spec_.pools; ++p) {
    json pool = json::object();
    pool["name"] = p == 0 ? std::string("system") : name("data%ld", p);
    pool["disks"] = json::array();
    for (long d = 0; d < spec_.disks; ++d) {
      json k = disk(d);
      total += k["totalSpace"].get<int64_t>();
      full += k["fullBlockFreeSpace"].get<int64_t>();
      frag += k["subBlockFreeSpace"].get<int64_t>();
      pool["disks"].push_back(std::move(k));
    }
    fs["pools"].push_back(std::move(pool));
  }
  int64_t inodes = between(1, 2000) * 1000000;
  fs["util"] = std::to_string(total == 0 ? 0 : 100 - (full + frag) * 100 / total) + "%";
  fs["totalSpace"] = total;
  fs["freeSpace"] = full + frag;
  fs["fullFreeSpace"] = full;
  fs["fragFreeSpace"] = frag;
  fs["numTotalInodes"] = inodes;
  fs["numFreeInodes"] = inodes / 100 * between(10, 95);
  return fs;
}

json Gen::fsStats(const std::string& fs, long rc) {
  json s = json::object();
  s["fs"] = fs;
  s["rc"] = (int64_t)rc;
  static const char* const kCounters[] = {
      "reads",         "caches",        "writes",       "openCalls",     "closeCalls",
      "readCalls",     "writeCalls",    "readdirCalls", "inodesWritten", "inodesRead",
      "inodesDeleted", "inodesCreated", "statCacheHit", "statCacheMiss"};
  s["bytesRead"] = between(1, 1 << 20) * (1LL << 16);
  s["bytesCache"] = between(1, 1 << 20) * (1LL << 12);
  s["bytesWritten"] = between(1, 1 << 20) * (1LL << 16);
  for (const char* counter : kCounters) s[counter] = between(0, 10000000);
  return s;
}

// At most kReportersPerFs nodes report each file system, spread over the cluster.
void Gen::addStats() {
  long reporters = spec_.nodes < kReportersPerFs ? spec_.nodes : kReportersPerFs;
  for (long f = 0; f < spec_.fileSystems; ++f) {
    for (long r = 0; r < reporters; ++r) {
      long n = (f * 7 + r * (spec_.nodes / reporters)) % spec_.nodes;
      long rc = (f == 0 && r == reporters - 1 && reporters > 1) ? 5 : 0;
      nodes_[n]["fsStats"].push_back(fsStats(name("fs%02ld", f + 1), rc));
    }
  }
}

json Gen::build() {
  for (long i = 0; i < spec_.nodes; ++i) nodes_.push_back(node(i));
  for (long f = 0; f < spec_.fileSystems; ++f) fileSystems_.push_back(fileSystem(f));
  addStats();
  json doc = json::object();
  doc["description"] = "generated: " + std::to_string(spec_.nodes) + " nodes, " +
                       std::to_string(spec_.fileSystems) + " file systems, " +
                       std::to_string(spec_.pools) + " pools each, " + std::to_string(spec_.disks) +
                       " disks per pool, seed " + std::to_string(spec_.seed);
  doc["cluster"] = cluster();
  doc["nodes"] = std::move(nodes_);
  doc["fileSystems"] = std::move(fileSystems_);
  doc["freeDisks"] = json::array();
  for (int k = 0; k < 2; ++k) {
    json free = json::object();
    free["name"] = name("nsd%04ld", ++diskNumber_);
    free["usage"] = "dataOnly";
    doc["freeDisks"].push_back(std::move(free));
  }
  return doc;
}

}  // namespace

int parseGenSpec(const std::string& text, GenSpec* spec, std::string* err) {
  long* fields[] = {&spec->nodes, &spec->fileSystems, &spec->pools, &spec->disks};
  static const long kMin[] = {1, 0, 1, 0};
  static const long kMax[] = {100000, 1000, 1000, 100000};
  const char* p = text.c_str();
  for (int i = 0; i < 4; ++i) {
    char* end = nullptr;
    errno = 0;
    long v = strtol(p, &end, 10);
    bool last = i == 3;
    if (!isdigit((unsigned char)*p) || end == p || errno == ERANGE || v < kMin[i] || v > kMax[i] ||
        *end != (last ? '\0' : ',')) {
      *err = "bad cluster size '" + text +
             "': want NODES,FS,POOLS,DISKS (nodes 1-100000, file systems 0-1000, pools 1-1000, "
             "disks 0-100000)";
      return 1;
    }
    *fields[i] = v;
    p = end + 1;
  }
  if (spec->fileSystems * spec->pools * spec->disks > 10000000) {
    *err = "bad cluster size '" + text + "': more than 10000000 disks";
    return 1;
  }
  return 0;
}

json generateModel(const GenSpec& spec) { return Gen(spec).build(); }

}  // namespace sim
