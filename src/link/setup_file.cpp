// Reading and writing the setup file.
#include "link/setup_file.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "link/remote_ports.h"
#include "platform/files.h"
#include "ui/boxes.h"

namespace fs = std::filesystem;

// The record's u16 fields are stored as the file's little-endian words.
static_assert(std::endian::native == std::endian::little);

namespace {
std::string setup_path;
}

SetupReadResult read_setup_image(const char *path, LinkSetup *setup) {
  FILE *f = plat_open_regular(path);
  if (!f) return SETUP_READ_OPEN_FAILED;
  unsigned char image[SETUP_FILE_SIZE];
  bool whole = std::fread(image, 1, sizeof image, f) == sizeof image;
  std::fclose(f);
  if (!whole) return SETUP_READ_SHORT;
  memcpy(setup, image, sizeof image);
  return SETUP_READ_OK;
}

SetupReadResult load_setup_record(const char *path, LinkSetup *setup) {
  memset(setup, 0, sizeof *setup);
  SetupReadResult r = read_setup_image(path, setup);
  if (r == SETUP_READ_OK)
    clamp_link_setup(setup);
  else
    default_link_setup(setup);
  return r;
}

const char *setup_read_text(SetupReadResult result) {
  switch (result) {
    case SETUP_READ_OPEN_FAILED: return "Can't locate setup file.";
    case SETUP_READ_SHORT: return "Can't read setup file. Use SETUP to change it";
    case SETUP_READ_OK: break;
  }
  return "";
}

SetupWriteResult write_setup_image(const char *path, const LinkSetup &setup) {
  switch (plat_replace_file(path, &setup, SETUP_FILE_SIZE)) {
    case REPLACE_OK: return SETUP_WRITE_OK;
    case REPLACE_OPEN_FAILED: return SETUP_WRITE_OPEN_FAILED;
    default: return SETUP_WRITE_FAILED;
  }
}

void set_setup_file_path(const char *file_name) {
  // Pinned to the start-up directory: the file picker may change directory,
  // and the setup saved should be the one read.
  std::error_code ec;
  fs::path absolute = fs::absolute(file_name, ec);
  setup_path = ec ? std::string(file_name) : absolute.string();
  // The typed remote ports are kept beside it.
  set_remote_ports_file(remote_ports_path_for(setup_path.c_str()));
}

const char *setup_file_path() { return setup_path.c_str(); }

void save_link_setup() {
  if (!confirm_box("Write setup to startup file?")) return;
  // Remote ports typed in this run go to their file first, so the indexes
  // the setup file gets name them at the next start. Without that file an
  // index naming one is written as no port (the next start asks), and the
  // ports still serve this run.
  LinkSetup image = link_setup;
  if (remote_ports_pending() && remote_ports_keep(&image) != REMOTE_KEPT)
    error_printf("Can't save remote port list %s", fs::path(remote_ports_file()).filename().c_str());
  switch (write_setup_image(setup_path.empty() ? "ZL27TSW.STP" : setup_path.c_str(), image)) {
    case SETUP_WRITE_OPEN_FAILED: error_box("Can't open setup file"); break;
    case SETUP_WRITE_FAILED: error_box("Can't save setup file"); break;
    case SETUP_WRITE_OK: break;
  }
}
