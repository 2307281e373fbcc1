// Files the program reads or replaces, on Windows: a regular file is one
// that is neither a directory nor a device (CON, NUL, COM1 open like files).
#include "platform/files.h"

#include "platform/win32/windows_api.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

namespace {

bool regular_file(const char *path) {
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
    return false;
  // A device name (CON, NUL, COM1, LPT1 with or without an extension) has
  // attributes too: its handle says what it is.
  HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool disk = GetFileType(h) == FILE_TYPE_DISK;
  CloseHandle(h);
  return disk;
}

// A new file, never one that is there already (msvcrt's fopen has no "x").
FILE *create_new(const std::string &path) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY | _O_WRONLY);
  if (fd < 0) {
    CloseHandle(h);
    return nullptr;
  }
  FILE *f = _fdopen(fd, "wb");
  if (!f) _close(fd);
  return f;
}

}  // namespace

FILE *plat_open_regular(const char *path) {
  if (!path || !regular_file(path)) return nullptr;
  return std::fopen(path, "rb");
}

ReplaceResult plat_replace_file(const char *path, const void *data, size_t size) {
  DWORD old = GetFileAttributesA(path);
  bool exists = old != INVALID_FILE_ATTRIBUTES;
  if (exists && !regular_file(path)) return REPLACE_OPEN_FAILED;
  std::string temp;
  FILE *f = nullptr;
  for (int attempt = 0; attempt < 100 && !f; ++attempt) {
    temp = std::string(path) + "." + std::to_string(GetCurrentProcessId()) + "." + std::to_string(attempt) + ".tmp";
    f = create_new(temp);
    if (!f && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (!f) return REPLACE_OPEN_FAILED;
  bool ok = std::fwrite(data, 1, size, f) == size;
  ok = std::fflush(f) == 0 && ok;
  ok = std::fclose(f) == 0 && ok;
  // The replaced file's attributes (read-only aside, which would refuse the
  // rename) go to the new one.
  if (ok && exists) SetFileAttributesA(temp.c_str(), old & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  if (ok) ok = MoveFileExA(temp.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  if (!ok) {
    DeleteFileA(temp.c_str());
    return REPLACE_WRITE_FAILED;
  }
  return REPLACE_OK;
}

std::string plat_drive_names() {
  std::string names;
  DWORD drives = GetLogicalDrives();
  for (int i = 0; i < 26; i++)
    if (drives & (1u << i)) names.push_back(static_cast<char>('A' + i));
  return names;
}
