// Setup file loader: the record read, brought inside its tables, and shown
// by the three dialogs that edit it (left at once with Esc).
// Input: the file's bytes.
// Properties: a file shorter than the record is refused and leaves it
// untouched; after the clamp every code indexes its table, every number
// lies in its range, both texts end inside their fields, and a second clamp
// changes nothing; the dialogs left with Esc give the record back unchanged.
#include <cstring>

#include "fuzz_common.h"
#include "link/link_dialogs.h"
#include "link/link_setup.h"
#include "link/setup_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ports_listed = false;
  if (!ports_listed) {
    // A fixed port list: the dialogs show port names by index.
    setenv("ZL27T_PORTS", "/dev/null", 1);
    refresh_serial_ports();
    ports_listed = true;
  }
  fuzz_memory_ui();
  LinkSetup s;
  memset(&s, 0x5A, sizeof s);
  const LinkSetup before = s;
  SetupReadResult result = read_setup_image(fuzz_file(data, size), &s);
  if (result != SETUP_READ_OK) {
    FUZZ_CHECK(size < SETUP_FILE_SIZE);
    FUZZ_CHECK(memcmp(&s, &before, sizeof s) == 0);
    return 0;
  }
  FUZZ_CHECK(memcmp(&s, data, sizeof s) == 0);
  clamp_link_setup(&s);
  FUZZ_CHECK(s.kind < LINK_KIND_COUNT);
  FUZZ_CHECK(s.baud < BAUD_COUNT && s.term_baud < BAUD_COUNT);
  FUZZ_CHECK(s.data_bits < 2 && s.term_data_bits < 2 && s.stop_bits < 2 && s.term_stop_bits < 2);
  FUZZ_CHECK(s.parity < 3 && s.term_parity < 3 && s.error_check < 2 && s.term_charset < 2);
  FUZZ_CHECK(s.route_count <= 8);
  for (int i = 0; i < s.route_count; i++) FUZZ_CHECK(s.route[i] <= ROUTE_DROP_MAX);
  FUZZ_CHECK(s.timeout >= 1 && s.timeout <= LINK_TIMEOUT_MAX && s.rv_start_register >= 1);
  FUZZ_CHECK(s.rv_priority < 2 && s.rv_status_registers < 2 && s.rv_identify_module < 2 && s.rv_register_set < 2);
  FUZZ_CHECK(s.rv_screen_size >= 1 && s.rv_screen_size <= 20);
  FUZZ_CHECK(s.trap_errors < 2);
  FUZZ_CHECK(memchr(s.host, 0, sizeof s.host) && memchr(s.reserved_text, 0, sizeof s.reserved_text));
  const LinkSetup clamped = s;
  FUZZ_CHECK(!clamp_link_setup(&s));
  FUZZ_CHECK(memcmp(&s, &clamped, sizeof s) == 0);

  link_setup = s;
  link_handle = nullptr;
  configure_link();
  configure_terminal(0);
  configure_register_viewer(0);
  FUZZ_CHECK(link_handle == nullptr);
  FUZZ_CHECK(memcmp(&link_setup, &clamped, sizeof s) == 0);
  return 0;
}
