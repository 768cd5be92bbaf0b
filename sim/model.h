// The simulated cluster: one JSON document (the model file's format, see
// sim/README.md) checked against the field tables of sim/schema.h, with
// lookups by name and the changes the control interface makes. Every field
// of every object is present after loading (missing ones get their
// defaults), and the derived pool fields are kept up to date after every
// change. A Model belongs to one thread; nothing here locks.
#ifndef TNMIBD_SIM_MODEL_H_
#define TNMIBD_SIM_MODEL_H_

#include <string>
#include <vector>

#include "sim/schema.h"

namespace sim {

class Model {
 public:
  // An empty cluster: the cluster attributes at their defaults, no nodes, no file systems.
  Model();

  // Reads and checks a model file and takes it on success. Returns 0, or 1
  // with *err set to "FILE:LINE: what is wrong"; the model is unchanged then.
  int loadFile(const std::string& path, std::string* err);

  // Same for a text already in memory; name stands for the file in messages.
  int loadText(const std::string& text, const std::string& name, std::string* err);

  // Checks a document, completes it with defaults and takes it. Returns 0, or
  // 1 with *err ("where: what") and *pointer (the JSON pointer of the fault).
  int adopt(json doc, std::string* err, std::string* pointer);

  // The whole document, valid until the next change.
  const json& doc() const { return doc_; }

  // The document as indented JSON text.
  std::string dump() const;

  // The object of an entity named by its keys, outermost first (node: ip;
  // fs: name; pool: fs, pool; disk: fs, pool, disk; gfis: ip, fs; perf: fs,
  // pool, disk, node; free disk: name; cluster: none). Null when absent.
  const json* find(Entity entity, const std::vector<std::string>& keys) const;

  // Number of keys that name an object of the entity.
  static size_t keyCount(Entity entity);

  // Sets one field from its text form. 0, or 1 with *err.
  int set(Entity entity, const std::vector<std::string>& keys, const std::string& field,
          const std::string& value, std::string* err);

  // Appends a new object named by keys (the last key is the new one's) with
  // the fields of extra (a JSON object text, or empty for all defaults). 0, or 1 with *err.
  int add(Entity entity, const std::vector<std::string>& keys, const std::string& extra,
          std::string* err);

  // Removes the object named by keys with everything below it. 0, or 1 with *err.
  int remove(Entity entity, const std::vector<std::string>& keys, std::string* err);

 private:
  json* findMutable(Entity entity, const std::vector<std::string>& keys, std::string* err);
  json* parentArray(Entity entity, const std::vector<std::string>& keys, std::string* err);
  void refreshDerived();

  json doc_;
};

// The array of an object's children of one kind ("nodes", "pools", ...), or
// an empty array when the object has none; never null.
const json& childrenOf(const json& object, const char* name);

}  // namespace sim

#endif  // TNMIBD_SIM_MODEL_H_
