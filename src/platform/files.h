// Files the program reads or replaces: regular files only, and no open that
// can block (a FIFO or a device named like a file would hold it for good).
//   plat_open_regular  opens a regular file for binary reading; null for
//                      anything else (FIFO, device, directory, socket) or a
//                      file that cannot be opened
//   plat_replace_file  writes the bytes to a temporary file beside the target
//                      and renames it over the target only once it is whole.
//                      A symbolic link stays a link (the file it names is
//                      replaced) and a replaced file keeps its permissions.
//                      A target that exists and is not a regular file is
//                      refused.
//   plat_drive_names   the letters of the drives there are, A to Z ("" on a
//                      system without drive letters)
#pragma once
#include <cstddef>
#include <cstdio>
#include <string>

FILE *plat_open_regular(const char *path);

enum ReplaceResult {
  REPLACE_OK,
  REPLACE_OPEN_FAILED,    // no temporary file could be created, or the target is not a regular file
  REPLACE_WRITE_FAILED,   // writing or renaming failed; the old file is as it was
};

ReplaceResult plat_replace_file(const char *path, const void *data, size_t size);

std::string plat_drive_names();
