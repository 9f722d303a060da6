// Whole reads and writes on a descriptor, retried on EINTR and on short
// counts; they stop at end of file or at the first error.
#pragma once
#include <sys/types.h>

#include <cstddef>

// Bytes written; fewer than asked means an error (errno tells which).
size_t WriteFully(int fd, const void* data, size_t bytes);
// Bytes read; fewer than asked means end of file or an error.
size_t ReadFully(int fd, void* data, size_t bytes);
// The same at an offset, leaving the file position alone.
size_t PreadFully(int fd, void* data, size_t bytes, off_t offset);
