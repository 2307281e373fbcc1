#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace e2e {
namespace fs = std::filesystem;

// ---------------------------------------------------------------- colours

const char *colour_name(int colour) {
  static constexpr std::array<const char *, 16> names = {
      "black",    "blue",       "green",       "cyan",       "red",       "magenta",
      "brown",    "light grey", "dark grey",   "light blue", "light green", "light cyan",
      "light red", "light magenta", "yellow", "white"};
  if (colour < 0 || colour > 15) return "default";
  return names[static_cast<size_t>(colour)];
}

std::ostream &operator<<(std::ostream &os, const CellColours &c) {
  return os << colour_name(c.fg) << " on " << colour_name(c.bg);
}

// The program's attribute table: background in the high nibble.
static constexpr std::array<uint8_t, 8> kAttrTable = {0x17, 0x71, 0x1E, 0x7E, 0x1C, 0x7C, 0x1C, 0x6C};

CellColours attr_colours(int index) {
  if (index < 0 || index > 7) return {};
  uint8_t a = kAttrTable[static_cast<size_t>(index)];
  return {a & 0x0F, a >> 4};
}

int attr_index_of(const CellColours &c) {
  for (int i = 0; i < 8; ++i)
    if (attr_colours(i) == c) return i;
  return -1;
}

// ANSI numbers red as 1 and blue as 4; the console the other way round.
static int ansi_to_console(int ansi) {
  int a = ansi & 7;
  return ((a & 1) << 2) | (a & 2) | ((a & 4) >> 2) | (ansi & 8);
}

// ---------------------------------------------------------------- keys

std::string_view key_bytes(Key k) {
  switch (k) {
    case Key::F1: return "\x1bOP";
    case Key::F2: return "\x1bOQ";
    case Key::F3: return "\x1bOR";
    case Key::F4: return "\x1bOS";
    case Key::F5: return "\x1b[15~";
    case Key::F6: return "\x1b[17~";
    case Key::F7: return "\x1b[18~";
    case Key::F8: return "\x1b[19~";
    case Key::F9: return "\x1b[20~";
    case Key::F10: return "\x1b[21~";
    case Key::Up: return "\x1b[A";
    case Key::Down: return "\x1b[B";
    case Key::Right: return "\x1b[C";
    case Key::Left: return "\x1b[D";
    case Key::Home: return "\x1b[H";
    case Key::End: return "\x1b[F";
    case Key::PgUp: return "\x1b[5~";
    case Key::PgDn: return "\x1b[6~";
    case Key::Ins: return "\x1b[2~";
    case Key::Del: return "\x1b[3~";
    case Key::CtrlHome: return "\x1b[1;5H";
    case Key::CtrlEnd: return "\x1b[1;5F";
    case Key::Esc: return "\x1b";
    case Key::Enter: return "\r";
    case Key::LF: return "\n";
    case Key::Tab: return "\t";
    case Key::Backspace: return "\x7f";
  }
  return "";
}

static const std::pair<std::string_view, Key> kKeyNames[] = {
    {"F1", Key::F1},       {"F2", Key::F2},         {"F3", Key::F3},       {"F4", Key::F4},
    {"F5", Key::F5},       {"F6", Key::F6},         {"F7", Key::F7},       {"F8", Key::F8},
    {"F9", Key::F9},       {"F10", Key::F10},       {"Up", Key::Up},       {"Down", Key::Down},
    {"Left", Key::Left},   {"Right", Key::Right},   {"Home", Key::Home},   {"End", Key::End},
    {"PgUp", Key::PgUp},   {"PgDn", Key::PgDn},     {"Ins", Key::Ins},     {"Del", Key::Del},
    {"CtrlHome", Key::CtrlHome}, {"CtrlEnd", Key::CtrlEnd}, {"Esc", Key::Esc},
    {"Enter", Key::Enter}, {"LF", Key::LF},         {"Tab", Key::Tab},     {"Backspace", Key::Backspace},
};

// ---------------------------------------------------------------- text

static void put_utf8(std::string &out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Decodes one code point at s[i], advancing i; malformed bytes come back as
// U+FFFD one byte at a time.
static uint32_t next_utf8(std::string_view s, size_t &i) {
  auto b = static_cast<uint8_t>(s[i++]);
  if (b < 0x80) return b;
  int more = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : -1;
  if (more < 0 || i + static_cast<size_t>(more) > s.size()) return 0xFFFD;
  uint32_t cp = b & (0x3F >> more);
  for (int k = 0; k < more; ++k) cp = (cp << 6) | (static_cast<uint8_t>(s[i++]) & 0x3F);
  return cp;
}

std::string printable_row(const std::string &utf8_row) {
  std::string out;
  for (size_t i = 0; i < utf8_row.size();) {
    uint32_t cp = next_utf8(utf8_row, i);
    if (cp == 0x2551) out += '|';
    else if (cp == 0x2557 || cp == 0x255D || cp == 0x255A || cp == 0x2554) out += '+';
    else if (cp == 0x2550) out += '-';
    else if (cp >= 32 && cp < 127) out += static_cast<char>(cp);
    else out += '.';
  }
  return out;
}

// ---------------------------------------------------------------- session

Session::Ms Session::default_timeout() {
  const char *v = getenv("ZL27T_E2E_TIMEOUT_MS");
  long ms = v ? strtol(v, nullptr, 10) : 0;
  return Ms(ms > 0 ? ms : 8000);
}

Session::Session() {
  std::string tmpl = (fs::temp_directory_path() / "zl27t-e2e-XXXXXX").string();
  if (mkdtemp(tmpl.data())) workdir_ = tmpl;
  else ADD_FAILURE() << "mkdtemp: " << strerror(errno);

  vt_ = vterm_new(ROWS, COLS);
  vterm_set_utf8(vt_, 1);
  vterm_output_set_callback(vt_, &Session::on_output, this);
  vts_ = vterm_obtain_screen(vt_);
  static const VTermScreenCallbacks callbacks = {
      .damage = nullptr,
      .moverect = nullptr,
      .movecursor = nullptr,
      .settermprop = &Session::on_settermprop,
      .bell = &Session::on_bell,
      .resize = nullptr,
      .sb_pushline = nullptr,
      .sb_popline = nullptr,
  };
  vterm_screen_set_callbacks(vts_, &callbacks, this);
  vterm_screen_enable_altscreen(vts_, 1);
  vterm_screen_reset(vts_, 1);
}

Session::~Session() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    int st = 0;
    waitpid(pid_, &st, 0);
    pid_ = -1;
  }
  if (pidfd_ >= 0) close(pidfd_);
  if (master_ >= 0) close(master_);
  if (vt_) vterm_free(vt_);
  if (!workdir_.empty()) {
    if (getenv("ZL27T_E2E_KEEP")) {
      fprintf(stderr, "e2e: kept working dir %s\n", workdir_.c_str());
    } else {
      std::error_code ec;
      fs::remove_all(workdir_, ec);
    }
  }
}

int Session::on_settermprop(VTermProp prop, VTermValue *val, void *user) {
  auto *s = static_cast<Session *>(user);
  if (prop == VTERM_PROP_ALTSCREEN) s->alt_screen_ = val->boolean;
  if (prop == VTERM_PROP_CURSORVISIBLE) s->cursor_visible_ = val->boolean;
  return 1;
}

int Session::on_bell(void *user) {
  ++static_cast<Session *>(user)->bells_;
  return 1;
}

// The terminal's answers to queries (cursor position, device attributes).
// Called from inside feed(), so it must not read output itself.
void Session::on_output(const char *s, size_t len, void *user) {
  int fd = static_cast<Session *>(user)->master_;
  while (len > 0 && fd >= 0) {
    ssize_t n = write(fd, s, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;   // a reply the program never asked to be sure of
    s += n;
    len -= static_cast<size_t>(n);
  }
}

void Session::set_env(const std::string &name, const std::string &value) {
  env_.emplace_back(name, value);
}

std::string Session::path(std::string_view name) const {
  return (fs::path(workdir_) / name).string();
}

bool Session::write_file(std::string_view name, std::string_view bytes) const {
  std::ofstream f(path(name), std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(f);
}

std::string Session::read_file(std::string_view name) const {
  std::ifstream f(path(name), std::ios::binary);
  std::ostringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool Session::file_exists(std::string_view name) const { return fs::exists(path(name)); }

LinkSetup setup_record() {
  LinkSetup s;
  default_link_setup(&s);
  return s;
}

bool Session::write_setup(const LinkSetup &setup) const {
  // The record is its own little-endian file image on this machine.
  return write_file(SETUP_FILE, std::string_view(reinterpret_cast<const char *>(&setup), sizeof setup));
}

static bool env_is_ours(const char *entry) {
  static constexpr std::string_view ours[] = {"TERM=", "LANG=", "LANGUAGE=", "LC_", "COLUMNS=",
                                              "LINES=", "ZL27T_PORTS="};
  std::string_view e(entry);
  for (auto p : ours)
    if (e.substr(0, p.size()) == p) return true;
  return false;
}

bool Session::start(const std::vector<std::string> &args, const std::string &program) {
  if (pid_ > 0 || master_ >= 0) {
    ADD_FAILURE() << "session already started";
    return false;
  }
  // ZL27T_E2E_PROGRAM runs the same paths against another build of the
  // program (the sanitizer build in scripts/test.sh).
  const char *other = getenv("ZL27T_E2E_PROGRAM");
  std::vector<std::string> argv_s{other && *other && program == ZL27T_BIN ? std::string(other) : program};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<std::string> env_s;
  for (char **e = environ; *e; ++e)
    if (!env_is_ours(*e)) env_s.emplace_back(*e);
  env_s.push_back("TERM=" + term_);
  env_s.push_back("LANG=C.UTF-8");
  env_s.push_back("LC_ALL=C.UTF-8");
  for (auto &[k, v] : env_) env_s.push_back(k + "=" + v);
  // Built before fork: the child only calls async-signal-safe functions.
  std::vector<char *> argv, envp;
  for (auto &a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto &e : env_s) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string dir = workdir_;

  struct winsize ws{};
  ws.ws_row = ROWS;
  ws.ws_col = COLS;
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, &ws);
  if (pid < 0) {
    ADD_FAILURE() << "forkpty: " << strerror(errno);
    return false;
  }
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    execve(argv[0], argv.data(), envp.data());
    static const char msg[] = "e2e: exec failed\n";
    ssize_t ignored = write(2, msg, sizeof msg - 1);
    (void)ignored;
    _exit(127);
  }
  pid_ = pid;
  master_ = master;
  eof_ = false;
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
  return true;
}

bool Session::prepare_no_link() {
  if (!file_exists(SETUP_FILE)) {
    LinkSetup s = setup_record();
    s.kind = LINK_NONE;
    if (!write_setup(s)) {
      ADD_FAILURE() << "cannot write the setup file";
      return false;
    }
  }
  bool have_ports = false;
  for (auto &[k, v] : env_) have_ports |= k == "ZL27T_PORTS";
  if (!have_ports) set_env("ZL27T_PORTS", "/dev/null");   // port 0 must exist; "None" never opens it
  return true;
}

testing::AssertionResult Session::start_at_menu(const std::vector<std::string> &args) {
  if (!prepare_no_link()) return testing::AssertionFailure() << "cannot prepare the working dir";
  if (!start(args)) return testing::AssertionFailure() << "cannot start " << ZL27T_BIN;
  auto bar_up = [&] { return row(4).rfind("oNline", 0) == 0 && row(4).find("Quit") != std::string::npos; };
  const char *no_link = "Unable to establish link.";
  auto r = wait_until([&] { return bar_up() || contains(no_link); }, "the menu bar");
  if (!r) return r;
  if (contains(no_link)) {
    press(Key::F10);
    r = wait_until([&] { return bar_up() && !contains(no_link); }, "the menu bar after the link message");
  }
  return r;
}

// ---------------------------------------------------------------- keys

void Session::write_all(std::string_view bytes) {
  if (master_ < 0) {
    ADD_FAILURE() << "typing into a session that is not started";
    return;
  }
  auto deadline = Clock::now() + default_timeout();
  while (!bytes.empty()) {
    ssize_t n = write(master_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN && Clock::now() < deadline) {
      pump(Ms(5));   // the program may be blocked writing to us
    } else {
      ADD_FAILURE() << "write to pty: " << (n < 0 ? strerror(errno) : "short write");
      return;
    }
  }
}

void Session::type(std::string_view text) { write_all(text); }

void Session::resize(int rows, int cols) {
  vterm_set_size(vt_, rows, cols);
  struct winsize ws{};
  ws.ws_row = static_cast<unsigned short>(rows);
  ws.ws_col = static_cast<unsigned short>(cols);
  if (master_ >= 0 && ioctl(master_, TIOCSWINSZ, &ws) != 0) ADD_FAILURE() << "TIOCSWINSZ: " << strerror(errno);
}

void Session::press(Key k, int times) {
  for (int i = 0; i < times; ++i) {
    write_all(key_bytes(k));
    // A lone Esc only counts as Esc after the decoder's 50 ms; a person
    // never types faster than that.
    if (k == Key::Esc) pump_for(Ms(80));
  }
}

void Session::keys(std::string_view script) {
  while (!script.empty()) {
    size_t brace = script.find('{');
    type(script.substr(0, brace));
    if (brace == std::string_view::npos) return;
    script.remove_prefix(brace + 1);
    if (!script.empty() && script[0] == '{') {
      type("{");
      script.remove_prefix(1);
      continue;
    }
    size_t end = script.find('}');
    std::string_view name = script.substr(0, end);
    bool found = false;
    for (auto &[n, k] : kKeyNames)
      if (n == name) {
        press(k);
        found = true;
      }
    if (!found) ADD_FAILURE() << "unknown key name {" << name << "}";
    if (end == std::string_view::npos) return;
    script.remove_prefix(end + 1);
  }
}

// ---------------------------------------------------------------- output

void Session::reap(bool block) {
  if (pid_ <= 0) return;
  int st = 0;
  pid_t r = waitpid(pid_, &st, block ? 0 : WNOHANG);
  if (r != pid_) return;
  status_ = WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : EXIT_TIMEOUT;
  pid_ = -1;
  if (pidfd_ >= 0) close(pidfd_);
  pidfd_ = -1;
}

void Session::feed(const char *data, size_t n) {
  raw_.append(data, n);
  scan_modes(data, n);
  vterm_input_write(vt_, data, n);
}

// Follows ESC [ ? Pn ; Pn h|l across reads. libvterm keeps the DEC modes to
// itself, so autowrap is taken from the stream.
void Session::scan_modes(const char *data, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    char c = data[i];
    switch (scan_state_) {
      case 0:
        if (c == '\x1b') scan_state_ = 1;
        break;
      case 1:
        scan_state_ = c == '[' ? 2 : c == '\x1b' ? 1 : 0;
        break;
      case 2:
        scan_params_.clear();
        scan_state_ = c == '?' ? 3 : c == '\x1b' ? 1 : 0;
        break;
      case 3:
        if ((c >= '0' && c <= '9') || c == ';') {
          if (scan_params_.size() < 64) scan_params_ += c;
          break;
        }
        if (c == 'h' || c == 'l') {
          std::stringstream ss(scan_params_);
          std::string p;
          while (std::getline(ss, p, ';'))
            if (!p.empty()) modes_[atoi(p.c_str())] = c == 'h';
        }
        scan_state_ = c == '\x1b' ? 1 : 0;
        break;
    }
  }
}

void Session::pump(Ms timeout) {
  int ms = static_cast<int>(std::max<Ms::rep>(0, timeout.count()));
  std::array<pollfd, 2> fds{};
  nfds_t nfds = 0;
  if (master_ >= 0 && !eof_) fds[nfds++] = {master_, POLLIN, 0};
  if (pidfd_ >= 0) fds[nfds++] = {pidfd_, POLLIN, 0};
  if (nfds == 0) {
    reap(false);
    return;
  }
  // Without a pidfd the child's end is noticed by polling for it.
  if (pidfd_ < 0 && pid_ > 0) ms = std::min(ms, 10);
  int r = poll(fds.data(), nfds, ms);
  if (r < 0 && errno != EINTR) ADD_FAILURE() << "poll: " << strerror(errno);
  reap(false);
  // Read whatever is there, also after the child ended (its last output
  // stays in the pty until read; then read() gives EIO).
  if (master_ >= 0 && !eof_) {
    char buf[8192];
    for (;;) {
      ssize_t n = read(master_, buf, sizeof buf);
      if (n > 0) {
        feed(buf, static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n == 0 || (n < 0 && errno != EAGAIN)) eof_ = true;
      break;
    }
  }
}

void Session::pump_for(Ms duration) {
  auto deadline = Clock::now() + duration;
  for (auto now = Clock::now(); now < deadline; now = Clock::now()) {
    bool idle = (master_ < 0 || eof_) && pidfd_ < 0;
    auto left = std::chrono::duration_cast<Ms>(deadline - now) + Ms(1);
    if (idle) std::this_thread::sleep_for(left);
    else pump(left);
  }
}

testing::AssertionResult Session::wait_until(const std::function<bool()> &pred, const std::string &what,
                                             Ms timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    if (pred()) return testing::AssertionSuccess();
    if (pid_ <= 0 && (eof_ || master_ < 0)) {
      pump(Ms(0));
      if (pred()) return testing::AssertionSuccess();
      return testing::AssertionFailure() << "program ended (status " << status_ << ") while waiting for "
                                         << what << "\n" << dump();
    }
    auto now = Clock::now();
    if (now >= deadline)
      return testing::AssertionFailure() << "timed out after " << timeout.count() << " ms waiting for " << what
                                         << "\n" << dump();
    pump(std::chrono::duration_cast<Ms>(deadline - now) + Ms(1));
  }
}

testing::AssertionResult Session::wait_for_text(std::string_view text, Ms timeout) {
  return wait_until([&] { return contains(text); }, "text \"" + std::string(text) + "\"", timeout);
}

testing::AssertionResult Session::wait_for_text_gone(std::string_view text, Ms timeout) {
  return wait_until([&] { return !contains(text); }, "text \"" + std::string(text) + "\" to go", timeout);
}

testing::AssertionResult Session::wait_for_row(int r, const std::function<bool(const std::string &)> &pred,
                                               const std::string &what, Ms timeout) {
  return wait_until([&] { return pred(row(r)); }, what + " on row " + std::to_string(r), timeout);
}

int Session::wait_exit(Ms timeout) {
  auto deadline = Clock::now() + timeout;
  while (pid_ > 0) {
    auto now = Clock::now();
    if (now >= deadline) {
      ADD_FAILURE() << "program still running after " << timeout.count() << " ms\n" << dump();
      return EXIT_TIMEOUT;
    }
    pump(std::chrono::duration_cast<Ms>(deadline - now) + Ms(1));
  }
  // Take the last output; a grandchild holding the pty must not stall us.
  while (master_ >= 0 && !eof_) {
    size_t before = raw_.size();
    pump(Ms(0));
    if (raw_.size() == before) break;
  }
  return status_;
}

// ---------------------------------------------------------------- screen

uint32_t Session::cell_char(int r, int c) const {
  if (r < 1 || r > ROWS || c < 1 || c > COLS) return ' ';
  VTermScreenCell cell{};
  vterm_screen_get_cell(vts_, VTermPos{r - 1, c - 1}, &cell);
  return cell.chars[0] ? cell.chars[0] : ' ';
}

std::string Session::text_at(int r, int c, int n) const {
  std::string out;
  for (int i = 0; i < n; ++i) put_utf8(out, cell_char(r, c + i));
  return out;
}

std::string Session::row(int r) const { return text_at(r, 1, COLS); }

std::vector<std::string> Session::screen() const {
  std::vector<std::string> out;
  for (int r = 1; r <= ROWS; ++r) out.push_back(row(r));
  return out;
}

std::pair<int, int> Session::find(std::string_view text) const {
  if (text.empty()) return {0, 0};
  for (int r = 1; r <= ROWS; ++r) {
    std::string line;
    std::vector<int> cell_of_byte;
    for (int c = 1; c <= COLS; ++c) {
      size_t before = line.size();
      put_utf8(line, cell_char(r, c));
      cell_of_byte.insert(cell_of_byte.end(), line.size() - before, c);
    }
    size_t at = line.find(text);
    if (at != std::string::npos) return {r, cell_of_byte[at]};
  }
  return {0, 0};
}

CellColours Session::colours(int r, int c) const {
  if (r < 1 || r > ROWS || c < 1 || c > COLS) return {};
  VTermScreenCell cell{};
  vterm_screen_get_cell(vts_, VTermPos{r - 1, c - 1}, &cell);
  auto to_console = [&](VTermColor col, bool is_fg) -> int {
    if (is_fg ? VTERM_COLOR_IS_DEFAULT_FG(&col) : VTERM_COLOR_IS_DEFAULT_BG(&col)) return DEFAULT_COLOUR;
    if (VTERM_COLOR_IS_INDEXED(&col) && col.indexed.idx < 16) return ansi_to_console(col.indexed.idx);
    // 24-bit or 256-colour: the nearest of the 16 the program uses.
    vterm_screen_convert_color_to_rgb(vts_, &col);
    VTermState *state = vterm_obtain_state(vt_);
    int best = DEFAULT_COLOUR;
    long best_d = 0;
    for (int i = 0; i < 16; ++i) {
      VTermColor p;
      vterm_state_get_palette_color(state, i, &p);
      vterm_state_convert_color_to_rgb(state, &p);
      long dr = p.rgb.red - col.rgb.red, dg = p.rgb.green - col.rgb.green, db = p.rgb.blue - col.rgb.blue;
      long d = dr * dr + dg * dg + db * db;
      if (best < 0 || d < best_d) {
        best = ansi_to_console(i);
        best_d = d;
      }
    }
    return best;
  };
  CellColours out{to_console(cell.fg, true), to_console(cell.bg, false)};
  if (cell.attrs.reverse) std::swap(out.fg, out.bg);
  return out;
}

std::vector<CellColours> Session::row_colours(int r) const {
  std::vector<CellColours> out;
  for (int c = 1; c <= COLS; ++c) out.push_back(colours(r, c));
  return out;
}

int Session::attr_index(int r, int c) const { return attr_index_of(colours(r, c)); }

std::string Session::row_attrs(int r) const {
  std::string out;
  for (int c = 1; c <= COLS; ++c) {
    int i = attr_index(r, c);
    out += i < 0 ? '?' : static_cast<char>('0' + i);
  }
  return out;
}

std::pair<int, int> Session::cursor() const {
  VTermPos pos{};
  vterm_state_get_cursorpos(vterm_obtain_state(vt_), &pos);
  return {pos.row + 1, pos.col + 1};
}

bool Session::dec_mode(int mode) const {
  auto it = modes_.find(mode);
  if (it != modes_.end()) return it->second;
  return mode == 7 || mode == 25;   // autowrap and the cursor start on
}

bool Session::pty_settings(struct termios *out) const {
  return master_ >= 0 && tcgetattr(master_, out) == 0;
}

std::string Session::print_image() const {
  std::string out;
  for (int r = 1; r <= ROWS; ++r) {
    out += printable_row(row(r));
    out += '\r';
    std::string attrs = row_attrs(r);
    for (char a : attrs) out += a == '0' || a == '2' ? ' ' : '_';
    out += '\n';
  }
  out += '\f';
  return out;
}

std::string Session::dump() const {
  std::ostringstream os;
  auto [cr, cc] = cursor();
  os << "screen: cursor " << cr << "," << cc << (cursor_visible_ ? " shown" : " hidden")
     << ", alternate screen " << (alt_screen_ ? "on" : "off") << ", autowrap " << (autowrap() ? "on" : "off")
     << ", " << (pid_ > 0 ? "running" : "ended with " + std::to_string(status_)) << "\n";
  char num[8];
  for (int r = 1; r <= ROWS; ++r) {
    snprintf(num, sizeof num, "%2d", r);
    os << num << "|" << row(r) << "|\n";
  }
  os << "attribute indices ('?' = other colours):\n";
  for (int r = 1; r <= ROWS; ++r) {
    snprintf(num, sizeof num, "%2d", r);
    os << num << "|" << row_attrs(r) << "|\n";
  }
  return os.str();
}

testing::AssertionResult quit_program(Session &s, QuitQuestion question) {
  s.type("q");
  if (question == QuitQuestion::ANSWER_YES) {
    if (auto r = s.wait_for_text("Edited or Fetched but not Written. Quit anyway?"); !r) return r;
    s.type("y");
  }
  int status = s.wait_exit();
  if (status != 0) return testing::AssertionFailure() << "exit status " << status << " after Quit";
  return testing::AssertionSuccess();
}

}  // namespace e2e
