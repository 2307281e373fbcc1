// Helpers shared by the fuzz targets.
//   FUZZ_CHECK      a property every input must keep; a breach aborts, so
//                   libFuzzer keeps the input as a crash
//   FuzzInput       takes header bytes off the front of an input
//   fuzz_file       the input as a file, for loaders that read a path
//   fuzz_memory_ui  the memory console, opened once per process
#pragma once
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "ui/screen.h"
#include "ui/ui.h"

#define FUZZ_CHECK(cond)                                                        \
  do {                                                                          \
    if (!(cond)) {                                                              \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                             \
    }                                                                           \
  } while (0)

struct FuzzInput {
  const uint8_t *data;
  size_t size;
  // The next byte, 0 once the input is used up.
  uint8_t take() {
    if (size == 0) return 0;
    size--;
    return *data++;
  }
  bool empty() const { return size == 0; }
};

// A path whose file holds exactly the given bytes: one memory file per
// process (a disk file rewritten for every input costs a flush each time),
// named through /proc.
inline const char *fuzz_file(const uint8_t *data, size_t size) {
  static int fd = -1;
  static char path[64];
  if (fd < 0) {
    fd = memfd_create("zl27t-fuzz", MFD_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  }
  FUZZ_CHECK(ftruncate(fd, 0) == 0);
  FUZZ_CHECK(size == 0 || pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
  return path;
}

// Screens drawn by a target land in the memory console; its log of writes is
// emptied for every input so it does not grow over a run. Boxes that wait for
// a key get Esc (the memory keyboard is empty).
inline void fuzz_memory_ui() {
  static bool opened = false;
  if (!opened) {
    opened = ui_init(CONSOLE_MEMORY);
    FUZZ_CHECK(opened);
  }
  mem_console_log().clear();
}
