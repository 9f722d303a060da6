// Rules of the file list that need no window: the column texts of a row,
// the destination name of a record, the check-box band, banded row colours,
// the picture-preview test and the title tip's fit rule.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/Text.h"
#include "ui/core/ListStore.h"

// Column order of the list.
enum ListColumn : int {
  kColName = 0,
  kColType = 1,
  kColFolder = 2,
  kColVolume = 3,
  kColStatus = 4,
  kColSize = 5,
  kColDate = 6,
  kListColumnCount = 7,
};

// Message ids of the column headers, in column order.
extern const int kListColumnMessageIds[kListColumnCount];

// Folder column of a file row: the path from its first "\" ("\" when none).
WString FolderColumnText(WStringView path);
// Volume column: " X:" for a drive letter, "%3d" of the volume number for a
// numbered volume (codes 93-255), empty when the path has no ":" or the
// code is unknown.
WString VolumeColumnText(WStringView path);
// Status column: the status table's message for the node's status code
// (bits 8-10 of flags) without its accelerator and colon; empty for 0.
WString StatusColumnText(uint16_t nodeFlags);
// The text of one cell of a file record; node null when the record has no
// node (name, status, size and date are then empty).
// How the list marks what it shows: folders in the Type column, deleted
// items by their colour and their hover text.
inline constexpr char16_t kFolderTypeText[] = u"File folder";
// The Type column of a symbolic link (listed, never recovered).
inline constexpr char16_t kSymlinkTypeText[] = u"Symbolic link";
inline constexpr uint32_t kDeletedItemColour = 0xFFB00000;
inline constexpr char16_t kDeletedFileTip[] = u"Deleted file";
inline constexpr char16_t kDeletedFolderTip[] = u"Deleted folder";
WString FileCellText(int column, const ListStore& store, size_t record, const ListNodeInfo* node);

class FolderIndex;

// The cell texts of file rows for bulk work (Find Next, export), equal to
// FileCellText but made without the general formatter and with the local
// time offset kept for a quarter of an hour at a time, so that millions of
// cells can be formatted on several threads (one formatter per thread).
class CellFormatter {
 public:
  void FileCell(int column, const ListStore& store, size_t record, const ListNodeInfo* node, WString& out);
  // FormatSize of Utilities, and FormatDateTime of the node model.
  void SizeText(int64_t bytes, bool exact, WString& out);
  void DateText(uint64_t fileTime, WString& out);

 private:
  bool unitsLoaded_ = false;
  WString units_[4];  // KB, MB, GB, TB
  bool statusLoaded_ = false;
  WString status_[8];  // by status code
  WString volume_[256];  // by volume code (the path's first unit, below 256)
  bool volumeKnown_[256] = {};
  // Local time = UTC + offset_ within [zoneStart_, zoneEnd_) (seconds).
  int64_t zoneStart_ = 1, zoneEnd_ = 0;
  int64_t offset_ = 0;
};

// The label of a volume row (column 0 and the tree): "Volume C: (label)"
// for a drive letter, "Volume 3 (label)" for a numbered volume, "Unknown
// Volume" otherwise; the label part is empty without a label.
WString VolumeRowLabel(WStringView path, WStringView volumeLabel);
// Folder column of a folder row: its parent's path from the first ""
// (empty directly below the root).
WString ParentFolderText(WStringView path);
// The text of one cell of a folder row; volumeLabel is used for a volume
// row's name. The size shows once worked out.
WString FolderCellText(int column, const FolderIndex& folders, uint32_t row, WStringView volumeLabel);

// What the properties dialog shows of a row.
struct ListItemInfo {
  WString name;
  WString folder;
  WString sizeText;
  WString dateText;
  int32_t nodeIndex = -1;
};
// A file record's description: the name and, unless noDetails, the folder
// (the whole path; a numbered volume's code and colon left off), size and
// date texts as the columns show them. node null when the record has none.
// Returns 0 (a file row).
int FileItemInfo(const ListStore& store, size_t record, const ListNodeInfo* node, bool noDetails, ListItemInfo& out);
// A folder row's description: name, parent path ("\" when none), total
// size (worked out first). Returns 1 (a folder row).
int FolderItemInfo(FolderIndex& folders, uint32_t row, const ListStore& store, const ListNodeSource* nodes,
                   WStringView volumeLabel, ListItemInfo& out);

// The destination name of a record: with folder names the path without its
// volume part, "\" and the name; else "\" and the name. -1 (out untouched)
// when path, name and two more characters do not fit in bufferChars.
int RecoveredName(WStringView path, WStringView name, bool useFolderNames, size_t bufferChars, WString& out);

// Whether a click at x (client x plus the horizontal scroll) hits the check
// box: flat display 5 < x < 15, folder display 5 <= x <= 15; 8 and 18 in
// place of 5 and 15 when themed.
bool InCheckBand(int x, bool folderDisplay, bool themed);
// New state of a toggle: 1 when checked, else 2.
inline uint8_t ToggledState(uint8_t state) { return state == kCheckOn ? kCheckOff : kCheckOn; }

// Banded rows: RGB of the background of a row (white even, 0xE6F0E6 odd).
uint32_t BandColour(size_t row);
// The list's colours under the palette in force (its Base and Text roles,
// RGB): on a light base the bands and inks above; on a dark one bands of
// the base and a step toward the text, the text's own ink and a lighter red
// for deleted items, so that boxes, ticks and text keep their contrast.
struct ListColours {
  uint32_t even = 0xFFFFFFu, odd = 0xE6F0E6u, ink = 0x000000u, deletedInk = kDeletedItemColour & 0xFFFFFFu;
  uint32_t Band(size_t row) const { return (row & 1) ? odd : even; }
};
ListColours ListColoursFor(uint32_t base, uint32_t text);

// The picture-preview test of a file: a node of at most 16 MiB with a
// volume (or the top bit of its first byte) and a picture extension.
bool PreviewableFile(const ListNodeInfo& node);

// Title tip: where the tip goes and whether the text is cut at all.
struct TitleTipPlacement {
  bool show = false;
  int left = 0;   // list coordinates
  int width = 0;
  int hitLeft = 0, hitRight = 0;  // the hit rectangle's horizontal span
};
// cellLeft/cellRight: the cell (for the first column the label span);
// offset: label left minus cell left for the first column, else 0; margin:
// twice a blank's width; textWidth: the text measured in the list's font.
TitleTipPlacement PlaceTitleTip(int cellLeft, int cellRight, int offset, bool firstColumn, int margin, int textWidth);

// Sort arrow image (0..5) of the header for the display scale and direction.
int SortArrowImage(double scale, bool ascending);
