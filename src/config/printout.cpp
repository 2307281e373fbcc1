#include "config/printout.h"

#include "forms/file_picker.h"
#include "platform/local_time.h"
#include "platform/print.h"
#include "ui/boxes.h"   // alert_*: file messages show whatever the link's Trap Errors says
#include "ui/keys.h"
#include "ui/window.h"

static const char *crc_text(const ModemConfig &c, uint16_t bit) {
  return error_check_texts[(c.flags & bit) ? 1 : 0];
}

void report_date(char *out, size_t size, time_t when) {
  if (size == 0) return;
  struct tm local;
  if (!plat_local_time(when, &local) || std::strftime(out, size < 41 ? size : 41, "%d/%b/%y %H:%M", &local) == 0) {
    out[0] = 0;
  }
}

void write_config_report(FILE *out, const ModemConfig &c, const char *date_text) {
  const bool transparent = c.flags & CFG_TRANSPARENT;
  const bool private_line = c.flags & CFG_PRIVATE_LINE;
  const bool multidrop = c.flags & CFG_MULTIDROP;

  std::fprintf(out, "                         ZL27T Configuration Printout\n");
  std::fprintf(out, "                        ==============================      %s\n", date_text);
  std::fprintf(out, "\n");
  std::fprintf(out, "        Communication Mode     %s\n", transparent ? "Transparent" : "Sy/Max");
  std::fprintf(out, "        Connection             %s\n", private_line ? "Private Line" : "PSTN");
  if (private_line) {
    std::fprintf(out, "        Line Type              %s", (c.flags & CFG_TWO_WIRE) ? "Two Wire" : "Four Wire");
    if (multidrop) std::fprintf(out, " Multidrop");
    std::fprintf(out, "\n");
  } else if (c.flags & CFG_AUTO_ANSWER_OFF) {
    std::fprintf(out, "        Auto Answer            Disabled\n");
  } else {
    std::fprintf(out, "        Auto Answer            after %d ring%c\n", c.answer_rings,
                 c.answer_rings == 1 ? ' ' : 's');
  }
  std::fprintf(out, "        Wait for Carrier       %d seconds\n", c.carrier_wait);
  // Rates and parities index their tables only through the checked lookups:
  // a record from a file may hold anything.
  if (transparent) {
    std::fprintf(out, "        Port and Line Settings %s baud, %s parity, %s error check\n",
                 baud_text(c.port_rate), parity_text(port_parity_code(c)), crc_text(c, CFG_PORT_CRC));
  } else {
    std::fprintf(out, "        Port Settings          %s baud, %s parity, %s error check\n",
                 baud_text(c.port_rate), parity_text(port_parity_code(c)), crc_text(c, CFG_PORT_CRC));
    std::fprintf(out, "        Line Settings          %s baud, %s parity, %s error check\n",
                 baud_text(c.line_rate), parity_text(line_parity_code(c)), crc_text(c, CFG_LINE_CRC));
  }
  std::fprintf(out, "\n");
  if (private_line) std::fprintf(out, "        Hayes operations are disabled in private line mode.\n");
  std::fprintf(out, "        Hayes Escape character %d", c.escape_char);
  if (c.escape_char < 32 || c.escape_char > 126) {
    std::fprintf(out, "\n");
  } else {
    std::fprintf(out, "\"%c\"\n", c.escape_char);
  }
  std::fprintf(out, "        Escape guard time      %d milliseconds\n", c.guard_time * 20);
  std::fprintf(out, "        Hayes Carriage Return  %d%s\n", c.cr_char, c.cr_char == 13 ? " ASCII CR" : "");
  std::fprintf(out, "        Hayes Line Feed        %d%s\n", c.lf_char, c.lf_char == 10 ? " ASCII LF" : "");
  std::fprintf(out, "        Hayes Backspace        %d%s\n", c.bs_char, c.bs_char == 8 ? " ASCII BS" : "");
  std::fprintf(out, "\n");
  if (private_line) std::fprintf(out, "        Dialing parameters are not operational in private line mode.\n");
  std::fprintf(out, "        Wait for Dial Tone     %d seconds\n", c.dial_tone_wait);
  std::fprintf(out, "        Comma pause time       %d seconds\n", c.comma_pause);
  std::fprintf(out, "        DTMF digit duration    %d milliseconds\n", c.dtmf_duration);
  std::fprintf(out, "        Watch Dog              %s\n", (c.flags & CFG_WATCHDOG) ? "Enabled" : "Disabled");
  std::fprintf(out, "\n");
  if (!multidrop) std::fprintf(out, "        Timing parameters are only operational in multidrop mode.\n");
  std::fprintf(out, "        Carrier Threshold      %d\n", c.carrier_threshold);
  std::fprintf(out, "        CTS on delay           %d\n", c.cts_on_delay);
  std::fprintf(out, "        CTS off delay          %d\n", c.cts_off_delay);
  std::fprintf(out, "\n");
  if (c.password != 0) {
    if (private_line || (c.flags & CFG_AUTO_ANSWER_OFF)) {
      std::fprintf(out, "        Password only functional PSTN Auto Answer\n");
    }
    std::fprintf(out, "        Answer Password        %s", password_text(c.password));
  } else {
    std::fprintf(out, "        Password access        Not required\n");
  }
}

void print_config() {
  static const char terminators[] = {static_cast<char>(KEY_ENTER), static_cast<char>(KEY_ESC), 0};
  WindowHandle window = win_open(10, 20, 13, 58, "PRINT OFFLINE");
  put_field("Output file:", 11, 22, 0, ' ', ATTR_NORMAL);
  char name[40] = "SYS$PRINT";
  for (;;) {
    KeyCode key = field_edit(name, 12, 22, 34, '_', "A-Z0-9$.\\_~:", terminators,
                             ATTR_FIELD | FF_KEEP | FF_REPLACE | FF_UPPER);
    if (key == KEY_ESC) break;
    FILE *out = plat_print_open(name);
    if (!out) {
      char shown[40];
      printable_name(name, shown, sizeof shown);
      alert_printf("Can't open file \"%s\" for write.", shown);
      continue;
    }
    char date[48];
    report_date(date, sizeof date, std::time(nullptr));
    write_config_report(out, memory_config, date);
    // A full disk or a broken spooler pipe must not pass for a printout.
    bool failed = std::fflush(out) != 0 || std::ferror(out);
    if (!plat_print_close(out)) failed = true;
    if (failed) {
      char shown[40];
      printable_name(name, shown, sizeof shown);
      alert_printf("Can't write to \"%s\".", shown);
    }
    break;
  }
  win_close(&window);
}
