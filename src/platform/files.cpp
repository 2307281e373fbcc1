#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

FILE *plat_open_regular(const char *path) {
  // Looked at before the open, so no device is touched at all, and again
  // after it, in case the name was replaced in between.
  struct stat st {};
  if (!path || stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return nullptr;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE *f = fdopen(fd, "rb");
  if (!f) close(fd);
  return f;
}

ReplaceResult plat_replace_file(const char *path, const void *data, size_t size) {
  std::error_code ec;
  std::string target = path;
  if (fs::is_symlink(fs::symlink_status(target, ec))) {
    fs::path real = fs::canonical(target, ec);
    if (!ec) target = real.string();
  }
  // Only a regular file is replaced: renaming over a FIFO or a device would
  // put a file where something else was meant to be.
  fs::file_status old = fs::status(target, ec);
  if (fs::exists(old) && !fs::is_regular_file(old)) return REPLACE_OPEN_FAILED;
  // Beside the target, so the rename cannot cross file systems.
  std::string temp;
  FILE *f = nullptr;
  for (int attempt = 0; attempt < 100 && !f; ++attempt) {
    temp = target + "." + std::to_string(getpid()) + "." + std::to_string(attempt) + ".tmp";
    f = std::fopen(temp.c_str(), "wbx");
    if (!f && errno != EEXIST) break;
  }
  if (!f) return REPLACE_OPEN_FAILED;
  bool ok = std::fwrite(data, 1, size, f) == size;
  ok = std::fflush(f) == 0 && ok;
  ok = std::fclose(f) == 0 && ok;
  if (ok) {
    if (fs::exists(old)) fs::permissions(temp, old.permissions(), ec);
    ec.clear();
    fs::rename(temp, target, ec);
    ok = !ec;
  }
  if (!ok) {
    fs::remove(temp, ec);
    return REPLACE_WRITE_FAILED;
  }
  return REPLACE_OK;
}

// One tree, no drive letters.
std::string plat_drive_names() { return ""; }
