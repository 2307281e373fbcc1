// Configuration files (.ZLE): version word 1001 little-endian, then the
// 122-byte ModemConfig image; 124 bytes, anything after them is ignored.
//   load_config_file   "Read from disk to memory" (menu 201): picker, read
//                      into memory_config, validate; false when the user left
//                      the picker
//   save_config_file   "Write from memory to disk" (menu 202)
//   read_config_image  one file -> record, with the reason on failure
//   write_config_image record -> one file, through a temporary file in the
//                      same directory renamed over the old one
#pragma once
#include <cstddef>
#include <cstdint>

#include "config/modem_config.h"

constexpr uint16_t CONFIG_FILE_VERSION = 1001;
constexpr size_t CONFIG_FILE_SIZE = 2 + MODEM_CONFIG_SIZE;

// The name chosen in the last load or save, with its extension.
extern char config_file_name[];
extern const size_t config_file_name_size;

enum ConfigReadResult {
  CONFIG_READ_OK,
  CONFIG_READ_OPEN_FAILED,   // "Can't open file "%s" for read."
  CONFIG_READ_SHORT,         // "Can't read disk file."
  CONFIG_READ_VERSION,       // "Setup file not compatible. Obtain recent software."
};
// config is written only when the whole record was read; its dial string is
// then cut to the 39 characters the field holds.
ConfigReadResult read_config_image(const char *path, ModemConfig &config);

enum ConfigWriteResult {
  CONFIG_WRITE_OK,
  CONFIG_WRITE_OPEN_FAILED,  // "Can't open file "%s" for write."
  CONFIG_WRITE_FAILED,       // "Can't write to disk file."; the old file is kept
};
ConfigWriteResult write_config_image(const char *path, const ModemConfig &config);

bool load_config_file();
void save_config_file();

// Menu entry points.
inline bool read_config_command() { return load_config_file(); }
inline void write_config_command() { save_config_file(); }
