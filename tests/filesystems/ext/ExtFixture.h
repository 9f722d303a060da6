// What the ext image tests share: the images of tests/fixtures/make_ext.sh
// and their peers' reports read back.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>

#include "platform/Text.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/TestUtil.h"
#include "volumes/DestinationPath.h"

namespace {

inline bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

inline std::string ExtImages(std::string* skip) {
  static int status = RunFixtureScript("make_ext.sh", FixtureCache() + "/ext", ">/dev/null 2>&1");
  if (status == 77) *skip = "e2fsprogs or sleuthkit missing";
  return status == 0 ? FixtureCache() + "/ext" : "";
}

#define EXT_IMAGES_OR_SKIP(var)                             \
  std::string skip_;                                        \
  const std::string var = ExtImages(&skip_);                \
  if (var.empty() && !skip_.empty()) GTEST_SKIP() << skip_; \
  ASSERT_FALSE(var.empty()) << "make_ext.sh failed"

// An fls path ("a/b/name") as Save writes it below the destination.
inline std::string DestinationOf(const std::string& flsPath) {
  const size_t slash = flsPath.rfind('/');
  std::string folder = "\\";
  if (slash != std::string::npos) {
    folder += flsPath.substr(0, slash);
    for (char& c : folder)
      if (c == '/') c = '\\';
    folder += "\\";
  }
  const std::string name = slash == std::string::npos ? flsPath : flsPath.substr(slash + 1);
  WString out;
  if (!BuildDestinationPath(u"/r", FromUtf8(folder), FromUtf8(name), &out)) return "";
  return ToUtf8(out).substr(3);
}

// fls's files and links (or its folders): destination path -> deleted.
// With unreadInodes, also the files and links whose inodes fls could not
// read ("r/-", "l/-" with an inode number).
inline std::map<std::string, bool> FlsFiles(const std::string& text, bool folders = false, bool unreadInodes = false) {
  std::map<std::string, bool> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    auto is = [&](const char* kind) { return line.rfind(kind, 0) == 0; };
    const bool unread = unreadInodes && (is("r/- ") || is("l/- ")) && line.find(" 0:") == std::string::npos;
    if (folders ? !is("d/d") : !(is("r/r") || is("l/l") || unread)) continue;
    const std::string path = line.substr(tab + 1);
    if (path.rfind("$OrphanFiles", 0) == 0) continue;
    out[DestinationOf(path)] = line.compare(4, 2, "* ") == 0;
  }
  return out;
}

// "<md5>  <path>" lines.
inline std::map<std::string, std::string> SourceMd5s(const std::string& folder) {
  std::map<std::string, std::string> out;
  std::istringstream in(ReadFileText(folder + "/ext-src.md5.txt"));
  std::string line;
  while (std::getline(in, line)) out[DestinationOf(line.substr(34))] = line.substr(0, 32);
  return out;
}

}  // namespace
