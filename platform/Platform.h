// Facts about the machine and the places the program keeps its files.
#pragma once
#include <cstdint>
#include <string>

#include "platform/Text.h"

namespace plat {

// The program reports one fixed platform identity (NT family, 6.1), so no
// branch for an old system version ever fires.
inline constexpr uint32_t kPlatformId = 2;
inline constexpr uint32_t kMajorVersion = 6;
inline constexpr uint32_t kMinorVersion = 1;

// "Administrator" here means: raw block devices can be opened for reading
// (root, or a member of the disk group).
bool CanOpenRawDevices();

// Support folder (options file and other support files): $DELVORA_SUPPORT_DIR,
// else ~/.config/marbrix/. Always ends in "/".
std::string SupportDir();
// Settings key store: $XDG_CONFIG_HOME/delvora/, else ~/.config/delvora/.
std::string ConfigDir();
// Where the machine's folders (/opt, /usr/local, /var/lib/delvora) lie:
// "" (the real ones), or $DELVORA_SYSTEM_ROOT for tests. Never ends in "/".
std::string SystemRoot();
// The user's data folder: $XDG_DATA_HOME, else ~/.local/share. Ends in "/".
std::string DataHomeDir();
// Temporary folder: $TMPDIR, else /tmp/. Ends in "/".
std::string TempDir();
// The user's home folder (documents folder stand-in), ends in "/".
std::string HomeDir();
// Full path of the running executable.
std::string ExecutablePath();

// Logical sector size of a block device (by descriptor), 0 when unknown.
int DeviceSectorSize(int fd);
// Logical sector size of the disk that holds a path, from
// /sys/dev/block/MAJ:MIN/queue/logical_block_size (the parent disk for a
// partition); 0 when it cannot be found.
int PathSectorSize(const std::string& path);
// Root of sysfs, configurable for tests ($DELVORA_SYSFS_ROOT, default /sys).
std::string SysfsRoot();
// Root of procfs, configurable the same way ($DELVORA_PROC_ROOT, default /proc).
std::string ProcRoot();

// Local time broken down (thread-safe).
struct LocalTime {
  int year, month, day, hour, minute, second;  // full year, month 1..12
};
LocalTime Now();

}  // namespace plat
