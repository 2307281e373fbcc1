// Loading the setup file at start-up (with its fallbacks) and saving it.
#include "link/setup_file.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "link/link.h"
#include "link/link_core.h"
#include "link/link_dialogs.h"
#include "platform/files.h"
#include "ui/boxes.h"
#include "ui/keys.h"

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

SetupWriteResult write_setup_image(const char *path, const LinkSetup &setup) {
  switch (plat_replace_file(path, &setup, SETUP_FILE_SIZE)) {
    case REPLACE_OK: return SETUP_WRITE_OK;
    case REPLACE_OPEN_FAILED: return SETUP_WRITE_OPEN_FAILED;
    default: return SETUP_WRITE_FAILED;
  }
}

const char *setup_file_path() { return setup_path.c_str(); }

LinkHandle *load_link_setup(const char *file_name) {
  link_handle = nullptr;
  // Pinned to the start-up directory: the file picker may change directory,
  // and the setup saved should be the one read.
  std::error_code ec;
  fs::path absolute = fs::absolute(file_name, ec);
  setup_path = ec ? std::string(file_name) : absolute.string();
  refresh_serial_ports();
  memset(&link_setup, 0, sizeof link_setup);

  switch (read_setup_image(setup_path.c_str(), &link_setup)) {
    case SETUP_READ_OPEN_FAILED:
      default_link_setup(&link_setup);
      error_box("Can't locate setup file.");
      link_handle = configure_link();
      break;
    case SETUP_READ_SHORT:
      default_link_setup(&link_setup);
      error_box("Can't read setup file. Use SETUP to change it");
      link_handle = configure_link();
      break;
    case SETUP_READ_OK:
      // Values from a file are brought inside their tables before anything
      // indexes a table with them.
      clamp_link_setup(&link_setup);
      // Only a kind that opens a serial port needs its port in the list.
      if (link_setup_port_missing(link_setup)) {
        error_box("The saved link is not in current choices.");
        link_handle = configure_link();
      } else {
        link_handle = link_open();
      }
      break;
  }
  // Only now: a dialog run above can still be ended with F1.
  hotkey_add(KEY_F1, print_screen);
  return link_handle;
}

void save_link_setup() {
  if (!confirm_box("Write setup to startup file?")) return;
  switch (write_setup_image(setup_path.empty() ? "ZL27TSW.STP" : setup_path.c_str(), link_setup)) {
    case SETUP_WRITE_OPEN_FAILED: error_box("Can't open setup file"); break;
    case SETUP_WRITE_FAILED: error_box("Can't save setup file"); break;
    case SETUP_WRITE_OK: break;
  }
}
