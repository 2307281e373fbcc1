// Print targets: the system spooler through a pipe, or a file.
#include "platform/print.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
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

// A regular file (made or emptied) or a character device such as a printer
// port. The open never waits: a FIFO without a reader, or a port waiting
// for carrier, would hold it for good.
FILE *open_print_file(const char *name) {
  struct stat st {};
  bool exists = stat(name, &st) == 0;
  if (exists && !S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode)) return nullptr;
  int fd = open(name, O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  // Looked at again: the name may have changed since.
  bool usable = fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISCHR(st.st_mode));
  if (usable && S_ISREG(st.st_mode)) usable = ftruncate(fd, 0) == 0;
  if (!usable) {
    close(fd);
    return nullptr;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE *f = fdopen(fd, "w");
  if (!f) close(fd);
  return f;
}

}  // namespace

FILE *plat_print_open(const char *name) {
  if (!name || !*name) return nullptr;
  if (is_spooler_target(name)) return open_spooler();
  return open_print_file(name);
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
