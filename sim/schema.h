// The simulator's field tables: one row per field of each kind of model
// object, saying its name in the model file, its type and default, the daemon
// keyword that carries it in an answer and the configuration query code that
// prints it. The model checker, the daemon answers, the configuration query
// records and the control "set" command all read these rows.
#ifndef TNMIBD_SIM_SCHEMA_H_
#define TNMIBD_SIM_SCHEMA_H_

#include <stddef.h>

#include <string>

#include <nlohmann/json.hpp>

namespace sim {

using json = nlohmann::ordered_json;

enum FieldType {
  FT_TEXT,    // any text without single quote or control characters; may be empty
  FT_WORD,    // a non-empty text without blanks (names used inside commands)
  FT_INT,     // a signed 64-bit integer
  FT_DOUBLE,  // a floating-point number
  FT_BOOL,    // true or false
};

// Which daemon answer line a field goes to (a node's fields are split over two commands).
enum FieldGroup {
  G_NONE,      // model only: not sent by the daemon
  G_CLUSTER,   // "get clusterinfo"
  G_NODE,      // "get nodes"
  G_NC,        // "tnperf nc"
  G_FS,        // "get fs NAME -b"
  G_POOL,      // "get stgpools FS"
  G_DISK,      // "get fs FS POOL"
  G_GFIS,      // "tnperf gfis"
  G_DS,        // the "_tnperf" line of "tnperf ds"
  G_DS_READ,   // the "_r_" line of "tnperf ds"
  G_DS_WRITE,  // the "_w_" line of "tnperf ds"
};

enum FieldFlags {
  FF_DERIVED = 1,  // computed from the children; ignored when loaded, refused by "set"
  FF_KEY = 2,      // identifies the object among its siblings; "set" may not change it
};

struct FieldRow {
  const char* name;  // key in the model file
  FieldType type;
  FieldGroup group;
  const char* keyword;  // daemon keyword, or null
  int code;             // configuration query code, or 0
  const char* def;      // default, as the text "set" would accept
  unsigned flags;
};

enum Entity { E_CLUSTER, E_NODE, E_GFIS, E_FS, E_POOL, E_DISK, E_PERF, E_FREE_DISK, E_COUNT };

struct EntitySchema {
  const char* what;  // "node", "file system", ... for messages
  const FieldRow* rows;
  size_t count;
  const char* children;  // name of the array of child objects, or null
  Entity childEntity;
};

// The table of an entity; never null for a valid entity.
const EntitySchema& schemaOf(Entity entity);

// The row named name in the entity's table, or null.
const FieldRow* findField(Entity entity, const char* name);

// Checks a value from the model file against a row; 0 when it fits, else 1 with *why set.
int checkValue(const FieldRow& row, const json& value, std::string* why);

// Converts the text form of a value (as "set" gets it) into *out; 0 or 1 with *why set.
int parseValue(const FieldRow& row, const std::string& text, json* out, std::string* why);

// Formats a value as a daemon answer word: texts with blanks, or empty ones,
// in single quotes; doubles in the shortest form that reads back the same.
std::string answerWord(const FieldRow& row, const json& value);

// Formats a value as a configuration query field (no quoting; an empty text stays empty).
std::string recordField(const FieldRow& row, const json& value);

// Shortest decimal text of d that strtod reads back to d.
std::string formatDouble(double d);

}  // namespace sim

#endif  // TNMIBD_SIM_SCHEMA_H_
