// Configuration file loader, and what a loaded record is used for before
// anyone checks it: the editor's screen, the printout and the dial-string
// registers of a send; then the check itself.
// Input: the file's bytes.
// Properties: a file that is not a whole record leaves the record untouched;
// a loaded record keeps every byte of the file but the dial string's last,
// which ends the string; its dial string packs into the registers from the
// number pointer on, at most 21 of them, all inside the dial-string area.
#include <cstring>

#include "config/config_file.h"
#include "config/modem_config.h"
#include "config/printout.h"
#include "config/transfer.h"
#include "editor/param_editor.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static FILE *sink = std::fopen("/dev/null", "w");
  fuzz_memory_ui();
  ModemConfig loaded;
  memset(&loaded, 0xA5, sizeof loaded);
  const ModemConfig before = loaded;
  ConfigReadResult result = read_config_image(fuzz_file(data, size), loaded);
  if (result != CONFIG_READ_OK) {
    FUZZ_CHECK(memcmp(&loaded, &before, sizeof loaded) == 0);
    return 0;
  }
  FUZZ_CHECK(size >= CONFIG_FILE_SIZE);
  uint8_t image[MODEM_CONFIG_SIZE];
  config_to_bytes(loaded, image);
  constexpr size_t last_dial = offsetof(ModemConfig, dial_string) + sizeof loaded.dial_string - 1;
  FUZZ_CHECK(image[last_dial] == 0);
  FUZZ_CHECK(memcmp(image, data + 2, last_dial) == 0);
  FUZZ_CHECK(memcmp(image + last_dial + 1, data + 2 + last_dial + 1, MODEM_CONFIG_SIZE - last_dial - 1) == 0);

  working_config = loaded;
  current_field = 1;
  draw_values();
  write_config_report(sink, loaded, "01/Jan/26 00:00");
  RegisterWrite writes[DIAL_MAX_WRITES];
  int n = pack_dial_string(loaded, writes);
  FUZZ_CHECK(n >= 0 && n <= DIAL_MAX_WRITES);
  for (int i = 0; i < n; i++) {
    FUZZ_CHECK(writes[i].reg == loaded.number_pointer + i);
    FUZZ_CHECK(writes[i].reg >= DIAL_FIRST_REGISTER && writes[i].reg <= DIAL_LAST_REGISTER);
  }
  validate_config(working_config);
  return 0;
}
