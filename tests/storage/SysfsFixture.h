// A fake sysfs and /proc under a temporary folder: whole disks, partitions,
// loop devices with and without a backing file, dm and md devices, ram and
// zram devices, the dev/block and class/block links the kernel makes, and a
// mount table. While the object lives DELVORA_SYSFS_ROOT and
// DELVORA_PROC_ROOT point at it; the destructor restores them and rebuilds
// the process-wide disk list from the real system.
#pragma once
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/TestUtil.h"
#include "storage/DiskList.h"

class SysfsFixture {
 public:
  explicit SysfsFixture(const std::string& name) : temp_("sysfs_" + name), root_(temp_.Path()) {
    Save("DELVORA_SYSFS_ROOT", &oldSys_, &hadSys_);
    Save("DELVORA_PROC_ROOT", &oldProc_, &hadProc_);
    Mkdir("sys/block");
    Mkdir("sys/dev/block");
    Mkdir("sys/class/block");
    Mkdir("proc/self");
    WriteFileText(root_ + "/proc/self/mountinfo", "");
    setenv("DELVORA_SYSFS_ROOT", (root_ + "/sys").c_str(), 1);
    setenv("DELVORA_PROC_ROOT", (root_ + "/proc").c_str(), 1);
  }
  ~SysfsFixture() {
    Restore("DELVORA_SYSFS_ROOT", oldSys_, hadSys_);
    Restore("DELVORA_PROC_ROOT", oldProc_, hadProc_);
    theDiskList().Refresh();
  }
  SysfsFixture(const SysfsFixture&) = delete;
  SysfsFixture& operator=(const SysfsFixture&) = delete;

  const std::string& Root() const { return root_; }
  std::string Sys() const { return root_ + "/sys"; }

  struct DiskSpec {
    std::string name;
    uint32_t major = 240, minor = 0;
    uint64_t size512 = 0;
    uint32_t logical = 512, physical = 0;  // physical 0: as logical
    bool deviceLink = true;
    std::string model, vendor, serial;     // device/<attr>, written when not empty
    std::vector<uint8_t> vpdPage80;        // device/vpd_pg80 when not empty
    std::string diskSerial;                // <disk>/serial (virtio)
    std::string mmcName;                   // device/name (MMC)
    uint64_t maxHwSectorsKb = 0;           // queue/max_hw_sectors_kb when not 0
    std::string backingFile;               // loop/backing_file (loop devices)
  };

  // A whole disk (or any block device in /sys/block).
  void AddDisk(const DiskSpec& d) {
    std::string dir = "sys/block/" + d.name;
    Mkdir(dir + "/queue");
    Attr(dir + "/dev", Dev(d.major, d.minor));
    Attr(dir + "/size", std::to_string(d.size512));
    Attr(dir + "/removable", "0");
    Attr(dir + "/ro", "0");
    Attr(dir + "/queue/logical_block_size", std::to_string(d.logical));
    Attr(dir + "/queue/physical_block_size", std::to_string(d.physical ? d.physical : d.logical));
    if (d.maxHwSectorsKb) Attr(dir + "/queue/max_hw_sectors_kb", std::to_string(d.maxHwSectorsKb));
    Mkdir(dir + "/holders");
    Mkdir(dir + "/slaves");
    if (d.deviceLink) {
      // The kernel's "device" is a link to the parent device's folder.
      Mkdir("sys/devices/" + d.name + "-parent");
      Symlink("../../devices/" + d.name + "-parent", dir + "/device");
      std::string dev = "sys/devices/" + d.name + "-parent";
      if (!d.model.empty()) Attr(dev + "/model", d.model);
      if (!d.vendor.empty()) Attr(dev + "/vendor", d.vendor);
      if (!d.serial.empty()) Attr(dev + "/serial", d.serial);
      if (!d.mmcName.empty()) Attr(dev + "/name", d.mmcName);
      if (!d.vpdPage80.empty())
        WriteFileText(root_ + "/" + dev + "/vpd_pg80", std::string(d.vpdPage80.begin(), d.vpdPage80.end()));
    }
    if (!d.diskSerial.empty()) Attr(dir + "/serial", d.diskSerial);
    if (d.name.rfind("loop", 0) == 0) {
      Mkdir(dir + "/loop");
      if (!d.backingFile.empty()) Attr(dir + "/loop/backing_file", d.backingFile);
    }
    Symlink("../../block/" + d.name, "sys/dev/block/" + Dev(d.major, d.minor));
    Symlink("../../block/" + d.name, "sys/class/block/" + d.name);
  }

  // A partition: start and size in 512-byte units, as sysfs gives them.
  void AddPartition(const std::string& disk, const std::string& name, int number, uint32_t major, uint32_t minor,
                    uint64_t start512, uint64_t size512) {
    std::string dir = "sys/block/" + disk + "/" + name;
    Mkdir(dir + "/holders");
    Attr(dir + "/dev", Dev(major, minor));
    Attr(dir + "/partition", std::to_string(number));
    Attr(dir + "/start", std::to_string(start512));
    Attr(dir + "/size", std::to_string(size512));
    Symlink("../../block/" + disk + "/" + name, "sys/dev/block/" + Dev(major, minor));
    Symlink("../../block/" + disk + "/" + name, "sys/class/block/" + name);
  }

  // A dm or md device over the named devices.
  void AddStacked(const std::string& name, uint32_t major, uint32_t minor, uint64_t size512,
                  const std::vector<std::string>& slaves, const std::string& mapperName = "") {
    DiskSpec d;
    d.name = name;
    d.major = major;
    d.minor = minor;
    d.size512 = size512;
    d.deviceLink = false;
    AddDisk(d);
    for (const std::string& s : slaves) Symlink("../../../class/block/" + s, "sys/block/" + name + "/slaves/" + s);
    if (!mapperName.empty()) {
      Mkdir("sys/block/" + name + "/dm");
      Attr("sys/block/" + name + "/dm/name", mapperName);
    }
  }

  // Points dev/block/MAJ:MIN (e.g. the real device number of a folder) at a
  // fixture device, replacing what was there.
  void AliasDevNumber(uint32_t major, uint32_t minor, const std::string& target) {
    std::string link = root_ + "/sys/dev/block/" + Dev(major, minor);
    unlink(link.c_str());
    Symlink("../../class/block/" + target, "sys/dev/block/" + Dev(major, minor));
  }

  // One line of the mount table; fields are written as given (escape them).
  void AddMount(uint32_t major, uint32_t minor, const std::string& mountPoint, const std::string& fsType,
                const std::string& source, const std::string& superOptions = "rw", const std::string& root = "/") {
    mountinfo_ += std::to_string(++mountId_ + 20) + " 1 " + Dev(major, minor) + " " + root + " " + mountPoint +
                  " rw,relatime shared:1 - " + fsType + " " + source + " " + superOptions + "\n";
    WriteFileText(root_ + "/proc/self/mountinfo", mountinfo_);
  }

  // Rebuilds the process-wide list from the fixture (no device probing).
  void Refresh() {
    DiskListOptions options;
    options.probeDevices = false;
    theDiskList().Refresh(options);
  }

  void Attr(const std::string& rel, const std::string& text) { WriteFileText(root_ + "/" + rel, text + "\n"); }
  void Mkdir(const std::string& rel) {
    std::error_code ec;
    std::filesystem::create_directories(root_ + "/" + rel, ec);
    if (ec) ADD_FAILURE() << "mkdir " << rel << ": " << ec.message();
  }

 private:
  static std::string Dev(uint32_t major, uint32_t minor) { return std::to_string(major) + ":" + std::to_string(minor); }
  void Symlink(const std::string& target, const std::string& rel) {
    if (symlink(target.c_str(), (root_ + "/" + rel).c_str()) != 0) ADD_FAILURE() << "symlink " << rel;
  }
  static void Save(const char* name, std::string* value, bool* had) {
    const char* v = getenv(name);
    *had = v != nullptr;
    if (v) *value = v;
  }
  static void Restore(const char* name, const std::string& value, bool had) {
    if (had) setenv(name, value.c_str(), 1);
    else unsetenv(name);
  }

  TempFolder temp_;
  std::string root_;
  std::string oldSys_, oldProc_;
  bool hadSys_ = false, hadProc_ = false;
  std::string mountinfo_;
  int mountId_ = 0;
};
