// Shared helpers of the NTFS model tests: the images of
// tests/fixtures/make_ntfs_model.sh, an open volume over one, and the reports
// of the peer tools.
#pragma once
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "filesystems/ntfs/Inode.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "foundation/Globals.h"
#include "platform/Text.h"
#include "storage/Drive.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/TestUtil.h"

namespace ntfstest {

// The folder of the images; empty with *skip set when they cannot be made.
inline std::string ModelImages(std::string* skip) {
  static std::string folder;
  static int status = -2;
  if (status == -2) {
    folder = FixtureCache() + "/ntfs-model";
    status = RunFixtureScript("make_ntfs_model.sh", folder, ">/dev/null");
  }
  if (status == 77) {
    *skip = "mkntfs, ntfs-3g, sleuthkit, root or FUSE missing";
    return "";
  }
  if (status != 0) {
    *skip = "";
    return "";
  }
  return folder;
}

#define NTFS_IMAGES_OR_SKIP(var)                 \
  std::string skip_;                             \
  const std::string var = ntfstest::ModelImages(&skip_); \
  if (var.empty() && !skip_.empty()) GTEST_SKIP() << skip_; \
  ASSERT_FALSE(var.empty()) << "make_ntfs_model.sh failed"

// A drive over an image and the NTFS volume at startSector.
struct OpenVolume {
  std::unique_ptr<Drive> drive;
  std::unique_ptr<NTFSVol> vol;
  bool bootOk = false;

  bool Open(const std::string& path, uint64_t startSector = 0) {
    drive.reset(CreateDrive(FromUtf8(path)));
    drive->InitDrive(FromUtf8(path));
    std::vector<uint8_t> boot(4096);
    if (!drive->ReadSectors(int64_t(startSector), 4096, 0, boot.data(), true)) return false;
    vol = std::make_unique<NTFSVol>();
    vol->drive = drive.get();
    vol->startSector = startSector;
    bootOk = NTFS::BootParse(vol.get(), boot.data());
    return bootOk;
  }

  // Parses record r (the wanted stream or all); pieces loaded from their
  // extension records.
  std::unique_ptr<inode> Record(uint64_t r, const char16_t* stream = nullptr) {
    std::vector<uint8_t> buf(vol->recordSize);
    uint64_t at = 0;
    if (!vol->ReadMftRecord(r, buf.data(), &at)) return nullptr;
    auto node = std::make_unique<inode>(buf.data(), vol.get());
    node->position = at;
    const int rc = node->parseEntry(stream);
    node->record = nullptr;
    if (rc != 0) return nullptr;
    vol->LoadPieces(node.get());
    return node;
  }

  // The stream's bytes as the reader gives them.
  std::string ReadData(inode* node) {
    if (node->residentData) return std::string(reinterpret_cast<char*>(node->residentData), node->residentSize);
    std::string data;
    const uint32_t cs = vol->clusterSize;
    const uint64_t clusters = (node->size + cs - 1) / cs;
    for (uint64_t v = 0; v < clusters;) {
      const uint32_t want = uint32_t(std::min<uint64_t>(clusters - v, 64));
      uint32_t got = 0;
      const uint8_t* p = node->ReadClusters(int64_t(v), want, &got);
      if (!p || got == 0) break;
      data.append(reinterpret_cast<const char*>(p), size_t(got) * cs);
      v += got;
    }
    if (data.size() > node->size) data.resize(node->size);
    return data;
  }
};

// One line of `fls -r -p`.
struct FlsEntry {
  char type = 'r';
  bool deleted = false;
  bool realloc = false;
  uint64_t inode = 0;
  std::string attr;  // "128-2"
  std::string path;
};

inline std::vector<FlsEntry> Fls(const std::string& image) {
  std::vector<FlsEntry> out;
  std::istringstream in(RunCommand("fls -r -p '" + image + "' 2>/dev/null"));
  std::string line;
  while (std::getline(in, line)) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos || line.size() < 4) continue;
    FlsEntry e;
    e.type = line[2];
    std::string head = line.substr(4, tab - 4);
    if (head.rfind("* ", 0) == 0) {
      e.deleted = true;
      head = head.substr(2);
    }
    e.realloc = head.find("(realloc)") != std::string::npos;
    const size_t dash = head.find('-');
    e.inode = std::stoull(head.substr(0, dash));
    const size_t colon = head.find(':');
    e.attr = dash == std::string::npos ? "" : head.substr(dash + 1, colon - dash - 1);
    const size_t paren = e.attr.find('(');
    if (paren != std::string::npos) e.attr.resize(paren);
    e.path = line.substr(tab + 1);
    out.push_back(e);
  }
  return out;
}

inline std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace ntfstest
