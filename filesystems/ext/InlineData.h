// The data an inode holds itself (inline_data): the 60-byte block area,
// then the value of the "system.data" extended attribute in the inode's
// space past its first 128 bytes. A folder's inline data starts with its
// parent's inode number, its records follow.
#pragma once
#include <cstddef>
#include <cstdint>

// The first `size` bytes of the inline data of the inode (inodeBytes long)
// into out (room bytes): the bytes written, fewer when the attribute is
// missing, damaged or shorter, or the room ends. Reads only inside the inode.
size_t ExtInlineData(const uint8_t* inode, uint32_t inodeBytes, uint64_t size, uint8_t* out, size_t room);
