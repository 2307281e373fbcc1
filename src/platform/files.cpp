#include "platform/files.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

ReplaceResult plat_replace_file(const char *path, const void *data, size_t size) {
  std::error_code ec;
  std::string target = path;
  if (fs::is_symlink(fs::symlink_status(target, ec))) {
    fs::path real = fs::canonical(target, ec);
    if (!ec) target = real.string();
  }
  if (fs::is_directory(target, ec)) return REPLACE_OPEN_FAILED;
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
    fs::file_status old = fs::status(target, ec);
    if (!ec && fs::exists(old)) fs::permissions(temp, old.permissions(), ec);
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
