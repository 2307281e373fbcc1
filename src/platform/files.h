// Whole-file writes that never lose the old file.
//   plat_replace_file  writes the bytes to a temporary file beside the target
//                      and renames it over the target only once it is whole.
//                      A symbolic link stays a link (the file it names is
//                      replaced) and a replaced file keeps its permissions.
#pragma once
#include <cstddef>

enum ReplaceResult {
  REPLACE_OK,
  REPLACE_OPEN_FAILED,    // no temporary file could be created, or the target is a directory
  REPLACE_WRITE_FAILED,   // writing or renaming failed; the old file is as it was
};

ReplaceResult plat_replace_file(const char *path, const void *data, size_t size);
