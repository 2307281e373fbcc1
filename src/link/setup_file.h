// The setup file: the 150-byte LinkSetup image, no header.
//   load_link_setup    start-up: reads the file (or falls back to the default
//                      record and the link dialog), opens the link, then
//                      registers F1 for the screen print; returns link_handle
//   save_link_setup    asks "Write setup to startup file?" and writes the file
//   read_setup_image   one file -> record, with the reason on failure
//   write_setup_image  record -> file, through a temporary file in the same
//                      directory renamed over the old one
#pragma once
#include <cstddef>

#include "link/link_setup.h"

constexpr size_t SETUP_FILE_SIZE = sizeof(LinkSetup);

enum SetupReadResult {
  SETUP_READ_OK,
  SETUP_READ_OPEN_FAILED,   // "Can't locate setup file."
  SETUP_READ_SHORT,         // "Can't read setup file. Use SETUP to change it"
};
// The record is written only when 150 bytes were read; more are ignored.
SetupReadResult read_setup_image(const char *path, LinkSetup *setup);

enum SetupWriteResult {
  SETUP_WRITE_OK,
  SETUP_WRITE_OPEN_FAILED,  // "Can't open setup file"
  SETUP_WRITE_FAILED,       // "Can't save setup file"; the old file is kept
};
SetupWriteResult write_setup_image(const char *path, const LinkSetup &setup);

LinkHandle *load_link_setup(const char *file_name);
void save_link_setup();
// The file save_link_setup writes: the name given at load, in the directory
// that was current then (the file picker may change directory later).
const char *setup_file_path();
