// Writing a whole buffer to a file descriptor: write(2) may take fewer
// bytes than asked or be interrupted by a signal. Header-only, for every
// layer that writes files (settings, the deployed library, decrypted
// packages).
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace xl {

// False when a write fails (errno tells why) or takes nothing.
inline bool writeAll(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace xl
