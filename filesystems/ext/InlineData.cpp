#include "filesystems/ext/InlineData.h"

#include <algorithm>
#include <cstring>

#include "filesystems/ext/Definitions.h"
#include "foundation/ByteOrder.h"

using namespace ext;

size_t ExtInlineData(const uint8_t* inode, uint32_t inodeBytes, uint64_t size, uint8_t* out, size_t room) {
  if (!inode || !out || inodeBytes < kInodeBaseBytes) return 0;
  const size_t want = size_t(std::min<uint64_t>(size, room));
  size_t done = std::min<size_t>(want, kInodeBlockAreaBytes);
  memcpy(out, inode + kInodeBlockArea, done);
  if (done == want || inodeBytes < kInodeBaseBytes + 2) return done;
  // The attributes kept in the inode follow its extra fields.
  const uint32_t extra = Le16(inode + kInodeExtraSize);
  const uint64_t header = uint64_t(kInodeBaseBytes) + extra;
  if (extra % 4 || header + kXattrHeaderBytes > inodeBytes || Le32(inode + header) != kXattrMagic) return done;
  const uint8_t* first = inode + header + kXattrHeaderBytes;
  const size_t area = inodeBytes - size_t(header) - kXattrHeaderBytes;
  for (size_t at = 0; at + kXattrEntryBytes <= area;) {
    const uint8_t* e = first + at;
    if (Le32(e) == 0) break;  // the list's end
    const uint8_t nameLength = e[kXattrNameLength];
    const uint32_t entryBytes = (kXattrEntryBytes + nameLength + 3) & ~3u;
    if (at + kXattrEntryBytes + nameLength > area) break;
    if (e[kXattrNameIndex] == kXattrIndexSystem && nameLength == 4 && !memcmp(e + kXattrEntryBytes, "data", 4)) {
      const uint32_t offset = Le16(e + kXattrValueOffset), length = Le32(e + kXattrValueSize);
      // A value in another inode (ea_inode) or outside this one is not read.
      if (Le32(e + kXattrValueInode) || offset > area || length > area - offset) break;
      const size_t take = std::min<size_t>(want - done, length);
      memcpy(out + done, first + offset, take);
      return done + take;
    }
    at += entryBytes;
  }
  return done;
}
