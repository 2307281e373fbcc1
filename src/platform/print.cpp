// Print targets: the system spooler through a pipe, or a file.
#include "platform/print.h"

#include <signal.h>
#include <sys/wait.h>
#include <strings.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<FILE *> spool_pipes;
struct sigaction program_sigpipe;   // while spool pipes are open

bool is_spooler_target(const char *name) {
  size_t n = strlen(name);
  return (n > 0 && name[n - 1] == ':') || strcasecmp(name, "SYS$PRINT") == 0;
}

// The full path of an executable found in PATH, or "".
std::string find_in_path(const char *program) {
  const char *path = getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t colon = dirs.find(':', start);
    if (colon == std::string::npos) colon = dirs.size();
    std::string dir = dirs.substr(start, colon - start);
    std::string full = (dir.empty() ? std::string(".") : dir) + "/" + program;
    if (access(full.c_str(), X_OK) == 0) return full;
    start = colon + 1;
  }
  return "";
}

// Single-quoted for sh: the path is data, whatever it holds.
std::string shell_quote(const std::string &s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'')
      q += "'\\''";
    else
      q += c;
  }
  return q + "'";
}

FILE *open_spooler() {
  std::string prog = find_in_path("lp");
  if (prog.empty()) prog = find_in_path("lpr");
  if (prog.empty()) return nullptr;
  // The spooler's own messages ("request id is ...") would land on the
  // program's screen.
  std::string cmd = shell_quote(prog) + " >/dev/null 2>&1";
  FILE *f = popen(cmd.c_str(), "w");
  if (!f) return nullptr;
  // A spooler that quits early must fail the writes, not kill the program
  // with the terminal still raw.
  if (spool_pipes.empty()) {
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    sigaction(SIGPIPE, &ign, &program_sigpipe);
  }
  spool_pipes.push_back(f);
  return f;
}

}  // namespace

FILE *plat_print_open(const char *name) {
  if (!name || !*name) return nullptr;
  if (is_spooler_target(name)) return open_spooler();
  return fopen(name, "w");
}

bool plat_print_close(FILE *f) {
  if (!f) return false;
  for (size_t i = 0; i < spool_pipes.size(); i++) {
    if (spool_pipes[i] != f) continue;
    spool_pipes.erase(spool_pipes.begin() + static_cast<long>(i));
    int status = pclose(f);
    if (spool_pipes.empty()) sigaction(SIGPIPE, &program_sigpipe, nullptr);
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  return fclose(f) == 0;
}
