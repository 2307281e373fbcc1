// Print targets on Windows: a name ending in ':' (LPT1:) or "SYS$PRINT" goes
// to the default printer through the spooler, as one RAW job sent when the
// target is closed (the text is collected in a temporary file until then);
// any other name is a file (made or emptied), written byte for byte as on
// every system. No default printer: the open fails.
#include "platform/print.h"

#include "platform/win32/windows_api.h"
#include <winspool.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct SpoolJob {
  FILE *file;
  std::string temp_path;
  std::string printer;
};
std::vector<SpoolJob> jobs;

bool is_spooler_target(const char *name) {
  size_t n = strlen(name);
  return (n > 0 && name[n - 1] == ':') || _stricmp(name, "SYS$PRINT") == 0;
}

std::string default_printer() {
  char name[256];
  DWORD size = sizeof name;
  if (!GetDefaultPrinterA(name, &size)) return "";
  return name;
}

FILE *open_spooler() {
  std::string printer = default_printer();
  if (printer.empty()) return nullptr;
  char dir[MAX_PATH], path[MAX_PATH];
  DWORD n = GetTempPathA(sizeof dir, dir);
  if (n == 0 || n >= sizeof dir || GetTempFileNameA(dir, "zlp", 0, path) == 0) return nullptr;
  // Text mode: the printer gets the lines ended as Windows ends them.
  FILE *f = fopen(path, "w");
  if (!f) {
    DeleteFileA(path);
    return nullptr;
  }
  jobs.push_back({f, path, printer});
  return f;
}

bool send_to_printer(FILE *f, const std::string &printer) {
  HANDLE h = nullptr;
  if (!OpenPrinterA(const_cast<char *>(printer.c_str()), &h, nullptr)) return false;
  DOC_INFO_1A doc{};
  doc.pDocName = const_cast<char *>("ZL27T");
  doc.pDatatype = const_cast<char *>("RAW");
  bool ok = StartDocPrinterA(h, 1, reinterpret_cast<BYTE *>(&doc)) != 0;
  if (ok) {
    ok = StartPagePrinter(h) != 0;
    char buf[4096];
    size_t got;
    while (ok && (got = fread(buf, 1, sizeof buf, f)) > 0) {
      DWORD written = 0;
      ok = WritePrinter(h, buf, static_cast<DWORD>(got), &written) && written == got;
    }
    if (ferror(f)) ok = false;
    ok = EndPagePrinter(h) && ok;
    ok = EndDocPrinter(h) && ok;
  }
  ClosePrinter(h);
  return ok;
}

}  // namespace

FILE *plat_print_open(const char *name) {
  if (!name || !*name) return nullptr;
  if (is_spooler_target(name)) return open_spooler();
  DWORD attributes = GetFileAttributesA(name);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return nullptr;
  // The same bytes as on every system: lines end in LF (a printer is
  // reached through the spooler above, which ends them as it wants).
  return fopen(name, "wb");
}

bool plat_print_close(FILE *f) {
  if (!f) return false;
  for (size_t i = 0; i < jobs.size(); i++) {
    if (jobs[i].file != f) continue;
    SpoolJob job = jobs[i];
    jobs.erase(jobs.begin() + static_cast<long>(i));
    bool ok = fclose(f) == 0;
    if (FILE *text = ok ? fopen(job.temp_path.c_str(), "rb") : nullptr) {
      ok = send_to_printer(text, job.printer);
      fclose(text);
    } else {
      ok = false;
    }
    DeleteFileA(job.temp_path.c_str());
    return ok;
  }
  return fclose(f) == 0;
}
