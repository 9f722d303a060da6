// Session files (".dvs"): a finished scan kept on disk so that it can be
// loaded later without scanning: the source's identity and parameters, the
// volumes, the exclusion ranges, every node of the node table and the list
// of displayed items, as decimal text with raw names and hexadecimal run
// lists. SLSession writes and reads one; the volume and node tails are the
// families' (VolumeFamily.h).
//
// Every reader call treats the file as untrusted: counts, indexes, lengths
// and sizes are checked before use. A bad file ends the load with message
// 248 (position, stage, last node) as the last error and DvCodeError{0}
// thrown; what was read so far is freed with the session object.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Text.h"
#include "volumes/VolumeFamily.h"

class CNdArray;
struct cnode;
class CSectRanges;
class CVol;
class Drive;

inline constexpr int kSessionFormat = 8;
inline constexpr int kSessionOldestFormat = 7;

// What identifies the source a session was saved from ("Source" line):
// its size, its sector size and a digest of the sectors read first (the
// source's first 64 KiB, then the first 4 KiB of each volume, "-" for a
// piece that met a read error). Files of earlier builds have none.
struct SessionSourceIdentity {
  bool present = false;
  uint64_t bytes = 0;
  uint32_t sectorSize = 0;
  std::vector<std::string> digests;
};

// What the "Parms:" line and the lines before it hold.
struct SessionParms {
  int32_t scanMode = 0;  // 0 Quick, 1 Long
  WString sourceName;    // "\\.\PhysicalDriveN", an absolute image path, a set definition
  int32_t sizeValue = 0;
  uint8_t kind = 0;  // the source kind (stored shifted left by 4)
  int32_t further = 0;
  WString lookFor;
  WString schema;                // the source's session text ("Schema" line), empty for none
  std::vector<WString> diskIds;  // "Disk " + each member's display name
  // Only from a "cfg" line (none when there is none).
  WString secondText;
  bool cfgFlag = false;
  int64_t partialStart = -1, partialSize = -1;
  SessionSourceIdentity source;
};

// One item of the displayed list: its node and its folder path below the
// volume's prefix.
struct SessionListItem {
  int64_t nodeIndex = -1;
  WString path;
};

class SLSession final : public SessionTailWriter, public SessionTailReader {
 public:
  explicit SLSession(WString path);
  // A writer that was not committed deletes its temporary file; a reader
  // closes its file. Volumes and nodes not taken over are freed.
  ~SLSession();
  SLSession(const SLSession&) = delete;
  SLSession& operator=(const SLSession&) = delete;

  // ---- writing, in this order; each throws DvCodeError{0} with the last
  // error set on a failed write ----
  // Creates the temporary file beside the target and writes the header, the
  // disk identity, the schema and the parameters.
  void SaveParms(const SessionParms& parms);
  void WriteTwoBytes(int first, int second);
  void SavePartitions(const std::vector<CVol*>& volumes);
  // The drive's byte ranges in units of `unit` bytes (its sector size).
  void SaveExclusionRanges(const CSectRanges* ranges, uint32_t unit);
  void SaveInodes(const CNdArray& nodes);
  void SaveList(const std::vector<SessionListItem>& items);
  // Flushes, syncs and renames the temporary file over the target.
  void Commit();

  // ---- reading, in the same order ----
  // Opens the file; header (format 7 or later), "cfg", "DiskID", "Schema"
  // and "Parms:".
  void LoadParms(SessionParms* parms);
  void ReadTwoBytes(int* first, int* second);
  // The volumes lie on `drive` (the source the session names; null: none,
  // so their tails take nothing from it).
  void LoadPartitions(Drive* drive = nullptr);
  // lastUnit: the last unit of the drive's range (the domain's end is
  // lastUnit + 1 units).
  void LoadExclusionRanges(uint64_t lastUnit);
  void LoadInodes();
  // The number of items; then ReadNextNode once per item.
  int64_t LoadListItems();
  int64_t ReadNextNode(WString* path);

  // Reading from an open descriptor instead of the path (the fuzz target);
  // the session takes it over.
  void AdoptDescriptor(int fd);

  // ---- what a load produced, taken over by the engine ----
  std::vector<CVol*> volumes;  // owned until taken
  std::unique_ptr<CNdArray> nodes;
  std::shared_ptr<CSectRanges> exclusions;  // null when the file had none
  uint32_t exclusionUnit = 512;
  uint32_t tableSize = 0, recordCount = 0;
  int64_t listCount = 0;
  int lastIndex = -1;
  int stage = 0;
  // What identifies the source, from the "Source" line (LoadParms).
  SessionSourceIdentity source;
  // A line for the log of the scan that lists the session (an earlier
  // build's file, unchecked against its source); empty for none.
  WString note;

  // ---- SessionTailWriter ----
  void Number(int64_t value) override;
  void Tagged(const char* tag, int64_t value) override;
  void EndLine() override;
  void Name(WStringView name) override;
  void Runs(const uint8_t* bytes, size_t count) override;
  void Digits(const uint8_t* bytes, size_t count) override;
  // ---- SessionTailReader ----
  int64_t Number() override;
  int64_t Tagged(const char* tag) override;
  void SkipLine() override;
  WString Name() override;
  std::vector<uint8_t> Runs() override;
  std::vector<uint8_t> Digits(size_t count) override;
  [[noreturn]] void Fail() override;
  CNdArray& Nodes() override { return *nodes; }

 private:
  // writing
  void Put(std::string_view text);
  void PutWide(WStringView text);
  void Flush();
  [[noreturn]] void WriteFailed();
  // reading
  // The largest size a loaded node may have (its volume's, the source's).
  uint64_t NodeSizeLimit(const cnode& node) const;
  // At least `need` bytes buffered from begin_; false at the end of the
  // file. Inline: the reader asks for a byte or two at a time.
  bool Fill(size_t need) { return end_ - begin_ >= need || FillMore(need); }
  bool FillMore(size_t need);
  std::string_view Token();
  int64_t ParseNumber(std::string_view token, size_t skip = 0);
  std::string_view RawBytes(size_t count);
  WString ReadWide();
  // Name() into a holder kept across records, so a table of many names
  // reuses one buffer instead of allocating one a record.
  void ReadName(WString* into);
  [[noreturn]] void ReadFailed();

  WString path_;
  Drive* drive_ = nullptr;  // the source the volumes lie on (LoadPartitions)
  std::string temporary_;
  int fd_ = -1;
  bool committed_ = false;
  std::string out_;
  bool lineStarted_ = false;
  // reader
  std::vector<char> buf_;
  size_t begin_ = 0, end_ = 0;
  uint64_t consumed_ = 0;  // file bytes before buf_[begin_]
  uint64_t fileSize_ = 0;
  bool eof_ = false;
  std::vector<WString> ring_;  // the last 8 list paths
  int ringPos_ = 0;
  std::vector<WString> recent_;  // writer's ring
};

// The identity of a source as a session keeps it, read from the drive and
// the volume table that is saved (or was loaded).
SessionSourceIdentity ReadSourceIdentity(Drive& drive, const std::vector<CVol*>& volumes);
// Why the drive is not the source the identity was read from; empty when
// it is (pieces that met a read error on either side are not compared).
WString SourceIdentityMismatch(const SessionSourceIdentity& saved, const SessionSourceIdentity& now,
                               WStringView source);

// Source names by their first four characters (any case): 1 RAID set,
// 2 spanned set, 3 virtual disk ("VMDK", "VHD("), 4 image file (an absolute
// path), 5 a device that must already be present ("\\.\PhysicalDriveN" and
// the like), 0 none of these.
int ClassifySessionSource(WStringView name);
// The name with a set keyword's prefix upper-cased, as the drive factory
// expects it.
WString NormalizeSessionSource(WStringView name);

// The configuration text of a "cfg" line decoded into its command string
// (tests); false for a malformed text.
bool DecodeSessionCfg(std::string_view text, bool flag, std::string* commands);
// Applies the commands of a decoded "cfg" text to the parameters: the A and
// B values, the drive-selection values, and the definition text rebuilt
// from `schema` (empty when the source has none). False for a bad command.
bool ApplySessionCfg(const std::string& commands, SessionParms* parms);
// The inverse of DecodeSessionCfg for tests: a command string to its text.
std::string EncodeSessionCfg(const std::string& commands, bool flag);
