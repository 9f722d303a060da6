// The special options file: expert and support settings in INI form, read
// once at start-up, each value confirmed by the user before it applies.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Text.h"

class AppState;

// Builds the phrase list of the "ZIP match list" option from its file (a
// list even when the file cannot be read); *count gets its phrases. The
// list is carving's (opaque here); the start-up root installs carving's
// loader; without one the path stays an option value only.
using PhraseListLoader = std::shared_ptr<void> (*)(const std::string& path, int* count);
void SetPhraseListLoader(PhraseListLoader loader);

// An INI file read once. Section names are compared without case but as
// they stand (a leading blank is part of the name); keys are trimmed and
// compared without case. Lines longer than kMaxIniLine are ignored whole.
class IniFile {
 public:
  static constexpr size_t kMaxIniLine = 4096;
  bool Load(const std::string& path);
  // Null when the key is absent.
  const std::string* Find(std::string_view section, std::string_view key) const;
  const std::string& path() const { return path_; }

 private:
  struct Entry {
    std::string section, key, value;
  };
  std::vector<Entry> entries_;
  std::string path_;
};

// Path of the options file: "$DVOPTS$.txt" in the support folder.
std::string SpecialOptionsPath();

// 1 when the key holds a value (stored in *out) and, with confirm, the user
// accepted it; 0 otherwise.
int ReadOptionInt(const char* section, const char* key, const IniFile& file, int64_t* out, bool confirm);
// The same for text: the value is stored in *out on 1. Values longer than
// 2047 bytes are refused.
int ReadOptionString(const char* section, const char* key, const IniFile& file, std::string* out, bool confirm);
// The value as shown in a confirmation: at most 32 characters, then "...".
std::string ShortenOptionValue(const std::string& value);

// Sets every default of the settings object, then reads the options file at
// `path` (the support folder's file when empty) when it exists.
void LoadSpecialOptions(AppState& state, const std::string& path = std::string());
// The platform and table defaults (language, tables, folders, display scale,
// separators) and the option defaults.
void SetAppStateDefaults(AppState& state);
// The executable's base name when it has 1 to 15 characters, else "delvora".
WString ProgramNameFromPath(std::string_view path);

// Bounds on counts read from the file.
inline constexpr int64_t kMaxOptionListCount = 64;
