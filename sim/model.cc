#include "sim/model.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <set>
#include <utility>

#include "agent/scoped.h"

namespace sim {
namespace {

// Where the objects of each entity live: the parent entity (E_COUNT for the
// document itself) and the name of the array that holds them.
struct Place {
  Entity parent;
  const char* array;
};
const Place kPlaces[E_COUNT] = {
    {E_COUNT, nullptr},        // E_CLUSTER: the "cluster" object
    {E_COUNT, "nodes"},        // E_NODE
    {E_NODE, "fsStats"},       // E_GFIS
    {E_COUNT, "fileSystems"},  // E_FS
    {E_FS, "pools"},           // E_POOL
    {E_POOL, "disks"},         // E_DISK
    {E_DISK, "perf"},          // E_PERF
    {E_COUNT, "freeDisks"},    // E_FREE_DISK
};

// Checks and completes a document, remembering where it is for messages.
class Checker {
 public:
  Checker(std::string* err, std::string* pointer) : err_(err), pointer_(pointer) {}

  int document(json& doc);
  int object(Entity entity, json& obj);

 private:
  int fail(const std::string& what);
  int children(Entity entity, const json& obj, json* out);
  int fields(Entity entity, const json& obj, json* out);
  int uniqueDiskNames(const json& doc);
  void push(const std::string& token, bool index) {
    tokens_.push_back(token);
    human_.push_back(index ? "[" + token + "]" : (human_.empty() ? "" : ".") + token);
  }
  void pop() {
    tokens_.pop_back();
    human_.pop_back();
  }

  std::string* err_;
  std::string* pointer_;
  std::vector<std::string> tokens_;
  std::vector<std::string> human_;
};

int Checker::fail(const std::string& what) {
  std::string where;
  pointer_->clear();
  for (size_t i = 0; i < tokens_.size(); ++i) {
    *pointer_ += "/" + tokens_[i];
    where += human_[i];
  }
  *err_ = (where.empty() ? std::string("model") : where) + ": " + what;
  return 1;
}

int Checker::fields(Entity entity, const json& obj, json* out) {
  const EntitySchema& s = schemaOf(entity);
  std::string why;
  for (auto it = obj.begin(); it != obj.end(); ++it) {
    if (s.children != nullptr && it.key() == s.children) continue;
    const FieldRow* row = findField(entity, it.key().c_str());
    push(it.key(), false);
    if (row == nullptr) return fail(std::string("unknown field of a ") + s.what);
    if (!(row->flags & FF_DERIVED) && checkValue(*row, it.value(), &why)) return fail(why);
    pop();
  }
  for (size_t i = 0; i < s.count; ++i) {
    const FieldRow& row = s.rows[i];
    auto found = obj.find(row.name);
    if (row.flags & FF_DERIVED) {
      (*out)[row.name] = 0;
    } else if (found != obj.end()) {
      (*out)[row.name] = *found;
    } else if (row.flags & FF_KEY) {
      return fail(std::string("a ") + s.what + " needs '" + row.name + "'");
    } else {
      parseValue(row, row.def, &(*out)[row.name], &why);
    }
  }
  return 0;
}

int Checker::children(Entity entity, const json& obj, json* out) {
  const EntitySchema& s = schemaOf(entity);
  if (s.children == nullptr) return 0;
  json list = json::array();
  auto found = obj.find(s.children);
  if (found != obj.end()) list = *found;
  push(s.children, false);
  if (!list.is_array()) return fail("must be an array");
  const char* key = schemaOf(s.childEntity).rows[0].name;
  std::set<std::string> seen;
  for (size_t i = 0; i < list.size(); ++i) {
    push(std::to_string(i), true);
    if (object(s.childEntity, list[i])) return 1;
    if (!seen.insert(list[i][key].get<std::string>()).second) {
      return fail(std::string("a second ") + schemaOf(s.childEntity).what + " with " + key + " '" +
                  list[i][key].get<std::string>() + "'");
    }
    pop();
  }
  pop();
  (*out)[s.children] = std::move(list);
  return 0;
}

int Checker::object(Entity entity, json& obj) {
  if (!obj.is_object())
    return fail(std::string("must be an object (a ") + schemaOf(entity).what + ")");
  json out = json::object();
  if (fields(entity, obj, &out) || children(entity, obj, &out)) return 1;
  obj = std::move(out);
  return 0;
}

int Checker::uniqueDiskNames(const json& doc) {
  std::set<std::string> seen;
  const json& fss = doc["fileSystems"];
  for (size_t f = 0; f < fss.size(); ++f) {
    const json& pools = fss[f]["pools"];
    for (size_t p = 0; p < pools.size(); ++p) {
      const json& disks = pools[p]["disks"];
      for (size_t d = 0; d < disks.size(); ++d) {
        if (seen.insert(disks[d]["name"].get<std::string>()).second) continue;
        push("fileSystems", false), push(std::to_string(f), true), push("pools", false);
        push(std::to_string(p), true), push("disks", false), push(std::to_string(d), true);
        return fail("disk name '" + disks[d]["name"].get<std::string>() + "' is used twice");
      }
    }
  }
  const json& free = doc["freeDisks"];
  for (size_t d = 0; d < free.size(); ++d) {
    if (seen.insert(free[d]["name"].get<std::string>()).second) continue;
    push("freeDisks", false), push(std::to_string(d), true);
    return fail("disk name '" + free[d]["name"].get<std::string>() + "' is used twice");
  }
  return 0;
}

// The top level: an optional description, the cluster and three arrays.
int Checker::document(json& doc) {
  if (!doc.is_object()) return fail("the model must be a JSON object");
  static const char* const kTop[] = {"description", "cluster", "nodes", "fileSystems", "freeDisks"};
  for (auto it = doc.begin(); it != doc.end(); ++it) {
    bool known = false;
    for (const char* k : kTop) known = known || it.key() == k;
    push(it.key(), false);
    if (!known) return fail("unknown field of the model");
    if (it.key() == "description" && !it.value().is_string()) return fail("must be a text");
    pop();
  }
  json out = json::object();
  if (doc.contains("description")) out["description"] = doc["description"];
  out["cluster"] = doc.contains("cluster") ? doc["cluster"] : json::object();
  push("cluster", false);
  if (object(E_CLUSTER, out["cluster"])) return 1;
  pop();
  static const Entity kLists[] = {E_NODE, E_FS, E_FREE_DISK};
  for (Entity e : kLists) {
    json list = doc.contains(kPlaces[e].array) ? doc[kPlaces[e].array] : json::array();
    push(kPlaces[e].array, false);
    if (!list.is_array()) return fail("must be an array");
    const char* key = schemaOf(e).rows[0].name;
    std::set<std::string> seen;
    for (size_t i = 0; i < list.size(); ++i) {
      push(std::to_string(i), true);
      if (object(e, list[i])) return 1;
      std::string name = list[i][key].get<std::string>();
      if (!seen.insert(name).second)
        return fail(std::string("a second ") + schemaOf(e).what + " with " + key + " '" + name +
                    "'");
      pop();
    }
    pop();
    out[kPlaces[e].array] = std::move(list);
  }
  if (uniqueDiskNames(out)) return 1;
  doc = std::move(out);
  return 0;
}

// Finds the line of the value at a JSON pointer by parsing the text again and
// watching how far the reader has got when that value starts.
class LineFinder {
 public:
  using number_integer_t = json::number_integer_t;
  using number_unsigned_t = json::number_unsigned_t;
  using number_float_t = json::number_float_t;
  using string_t = json::string_t;
  using binary_t = json::binary_t;

  LineFinder(const std::string& text, const std::string& pointer, std::streambuf* buf)
      : text_(text), target_(pointer), buf_(buf) {}
  int line() const { return line_; }

  bool null() { return value(); }
  bool boolean(bool) { return value(); }
  bool number_integer(number_integer_t) { return value(); }
  bool number_unsigned(number_unsigned_t) { return value(); }
  bool number_float(number_float_t, const string_t&) { return value(); }
  bool string(string_t&) { return value(); }
  bool binary(binary_t&) { return value(); }
  bool start_object(size_t) { return open(false); }
  bool end_object() { return close(); }
  bool start_array(size_t) { return open(true); }
  bool end_array() { return close(); }
  bool key(string_t& k) {
    key_ = k;
    return true;
  }
  bool parse_error(size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

 private:
  struct Level {
    std::string path;
    bool array;
    size_t next;
  };
  std::string here() {
    if (levels_.empty()) return std::string();
    Level& top = levels_.back();
    return top.path + "/" + (top.array ? std::to_string(top.next++) : key_);
  }
  int currentLine();
  bool value() {
    if (here() == target_ && line_ == 0) line_ = currentLine();
    return true;
  }
  bool open(bool array) {
    std::string path = here();
    if (path == target_ && line_ == 0) line_ = currentLine();
    levels_.push_back(Level{path, array, 0});
    return true;
  }
  bool close() {
    levels_.pop_back();
    return true;
  }

  const std::string& text_;
  std::string target_;
  std::streambuf* buf_;
  std::vector<Level> levels_;
  std::string key_;
  int line_ = 0;
};

// A read buffer over a text that tells how much of it the parser has taken.
class TextBuf : public std::streambuf {
 public:
  explicit TextBuf(const std::string& text) {
    char* p = const_cast<char*>(text.data());
    setg(p, p, p + text.size());
  }
  size_t taken() const { return gptr() - eback(); }
};

int LineFinder::currentLine() {
  // The reader has looked one character past the value's first token at most.
  size_t taken = static_cast<TextBuf*>(buf_)->taken();
  size_t upto = taken > 0 ? taken - 1 : 0;
  int line = 1;
  for (size_t i = 0; i < upto && i < text_.size(); ++i) line += text_[i] == '\n';
  return line;
}

int lineOf(const std::string& text, const std::string& pointer) {
  TextBuf buf(text);
  std::istream in(&buf);
  LineFinder finder(text, pointer, &buf);
  json::sax_parse(in, &finder);
  return finder.line() > 0 ? finder.line() : 1;
}

// Collects the first syntax error of a text that does not parse.
struct SyntaxError {
  using number_integer_t = json::number_integer_t;
  using number_unsigned_t = json::number_unsigned_t;
  using number_float_t = json::number_float_t;
  using string_t = json::string_t;
  using binary_t = json::binary_t;
  bool null() { return true; }
  bool boolean(bool) { return true; }
  bool number_integer(number_integer_t) { return true; }
  bool number_unsigned(number_unsigned_t) { return true; }
  bool number_float(number_float_t, const string_t&) { return true; }
  bool string(string_t&) { return true; }
  bool binary(binary_t&) { return true; }
  bool start_object(size_t) { return true; }
  bool end_object() { return true; }
  bool start_array(size_t) { return true; }
  bool end_array() { return true; }
  bool key(string_t&) { return true; }
  bool parse_error(size_t pos, const std::string&, const nlohmann::detail::exception& ex) {
    position = pos;
    message = ex.what();
    return false;
  }
  size_t position = 0;
  std::string message;
};

std::string syntaxMessage(const std::string& text, const std::string& name) {
  SyntaxError sax;
  json::sax_parse(text, &sax);
  int line = 1;
  for (size_t i = 0; i + 1 < sax.position && i < text.size(); ++i) line += text[i] == '\n';
  std::string what = sax.message;
  size_t colon = what.find(": ");  // drop the library's "[json.exception...] parse error at ..."
  if (colon != std::string::npos) what = what.substr(colon + 2);
  return name + ":" + std::to_string(line) + ": not valid JSON: " + what;
}

}  // namespace

const json& childrenOf(const json& object, const char* name) {
  static const json kEmpty = json::array();
  auto found = object.find(name);
  return found == object.end() ? kEmpty : *found;
}

Model::Model() {
  std::string err, pointer;
  adopt(json::object(), &err, &pointer);
}

int Model::adopt(json doc, std::string* err, std::string* pointer) {
  Checker checker(err, pointer);
  if (checker.document(doc)) return 1;
  doc_ = std::move(doc);
  refreshDerived();
  return 0;
}

int Model::loadText(const std::string& text, const std::string& name, std::string* err) {
  json doc = json::parse(text, nullptr, false);
  if (doc.is_discarded()) {
    *err = syntaxMessage(text, name);
    return 1;
  }
  std::string what, pointer;
  if (adopt(std::move(doc), &what, &pointer)) {
    *err = name + ":" + std::to_string(lineOf(text, pointer)) + ": " + what;
    return 1;
  }
  return 0;
}

int Model::loadFile(const std::string& path, std::string* err) {
  ScopedFile file(fopen(path.c_str(), "rb"));
  if (file.get() == nullptr) {
    *err = path + ": cannot open: " + strerror(errno);
    return 1;
  }
  std::string text;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, file.get())) > 0) text.append(buf, n);
  if (ferror(file.get())) {
    *err = path + ": cannot read: " + strerror(errno);
    return 1;
  }
  return loadText(text, path, err);
}

std::string Model::dump() const {
  return doc_.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

size_t Model::keyCount(Entity entity) {
  if (entity == E_CLUSTER) return 0;
  Entity parent = kPlaces[entity].parent;
  return 1 + (parent == E_COUNT ? 0 : keyCount(parent));
}

json* Model::parentArray(Entity entity, const std::vector<std::string>& keys, std::string* err) {
  Entity parent = kPlaces[entity].parent;
  if (parent == E_COUNT) return &doc_[kPlaces[entity].array];
  std::vector<std::string> up(keys.begin(), keys.end() - 1);
  json* owner = findMutable(parent, up, err);
  return owner == nullptr ? nullptr : &(*owner)[kPlaces[entity].array];
}

json* Model::findMutable(Entity entity, const std::vector<std::string>& keys, std::string* err) {
  if (keys.size() != keyCount(entity)) {
    *err = "wrong number of names for a " + std::string(schemaOf(entity).what);
    return nullptr;
  }
  if (entity == E_CLUSTER) return &doc_["cluster"];
  json* list = parentArray(entity, keys, err);
  if (list == nullptr) return nullptr;
  const char* key = schemaOf(entity).rows[0].name;
  for (json& item : *list) {
    if (item[key].get_ref<const std::string&>() == keys.back()) return &item;
  }
  *err = std::string("no ") + schemaOf(entity).what + " '" + keys.back() + "'";
  return nullptr;
}

const json* Model::find(Entity entity, const std::vector<std::string>& keys) const {
  std::string err;
  return const_cast<Model*>(this)->findMutable(entity, keys, &err);
}

int Model::set(Entity entity, const std::vector<std::string>& keys, const std::string& field,
               const std::string& value, std::string* err) {
  json* obj = findMutable(entity, keys, err);
  if (obj == nullptr) return 1;
  const FieldRow* row = findField(entity, field.c_str());
  if (row == nullptr) {
    *err = "a " + std::string(schemaOf(entity).what) + " has no field '" + field + "'";
    return 1;
  }
  if (row->flags & (FF_DERIVED | FF_KEY)) {
    *err = "'" + field + "' cannot be set: " +
           ((row->flags & FF_KEY) ? "it is the name (remove and add instead)"
                                  : "it is computed from the disks");
    return 1;
  }
  json parsed;
  std::string why;
  if (parseValue(*row, value, &parsed, &why)) {
    *err = field + ": " + why;
    return 1;
  }
  (*obj)[row->name] = std::move(parsed);
  refreshDerived();
  return 0;
}

int Model::add(Entity entity, const std::vector<std::string>& keys, const std::string& extra,
               std::string* err) {
  if (entity == E_CLUSTER || keys.size() != keyCount(entity)) {
    *err = "wrong number of names for a " + std::string(schemaOf(entity).what);
    return 1;
  }
  json* list = parentArray(entity, keys, err);
  if (list == nullptr) return 1;
  json obj = extra.empty() ? json::object() : json::parse(extra, nullptr, false);
  if (obj.is_discarded() || !obj.is_object()) {
    *err = "the fields must be one JSON object";
    return 1;
  }
  obj[schemaOf(entity).rows[0].name] = keys.back();
  std::string pointer;
  Checker checker(err, &pointer);
  if (checker.object(entity, obj)) return 1;
  list->push_back(std::move(obj));
  json trial = doc_;  // the whole-document check also catches a disk name used twice
  std::string what;
  if (Checker(&what, &pointer).document(trial)) {
    list->erase(list->size() - 1);
    *err = what;
    return 1;
  }
  refreshDerived();
  return 0;
}

int Model::remove(Entity entity, const std::vector<std::string>& keys, std::string* err) {
  if (entity == E_CLUSTER) {
    *err = "the cluster cannot be removed";
    return 1;
  }
  json* obj = findMutable(entity, keys, err);
  if (obj == nullptr) return 1;
  json* list = parentArray(entity, keys, err);
  for (size_t i = 0; i < list->size(); ++i) {
    if (&(*list)[i] == obj) {
      list->erase(i);
      break;
    }
  }
  refreshDerived();
  return 0;
}

namespace {

// Adds value to *sum, holding at the 64-bit limits instead of overflowing:
// the disk sizes of a model file or of "set" may be anything a 64-bit integer holds.
void addHeld(int64_t* sum, int64_t value) {
  if (__builtin_add_overflow(*sum, value, sum)) *sum = value > 0 ? INT64_MAX : INT64_MIN;
}

}  // namespace

void Model::refreshDerived() {
  for (json& fs : doc_["fileSystems"]) {
    for (json& pool : fs["pools"]) {
      int64_t total = 0, free = 0;
      for (const json& disk : pool["disks"]) {
        addHeld(&total, disk["totalSpace"].get<int64_t>());
        addHeld(&free, disk["fullBlockFreeSpace"].get<int64_t>());
        addHeld(&free, disk["subBlockFreeSpace"].get<int64_t>());
      }
      pool["numDisks"] = (int64_t)pool["disks"].size();
      pool["totalSpace"] = total;
      pool["freeSpace"] = free;
    }
  }
}

}  // namespace sim
