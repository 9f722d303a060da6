// The settings key store that stands in for the system registry: keys in a
// tree below a few roots, each key holding named, typed values. Each root
// with a store is one text file in plat::ConfigDir(), rewritten whole
// through a temporary file and a rename, so a reader sees the old or the new
// file and never half of one; a damaged line is skipped when read.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum class KeyRoot : uint8_t { None = 0, User, Machine, Classes };

// An open key: its root and its path below it (UTF-8 components joined by
// "\", empty for the root), and whether it was opened for writing.
struct KeyHandle {
  KeyRoot root = KeyRoot::None;
  std::string path;
  bool writable = false;
  bool IsOpen() const { return root != KeyRoot::None; }
};

// The roots: the user's keys (kept for this user), the machine's keys (one
// store for every user, written by root), and the classes root, which has no store here: every call on it answers
// ENOTSUP.
inline const KeyHandle kKeyRootUser{KeyRoot::User, {}, true};
inline const KeyHandle kKeyRootMachine{KeyRoot::Machine, {}, true};
inline const KeyHandle kKeyRootClasses{KeyRoot::Classes, {}, true};

// A value: string types (1, 2, 7) hold their UTF-8 text without the final
// terminator (a multi-string keeps the zero bytes between its strings);
// any other type holds its bytes.
struct KeyValue {
  uint32_t type = 0;
  std::string data;
};

class KeyStore {
 public:
  static constexpr size_t kMaxPathBytes = 4096;
  static constexpr size_t kMaxValueBytes = size_t(1) << 20;
  // Lines longer than this are damage, skipped when read.
  static constexpr size_t kMaxLineBytes = 4 * kMaxValueBytes + 2 * kMaxPathBytes + 64;

  static bool IsStringType(uint32_t type) { return type == 1 || type == 2 || type == 7; }
  // Path below a root with empty components dropped; false when too long.
  static bool NormalizePath(std::string_view path, std::string* out);
  // The store file of a root, "" when the root has none; its folder.
  static std::string StoreFile(KeyRoot root);
  static std::string StoreDir(KeyRoot root);

  // ---- on the files (each returns 0 or an errno value) ----
  // Creates the key and its missing parents.
  static int CreateKey(KeyRoot root, const std::string& path);
  // 0 when the key exists (a root always does), else ENOENT.
  static int KeyExists(KeyRoot root, const std::string& path);
  // Deletes the key with its sub keys and values; ENOENT when missing.
  // With prune, the parents left without values or sub keys go too.
  static int DeleteKey(KeyRoot root, const std::string& path, bool prune = false);
  static int SetValue(KeyRoot root, const std::string& path, std::string_view name, const KeyValue& value);
  static int GetValue(KeyRoot root, const std::string& path, std::string_view name, KeyValue* value);

  // ---- the model of one file ----
  // Reads a store file's text, skipping every damaged line.
  void Parse(std::string_view text);
  std::string Serialize() const;
  bool HasKey(const std::string& path) const;
  void AddKey(const std::string& path);  // with its parents
  bool Remove(const std::string& path, bool prune = false);  // with its sub keys; false when missing
  const KeyValue* Find(const std::string& path, std::string_view name) const;
  void Set(const std::string& path, std::string_view name, const KeyValue& value);
  size_t KeyCount() const { return keys_.size(); }

 private:
  struct Key {
    std::string path;  // as first created
    std::vector<std::pair<std::string, KeyValue>> values;
  };
  std::map<std::string, Key> keys_;  // by path with ASCII letters folded
};
