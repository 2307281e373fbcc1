// A configuration file as the program writes it, built independently of the
// file module: the version word (low byte first), then the record's bytes.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "config/config_file.h"
#include "config/modem_config.h"

inline std::vector<uint8_t> config_file_image(uint16_t version, const ModemConfig &config) {
  std::vector<uint8_t> bytes(CONFIG_FILE_SIZE);
  bytes[0] = version & 0xFF;
  bytes[1] = version >> 8;
  config_to_bytes(config, bytes.data() + 2);
  return bytes;
}

// The same as text, for writing into a test's working directory.
inline std::string config_file_bytes(const ModemConfig &config, uint16_t version = CONFIG_FILE_VERSION) {
  std::vector<uint8_t> image = config_file_image(version, config);
  return std::string(image.begin(), image.end());
}
