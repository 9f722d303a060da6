// The session service: the order of a save and the steps of a load, shared
// by the window's Session commands and dvscan. The window keeps its dialogs,
// the source box and the wait cursor; everything between them and the file
// is here. Errors are the last error; nothing here shows a message box.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/Session.h"
#include "platform/Text.h"

class Drive;
class NTFSObj;
struct FoundItem;

struct SessionSaveRequest {
  WString path;       // absolute
  SessionParms parms;  // source name, size value, kind, further value, Look-for text, schema
  bool raid6 = false;  // the two RAID 6 bytes are a RAID 6 source's; "0 0" otherwise
  int raid6Bytes[2] = {0, 0};
  Drive* drive = nullptr;           // its volumes, exclusions and member disks
  const NTFSObj* engine = nullptr;  // its node table
  std::vector<SessionListItem> list;
};

// The displayed item as the list section keeps it: its node and its folder
// path without the volume's prefix, which the load puts back.
SessionListItem SessionItemOf(const FoundItem& item, const std::vector<class CVol*>& volumes);

// Whether a session or list file may be written at the path: an absolute
// path that is not under /dev and, when it exists, a regular file. False
// with message 117 naming it as the last error.
bool CheckSessionTarget(WStringView path);

// Writes the session under a temporary name beside the target and renames
// it over the target when complete. False (last error set) on failure: an
// earlier file of the name stays as it was. A RAID source whose request
// gives no size value is saved with its stored settings (block size,
// rotation, delay; a RAID 6 set's generator choices as the two bytes).
bool SaveSession(const SessionSaveRequest& request);

// Load, step 1: opens the file and reads the parameters (and the two bytes
// after them). A RAID source's settings kept in the file become the set's
// settings. Throws DvCodeError{0} with the last error set.
std::unique_ptr<SLSession> BeginSessionLoad(WStringView path, SessionParms* parms, int twoBytes[2]);

// Load, step 2: the source the file names, checked and opened. Refuses
// (message 146 naming it) a missing source, and a source that is neither a
// block device nor a regular file (nor a set of such); a member disk that
// is no longer the one the session was made on is named in message 146.
// Throws DvCodeError{0} with the last error set; the caller owns the drive.
Drive* OpenSessionSource(const SessionParms& parms);
// The disk identity lines of a drive ("Disk " + display name per member).
std::vector<WString> SessionDiskIds(const Drive& drive);

// Load, step 3: volumes, exclusion ranges, nodes and the list header. A
// source that is not the one the session was saved from (its size, sector
// size or first sectors differ) is refused, naming what differs.
void ReadSessionSections(SLSession& session, Drive& drive);
