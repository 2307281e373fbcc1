#include "config/config_file.h"

#include <cstdio>
#include <cstring>

#include "forms/file_picker.h"
#include "platform/files.h"
#include "ui/boxes.h"
#include "ui/window.h"

char config_file_name[PICK_NAME_SIZE + 8];
const size_t config_file_name_size = sizeof config_file_name;

static const char CONFIG_PATTERN[] = "*.ZLE";
static const char CONFIG_EXTENSION[] = ".ZLE";

ConfigReadResult read_config_image(const char *path, ModemConfig &config) {
  FILE *f = plat_open_regular(path);
  if (!f) return CONFIG_READ_OPEN_FAILED;
  uint8_t head[2] = {0, 0};
  uint8_t body[MODEM_CONFIG_SIZE];
  ConfigReadResult result = CONFIG_READ_OK;
  if (std::fread(head, 1, sizeof head, f) != sizeof head) {
    result = CONFIG_READ_SHORT;
  } else if ((head[0] | head[1] << 8) != CONFIG_FILE_VERSION) {
    result = CONFIG_READ_VERSION;
  } else if (std::fread(body, 1, sizeof body, f) != sizeof body) {
    // A short body leaves the record as it was rather than half replaced.
    result = CONFIG_READ_SHORT;
  } else {
    config_from_bytes(body, config);
    // A written record always ends its dial string inside the field; a file
    // that does not must not send readers on into the password.
    config.dial_string[sizeof config.dial_string - 1] = 0;
  }
  std::fclose(f);
  return result;
}

ConfigWriteResult write_config_image(const char *path, const ModemConfig &config) {
  uint8_t image[CONFIG_FILE_SIZE];
  image[0] = CONFIG_FILE_VERSION & 0xFF;
  image[1] = CONFIG_FILE_VERSION >> 8;
  config_to_bytes(config, image + 2);
  switch (plat_replace_file(path, image, sizeof image)) {
    case REPLACE_OK: return CONFIG_WRITE_OK;
    case REPLACE_OPEN_FAILED: return CONFIG_WRITE_OPEN_FAILED;
    default: return CONFIG_WRITE_FAILED;
  }
}

// File messages use the box that always shows: the error box follows the
// link's "Trap Errors" setting and would put the link's last text in their
// place, hiding a failed read or write.
static void show_name_error(const char *format, const char *name) {
  char shown[49];   // the box must fit the screen
  printable_name(name, shown, sizeof shown);
  alert_printf(format, shown);
}

bool load_config_file() {
  WindowHandle window = win_open(10, 20, 13, 58, "LOAD OFFLINE FROM DISK");
  put_field("File to read:", 11, 22, 0, ' ', ATTR_NORMAL);
  char name[PICK_NAME_SIZE];
  ConfigReadResult result;
  for (;;) {
    if (!file_pick(12, 22, CONFIG_PATTERN, name, sizeof name, true)) {
      win_close(&window);
      return false;
    }
    std::snprintf(config_file_name, sizeof config_file_name, "%s%s", name, CONFIG_EXTENSION);
    char existing[sizeof config_file_name];
    result = find_existing_file(config_file_name, existing, sizeof existing)
                 ? read_config_image(existing, memory_config)
                 : CONFIG_READ_OPEN_FAILED;
    if (result != CONFIG_READ_OPEN_FAILED) break;
    show_name_error("Can't open file \"%s\" for read.", config_file_name);
  }
  if (result == CONFIG_READ_SHORT) alert_box("Can't read disk file.");
  if (result == CONFIG_READ_VERSION) alert_box("Setup file not compatible. Obtain recent software.");
  win_close(&window);
  // A failed read left memory_config as it was, edits included: only a
  // loaded file makes it clean.
  if (result == CONFIG_READ_OK) config_dirty = 0;
  validate_config(memory_config);
  return true;
}

void save_config_file() {
  WindowHandle window = win_open(10, 20, 13, 58, "SAVE OFFLINE TO DISK");
  put_field("File to write:", 11, 22, 0, ' ', ATTR_NORMAL);
  char name[PICK_NAME_SIZE];
  while (file_pick(12, 22, CONFIG_PATTERN, name, sizeof name, true)) {
    std::snprintf(config_file_name, sizeof config_file_name, "%s%s", name, CONFIG_EXTENSION);
    // An existing file of any case is the one overwritten; a new file takes
    // the name as typed.
    char target[sizeof config_file_name];
    if (find_existing_file(config_file_name, target, sizeof target)) {
      if (!confirm_box("File exists, overwrite it?")) continue;
    } else {
      std::snprintf(target, sizeof target, "%s", config_file_name);
    }
    ConfigWriteResult result = write_config_image(target, memory_config);
    if (result == CONFIG_WRITE_OPEN_FAILED) {
      show_name_error("Can't open file \"%s\" for write.", config_file_name);
      continue;
    }
    if (result == CONFIG_WRITE_FAILED) {
      alert_box("Can't write to disk file.");
    } else {
      config_dirty = 0;   // a failed write leaves the edits unsaved
    }
    break;
  }
  win_close(&window);
}
