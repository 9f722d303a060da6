#include "platform/FileIo.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>

size_t WriteFully(int fd, const void* data, size_t bytes) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < bytes) {
    ssize_t n = write(fd, p + done, bytes - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += size_t(n);
  }
  return done;
}

size_t ReadFully(int fd, void* data, size_t bytes) {
  uint8_t* p = static_cast<uint8_t*>(data);
  size_t done = 0;
  while (done < bytes) {
    ssize_t n = read(fd, p + done, bytes - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += size_t(n);
  }
  return done;
}

size_t PreadFully(int fd, void* data, size_t bytes, off_t offset) {
  uint8_t* p = static_cast<uint8_t*>(data);
  size_t done = 0;
  while (done < bytes) {
    ssize_t n = pread(fd, p + done, bytes - done, offset + off_t(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += size_t(n);
  }
  return done;
}
