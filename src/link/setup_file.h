// The setup file: the 150-byte LinkSetup image, no header. This module only
// reads and writes the record; start-up's use of it (the link dialog where
// the file gives no link, the link opened, F1) is app/link_startup.h's.
//   read_setup_image   one file -> record, with the reason on failure
//   write_setup_image  record -> file, through a temporary file in the same
//                      directory renamed over the old one
//   load_setup_record  a record to use from a file: the file's, brought
//                      inside its tables, or the default record when the
//                      file is missing or short
//   setup_read_text    what a failed read says
//   set_setup_file_path / setup_file_path   the file save_link_setup writes
//   save_link_setup    asks "Write setup to startup file?" and writes the file
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
// The record starts as zero bytes. Values from a file are brought inside
// their tables (clamp_link_setup) before anything indexes a table with them.
SetupReadResult load_setup_record(const char *path, LinkSetup *setup);
// The text of a failed read ("" for SETUP_READ_OK).
const char *setup_read_text(SetupReadResult result);

enum SetupWriteResult {
  SETUP_WRITE_OK,
  SETUP_WRITE_OPEN_FAILED,  // "Can't open setup file"
  SETUP_WRITE_FAILED,       // "Can't save setup file"; the old file is kept
};
SetupWriteResult write_setup_image(const char *path, const LinkSetup &setup);

// The file save_link_setup writes: the name given, pinned to the directory
// that is current now (the file picker may change directory later).
void set_setup_file_path(const char *file_name);
const char *setup_file_path();
void save_link_setup();
