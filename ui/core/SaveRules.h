// The rules of the Scan and Save commands and of the worker's messages that
// need no window: the destination's form and state, the system folders a
// recovery never writes to, the status bits of a result, the recovery list
// and the closing message of a recovery.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/Worker.h"
#include "foundation/PathUtil.h"
#include "foundation/UiServices.h"
#include "platform/Text.h"
#include "volumes/DestinationPath.h"

// Status bits (bits 8-10 of a node's first word) for a result's message id:
// 231 saved 0x500, 162 failed 0x200, 200 skipped 0x600, 155 corrupt 0x100.
uint16_t StatusBitsFor(int status);

// The Save-to text trimmed, one trailing "/" removed (not from "/" alone);
// empty when the text does not name an absolute folder.
WString NormaliseDestination(WStringView text);

// The file system holding the destination (or its nearest existing folder)
// is mounted read-only.
bool DestinationIsReadOnly(const std::string& path);
// Makes the destination folder and each missing folder above it.
void MakeDestinationFolders(const std::string& path);

enum class DestinationState { Absent, Empty, NotEmpty, Error };
// Absent when nothing of that name exists, Error when it exists and cannot
// be listed as a folder.
DestinationState ProbeDestination(const std::string& path);

// One checked record as the recovery list sees it.
struct RecListRecord {
  bool checked = false;
  WString folderPath;  // the list's path text (volume code, ":", "\Docs")
  WString name;        // the node's name
  int32_t nodeIndex = -1;
  int32_t volumeIndex = -1;
};

// A list path for people (log lines): the code and colon shown as the
// volume's display name again.
WString ReadableListPath(WStringView listPath);

// Longest destination path, in characters, a recovery takes (its paths
// went through a 1024-character buffer); a longer one is refused here.
inline constexpr size_t kMaxRecoveredPathChars = 1022;

// Fills up to kRecoveryListSize entries from the records [*next, total),
// advancing *next past every record looked at. A checked record whose
// destination path cannot be made (no name, too long, outside the
// destination) is not listed: it is handed to refused with the reason. With
// folder names the path below the record's volume is kept; the volume
// itself makes no folder.
void FillRecList(const WString& destination, bool useFolderNames, int32_t* next, int32_t total,
                 const std::function<bool(int32_t, RecListRecord&)>& record, std::vector<RecoveryListEntry>& list,
                 const std::function<void(int32_t, const WString&)>& refused);

// Whether two checked records would be written to the same path.
bool HasNameClash(const WString& destination, bool useFolderNames, int32_t total,
                  const std::function<bool(int32_t, RecListRecord&)>& record);

// The text shown when a recovery ends, chosen by the run's result (the one
// dvscan's exit status comes from): a complete run that saved something,
// message 167 and the summary; an incomplete one (an item failed or came
// out corrupt, or an error ended it), a heading that says so and the
// counts; a complete run that saved nothing because every item was a
// deliberate skip, that heading and the counts; otherwise empty.
WString RecoveryClosingText(RunResult result, uint32_t saved, uint32_t failed, uint32_t skipped, uint32_t corrupt,
                            WStringView summary);
// A recovery the user stopped: how many checked items were not handled,
// then the counts. Message 167 belongs only to a run that handled every
// checked item.
WString RecoveryStoppedText(uint32_t notHandled, uint32_t saved, uint32_t failed, uint32_t skipped, uint32_t corrupt);
// A scan the user stopped, with the number of items found before the stop.
WString ScanStoppedText(int64_t found);
// The ending's note after a Quick Scan that looked for deleted files, for
// the volumes' file-system names (VolumeFileSystemName): ext3 and ext4 clear
// a deleted file's block map, so their metadata cannot list such a file; the
// note says so and names the Long Scan. Empty without an ext3 or ext4
// volume, for a Long Scan, or when deleted files were not asked for.
WString DeletedFilesUnlistedNote(bool quickScan, bool skipDeleted, const std::vector<WString>& fileSystems);
