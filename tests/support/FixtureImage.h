// Test helpers for the NTFS images of tests/fixtures/ntfs: unpacking an
// image into the fixture cache, reading its recorded peer reports, and
// reading clusters at the addresses the peers name.
#pragma once
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/FixtureRun.h"
#include "tests/support/TestUtil.h"

namespace ntfs_fixture {

inline std::string FixtureDir() { return std::string(DV_SOURCE_DIR) + "/tests/fixtures/ntfs"; }

inline std::string CacheDir() { return FixtureCache() + "/ntfs"; }

inline bool HaveXz() { return HaveTool("xz"); }

// The unpacked image <name>.img in the cache (unpacked when missing or
// older than the committed .img.xz); empty when it cannot be made.
inline std::string Image(const std::string& name) {
  std::string src = FixtureDir() + "/" + name + ".img.xz";
  std::string dir = CacheDir();
  std::string dst = dir + "/" + name + ".img";
  struct stat s, d;
  if (stat(src.c_str(), &s) != 0) return {};
  if (stat(dst.c_str(), &d) == 0 && d.st_mtime >= s.st_mtime && d.st_size > 0) return dst;
  if (!HaveXz()) return {};
  std::string tmp = dst + ".tmp" + std::to_string(getpid());
  std::string cmd = "mkdir -p '" + dir + "' && xz -dc '" + src + "' > '" + tmp + "' && mv '" + tmp + "' '" + dst + "'";
  if (std::system(cmd.c_str()) != 0) {
    unlink(tmp.c_str());
    return {};
  }
  return dst;
}

// The disk image of make_bootless_disk.sh (basic at sector 2048, MBR, boot
// sector and backup boot sector zeroed), made once into the cache; empty
// when it cannot be made.
inline std::string BootlessDisk() {
  std::string dst = CacheDir() + "/bootless-disk.img";
  struct stat s, d;
  std::string src = FixtureDir() + "/basic.img.xz";
  if (stat(src.c_str(), &s) != 0) return {};
  if (stat(dst.c_str(), &d) == 0 && d.st_mtime >= s.st_mtime && d.st_size > 0) return dst;
  std::string cmd = "mkdir -p '" + CacheDir() + "' && bash '" + FixtureDir() + "/make_bootless_disk.sh' '" + dst +
                    "' >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) return {};
  return dst;
}

// A recorded report <name>.<kind>.txt (or its .txt.xz); empty when absent.
inline std::string Report(const std::string& name, const std::string& kind) {
  std::string base = FixtureDir() + "/" + name + "." + kind + ".txt";
  std::ifstream f(base, std::ios::binary);
  if (f) {
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  std::string out;
  if (FILE* p = popen(("xz -dc '" + base + ".xz' 2>/dev/null").c_str(), "r")) {
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

// The (md5, path) pairs of icat's recorded md5s of an image's files.
inline std::vector<std::pair<std::string, std::string>> IcatMd5s(const std::string& name) {
  std::vector<std::pair<std::string, std::string>> out;
  std::istringstream md5s(Report(name, "icat-md5"));
  for (std::string line; std::getline(md5s, line);) {
    const size_t a = line.find("  "), b = line.find(' ', a + 2);
    if (a == std::string::npos || b == std::string::npos) continue;
    out.emplace_back(line.substr(0, a), line.substr(b + 1));
  }
  return out;
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

// path -> inode from <name>.inodes.txt.
inline std::map<std::string, uint64_t> Inodes(const std::string& name) {
  std::map<std::string, uint64_t> out;
  for (const std::string& line : Lines(Report(name, "inodes"))) {
    size_t tab = line.rfind('\t');
    if (tab != std::string::npos) out[line.substr(0, tab)] = std::stoull(line.substr(tab + 1));
  }
  return out;
}

// The inode fls -r -p gives a path (its "inode-type-id:" field), 0 when not
// listed.
inline uint64_t FlsInode(const std::string& name, const std::string& path) {
  for (const std::string& line : Lines(Report(name, "fls"))) {
    size_t tab = line.find('\t');
    if (tab == std::string::npos || line.substr(tab + 1) != path) continue;
    size_t space = line.rfind(' ', tab);
    return std::stoull(line.substr(space + 1));
  }
  return 0;
}

// The md5 icat gave for an inode ("" when not recorded).
inline std::string IcatMd5(const std::string& name, uint64_t inode) {
  for (const std::string& line : Lines(Report(name, "icat-md5"))) {
    std::istringstream in(line);
    std::string md5, spec;
    in >> md5 >> spec;
    if (spec == std::to_string(inode)) return md5;
  }
  return {};
}

// The istat section of one inode ("===== inode path" up to the next).
inline std::string IstatOf(const std::string& name, uint64_t inode) {
  std::string all = Report(name, "istat");
  std::string mark = "===== " + std::to_string(inode) + " ";
  size_t at = all.find(mark);
  if (at == std::string::npos) return {};
  size_t end = all.find("\n===== ", at + 1);
  return all.substr(at, end == std::string::npos ? std::string::npos : end + 1 - at);
}

// The cluster list istat prints after the attribute line that contains
// attrMark (e.g. "$DATA (128-", "$INDEX_ALLOCATION"); 0 stands for a hole.
inline std::vector<uint64_t> IstatClusters(const std::string& istat, const std::string& attrMark) {
  std::vector<uint64_t> out;
  size_t at = istat.find("Type: " + attrMark);
  if (at == std::string::npos) return out;
  size_t line = istat.find('\n', at);
  std::istringstream in(istat.substr(line == std::string::npos ? istat.size() : line + 1));
  std::string l;
  while (std::getline(in, l)) {
    if (l.empty() || l.rfind("Type:", 0) == 0 || l.rfind("=====", 0) == 0) break;
    std::istringstream nums(l);
    uint64_t c;
    while (nums >> c) out.push_back(c);
  }
  return out;
}

// The clusters of an attribute from the run list ntfsinfo -v printed after
// the line "Dumping attribute <attrMark>" of the inode; 0 stands for a hole.
inline std::vector<uint64_t> NtfsinfoClusters(const std::string& name, uint64_t inode, const std::string& attrMark) {
  std::vector<uint64_t> out;
  std::string all = Report(name, "ntfsinfo");
  size_t at = all.find("===== " + std::to_string(inode) + " ");
  if (at == std::string::npos) return out;
  size_t end = all.find("\n===== ", at + 1);
  std::string sect = all.substr(at, end == std::string::npos ? std::string::npos : end - at);
  at = sect.find("Dumping attribute " + attrMark);
  if (at == std::string::npos) return out;
  at = sect.find("Runlist:", at);
  if (at == std::string::npos) return out;
  std::istringstream in(sect.substr(sect.find('\n', at) + 1));
  std::string vcn, lcn, len;
  while (in >> vcn >> lcn >> len && vcn.rfind("0x", 0) == 0) {
    uint64_t n = std::stoull(len, nullptr, 16);
    uint64_t first = lcn == "<HOLE>" ? 0 : std::stoull(lcn, nullptr, 16);
    for (uint64_t i = 0; i < n; ++i) out.push_back(first ? first + i : 0);
  }
  return out;
}

// Reads count bytes at offset of a file; short when the file ends.
inline std::vector<uint8_t> ReadAt(const std::string& path, uint64_t offset, size_t count) {
  std::vector<uint8_t> out(count);
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return {};
  size_t n = 0;
  if (fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0) n = std::fread(out.data(), 1, count, f);
  std::fclose(f);
  out.resize(n);
  return out;
}

// A FILE record of an image, fixed up ($MFT contiguous at its start, as
// mkntfs leaves a new volume); empty when it is not that record.
inline std::vector<uint8_t> ReadRecord(const std::string& img, uint64_t number) {
  auto u16 = [](const std::vector<uint8_t>& b, size_t at) { return uint32_t(b[at] | (b[at + 1] << 8)); };
  auto u64 = [](const std::vector<uint8_t>& b, size_t at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | b[at + i];
    return v;
  };
  std::vector<uint8_t> boot = ReadAt(img, 0, 512);
  if (boot.size() != 512) return {};
  uint64_t cluster = uint64_t(u16(boot, 11)) * boot[13];
  int8_t perRecord = int8_t(boot[64]);
  uint64_t recordSize = perRecord < 0 ? uint64_t(1) << -perRecord : perRecord * cluster;
  std::vector<uint8_t> r = ReadAt(img, u64(boot, 48) * cluster + number * recordSize, recordSize);
  if (r.size() != recordSize || r.size() < 512 || r[0] != 'F' || r[1] != 'I' || r[2] != 'L' || r[3] != 'E') return {};
  if ((u64(r, 40) >> 32) != number) return {};  // the record number at 44
  size_t usa = u16(r, 4);
  for (size_t i = 1; i < u16(r, 6) && i * 512 <= r.size() && usa + 2 * i + 2 <= r.size(); ++i) {
    r[i * 512 - 2] = r[usa + 2 * i];
    r[i * 512 - 1] = r[usa + 2 * i + 1];
  }
  return r;
}

// The value of the first resident attribute of a type in a fixed-up record
// (unnamed only when unnamed is set); empty when there is none.
inline std::vector<uint8_t> ResidentValue(const std::vector<uint8_t>& r, uint32_t type, bool unnamed = true) {
  auto u16 = [&](size_t at) { return uint32_t(r[at] | (r[at + 1] << 8)); };
  auto u32 = [&](size_t at) { return u16(at) | (u16(at + 2) << 16); };
  size_t at = r.size() >= 22 ? u16(20) : r.size();
  while (at + 24 <= r.size() && u32(at) != 0xFFFFFFFF && u32(at + 4) > 0) {
    if (u32(at) == type && r[at + 8] == 0 && (!unnamed || r[at + 9] == 0)) {
      size_t length = u32(at + 16), offset = u16(at + 20);
      if (at + offset + length > r.size()) return {};
      return std::vector<uint8_t>(r.begin() + at + offset, r.begin() + at + offset + length);
    }
    at += u32(at + 4);
  }
  return {};
}

}  // namespace ntfs_fixture
