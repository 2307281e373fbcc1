// The vt console: the user's terminal driven by escape sequences.
#include <langinfo.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/console.h"
#include "platform/signals_posix.h"
#include "platform/terminal.h"

// --- terminal state ---

namespace {

constexpr char TAKE_OVER[] = "\x1b[?1049h\x1b[?7l\x1b[?25l\x1b[0m\x1b[H\x1b[2J";
// CAN first: it aborts an escape sequence a signal may have cut in half.
constexpr char GIVE_BACK[] = "\x18\x1b[?7h\x1b[0m\x1b[?25h\x1b[?1049l";

// Signals that end the program (plat_exit_signals): the terminal is given
// back, then the signal takes its default course so the exit status still
// shows it.
sigset_t exit_signals;

struct termios user_tio;   // as the user had it
struct termios raw_tio;    // ours
volatile sig_atomic_t vt_active = 0;
volatile sig_atomic_t resized_for_ui = 0;
volatile sig_atomic_t size_stale = 0;

struct sigaction old_exit_actions[NSIG];
struct sigaction old_winch_action, old_tstp_action, old_cont_action;
bool atexit_done = false;

// Main-thread output state.
std::string out;
int term_cols = CON_COLS;
int vis_rows = CON_ROWS, vis_cols = CON_COLS;   // the part of 80x25 that fits
int cur_row = -1, cur_col = -1;                 // terminal cursor; -1 unknown
int cur_attr = -1;                              // attribute last sent; -1 unknown
int shown_visible = -1;                         // cursor visibility last sent
int want_row = 0, want_col = 0;
bool want_visible = false;
bool utf8 = false;
uint8_t erase_byte = 0x7f;
// What the 80x25 screen shows, so the terminal can be repainted after a
// resize or a stop without waiting for the screen layer.
constexpr ConCell CLEARED{' ', 0x07};
ConCell mirror[CON_ROWS * CON_COLS];

void write_all_raw(const char *p, size_t n) {
  while (n > 0) {
    ssize_t w = write(STDOUT_FILENO, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    p += w;
    n -= static_cast<size_t>(w);
  }
}

// Async-signal-safe: precomputed bytes, write(), tcsetattr().
void give_back_raw() {
  if (!vt_active) return;
  vt_active = 0;
  write_all_raw(GIVE_BACK, sizeof GIVE_BACK - 1);
  tcsetattr(STDIN_FILENO, TCSANOW, &user_tio);
}

int wake_pipe[2] = {-1, -1};
void wake_keyboard();

void on_exit_signal(int sig) {
  int saved_errno = errno;
  give_back_raw();
  if (plat_defer_exit(sig)) {
    wake_keyboard();   // the main thread ends it where it waits for keys
  } else {
    signal(sig, SIG_DFL);
    raise(sig);   // delivered with the default action when the handler returns
  }
  errno = saved_errno;
}

void wake_keyboard() {
  if (wake_pipe[1] >= 0) {
    char b = 1;
    ssize_t r = write(wake_pipe[1], &b, 1);   // full pipe: a wake-up is pending anyway
    (void)r;
  }
}

void on_winch(int) {
  int saved_errno = errno;
  resized_for_ui = 1;
  size_stale = 1;
  wake_keyboard();
  errno = saved_errno;
}

void on_stop(int sig) {
  int saved_errno = errno;
  bool was_active = vt_active;
  give_back_raw();
  signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  raise(sig);   // stops here until SIGCONT
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  struct sigaction sa {};
  sa.sa_handler = on_stop;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  sigaction(sig, &sa, nullptr);
  if (was_active) {
    tcsetattr(STDIN_FILENO, TCSANOW, &raw_tio);
    write_all_raw(TAKE_OVER, sizeof TAKE_OVER - 1);
    vt_active = 1;
    resized_for_ui = 1;   // the screen layer repaints everything
    size_stale = 1;
    wake_keyboard();
  }
  errno = saved_errno;
}

// Continued after a stop we did not see (SIGSTOP): the shell may have reset
// the modes and drawn its prompt over ours.
void on_cont(int) {
  int saved_errno = errno;
  if (vt_active) {
    tcsetattr(STDIN_FILENO, TCSANOW, &raw_tio);
    write_all_raw(TAKE_OVER, sizeof TAKE_OVER - 1);
    resized_for_ui = 1;
    size_stale = 1;
    wake_keyboard();
  }
  errno = saved_errno;
}

void install_handlers() {
  if (wake_pipe[0] < 0 && pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) wake_pipe[0] = wake_pipe[1] = -1;
  plat_exit_signals(&exit_signals);
  struct sigaction sa {};
  sa.sa_mask = exit_signals;
  sa.sa_handler = on_exit_signal;
  for (int sig = 1; sig < NSIG; sig++)
    if (sigismember(&exit_signals, sig) == 1) sigaction(sig, &sa, &old_exit_actions[sig]);
  struct sigaction sw {};
  sigemptyset(&sw.sa_mask);
  sw.sa_flags = SA_RESTART;
  sw.sa_handler = on_winch;
  sigaction(SIGWINCH, &sw, &old_winch_action);
  sw.sa_handler = on_stop;
  sigaction(SIGTSTP, &sw, &old_tstp_action);
  sw.sa_handler = on_cont;
  sigaction(SIGCONT, &sw, &old_cont_action);
}

void restore_handlers() {
  for (int sig = 1; sig < NSIG; sig++)
    if (sigismember(&exit_signals, sig) == 1) sigaction(sig, &old_exit_actions[sig], nullptr);
  sigaction(SIGWINCH, &old_winch_action, nullptr);
  sigaction(SIGTSTP, &old_tstp_action, nullptr);
  sigaction(SIGCONT, &old_cont_action, nullptr);
}

bool locale_is_utf8() {
  const char *cur = setlocale(LC_CTYPE, nullptr);
  std::string keep = cur ? cur : "C";
  bool yes = false;
  if (setlocale(LC_CTYPE, "") != nullptr) {
    const char *cs = nl_langinfo(CODESET);
    yes = cs && (strcasecmp(cs, "UTF-8") == 0 || strcasecmp(cs, "utf8") == 0);
  }
  // Only the question is asked: the rest of the program keeps its locale.
  setlocale(LC_CTYPE, keep.c_str());
  return yes;
}

// The erase byte becomes Backspace; only a control byte that is no other key
// of ours can be it.
uint8_t usable_erase(cc_t c) {
  bool control = c < 0x20 || c == 0x7f;
  if (!control || c == 0 || c == 0x1b || c == '\r' || c == '\n' || c == '\t') return 0x7f;
  return static_cast<uint8_t>(c);
}

void read_size() {
  struct winsize ws {};
  int rows = CON_ROWS, cols = CON_COLS;
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0) {
    rows = ws.ws_row;
    cols = ws.ws_col;
  }
  term_cols = cols;
  vis_rows = std::min(rows, CON_ROWS);
  vis_cols = std::min(cols, CON_COLS);
}


void move_to(int row, int col) {
  if (row == cur_row && col == cur_col) return;
  char buf[24];
  int n;
  if (row == cur_row)
    n = snprintf(buf, sizeof buf, "\x1b[%dG", col + 1);
  else if (col == 0)
    n = snprintf(buf, sizeof buf, "\x1b[%dH", row + 1);
  else
    n = snprintf(buf, sizeof buf, "\x1b[%d;%dH", row + 1, col + 1);
  out.append(buf, static_cast<size_t>(n));
  cur_row = row;
  cur_col = col;
}

void set_attr(uint8_t attr) {
  if (cur_attr == attr) return;
  Sgr s = sgr_for_attr(attr);
  out.append(s.text, static_cast<size_t>(s.len));
  cur_attr = attr;
}

void put_char(uint8_t ch) {
  if (utf8) {
    char b[4];
    out.append(b, static_cast<size_t>(cp437_utf8(ch, b)));
  } else {
    out.push_back(cp437_ascii(ch));
  }
}

// Where the terminal cursor stands after k characters from (row, col): with
// autowrap off it sticks at the last column, so that position is unknown.
void advance(int row, int col) {
  if (col < term_cols) {
    cur_row = row;
    cur_col = col;
  } else {
    cur_row = cur_col = -1;
  }
}

void emit_run(int row, int col, const uint8_t *chars, uint8_t fill, int k, uint8_t attr) {
  move_to(row, col);
  set_attr(attr);
  for (int i = 0; i < k; i++) put_char(chars ? chars[i] : fill);
  advance(row, col + k);
}

// After a resize or a stop the terminal may have moved the cursor, lost the
// attribute or the picture: clear it and paint what it should show.
void refresh_if_stale() {
  if (!size_stale) return;
  size_stale = 0;
  read_size();
  shown_visible = -1;
  out.append("\x1b[0m\x1b[2J");
  cur_row = cur_col = -1;
  cur_attr = -1;
  uint8_t run[CON_COLS];
  for (int r = 0; r < vis_rows; r++) {
    const ConCell *line = mirror + r * CON_COLS;
    int c = 0;
    while (c < vis_cols) {
      if (line[c].ch == CLEARED.ch && line[c].attr == CLEARED.attr) {
        c++;
        continue;
      }
      int start = c;
      while (c < vis_cols && line[c].attr == line[start].attr) {
        run[c - start] = line[c].ch;
        c++;
      }
      emit_run(r, start, run, 0, c - start, line[start].attr);
    }
  }
}

void send_out() {
  size_t off = 0;
  // A signal may give the terminal back halfway: nothing more goes to it.
  while (off < out.size() && vt_active) {
    ssize_t w = write(STDOUT_FILENO, out.data() + off, out.size() - off);
    if (w > 0) {
      off += static_cast<size_t>(w);
    } else if (w < 0 && errno == EINTR) {
      continue;
    } else if (w < 0 && errno == EAGAIN) {
      struct pollfd p {STDOUT_FILENO, POLLOUT, 0};
      poll(&p, 1, 100);
    } else {
      break;   // the terminal is gone; nothing left to draw on
    }
  }
  out.clear();
}

}  // namespace

uint8_t vt_erase_byte() { return erase_byte; }

bool vt_open() {
  if (vt_active) return true;
  if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) return false;
  if (tcgetattr(STDIN_FILENO, &user_tio) != 0) return false;
  raw_tio = user_tio;
  raw_tio.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
  raw_tio.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL);
  raw_tio.c_cc[VMIN] = 1;
  raw_tio.c_cc[VTIME] = 0;
  erase_byte = usable_erase(user_tio.c_cc[VERASE]);
  utf8 = locale_is_utf8();
  read_size();
  size_stale = 0;
  resized_for_ui = 0;
  std::fill(std::begin(mirror), std::end(mirror), CLEARED);

  // Active before the handlers and the mode change, so no signal in between
  // can leave the terminal raw.
  vt_active = 1;
  install_handlers();
  if (!atexit_done) {
    atexit(vt_close);
    atexit_done = true;
  }
  tcsetattr(STDIN_FILENO, TCSADRAIN, &raw_tio);
  out.assign(TAKE_OVER);
  cur_row = cur_col = 0;
  cur_attr = -1;
  shown_visible = 0;
  want_visible = false;
  want_row = want_col = 0;
  send_out();
  return true;
}

void vt_close() {
  if (!vt_active) return;
  // Block the signals that give back too, so the two never interleave.
  sigset_t set = exit_signals, old;
  sigaddset(&set, SIGTSTP);
  sigaddset(&set, SIGCONT);
  pthread_sigmask(SIG_BLOCK, &set, &old);
  out.clear();
  vt_active = 0;
  write_all_raw(GIVE_BACK, sizeof GIVE_BACK - 1);
  tcsetattr(STDIN_FILENO, TCSADRAIN, &user_tio);
  restore_handlers();
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void vt_write(int row, int col, const uint8_t *cp437, int n, uint8_t attr) {
  if (!vt_active || !cp437) return;
  refresh_if_stale();
  if (row < 0 || row >= CON_ROWS || col < 0 || col >= CON_COLS || n <= 0) return;
  int k = std::min(n, CON_COLS - col);
  for (int i = 0; i < k; i++) mirror[row * CON_COLS + col + i] = ConCell{cp437[i], attr};
  if (row >= vis_rows || col >= vis_cols) return;
  emit_run(row, col, cp437, 0, std::min(n, vis_cols - col), attr);
}

void vt_fill(int row, int col, int n, uint8_t ch, uint8_t attr) {
  if (!vt_active) return;
  refresh_if_stale();
  if (row < 0 || row >= CON_ROWS || col < 0 || col >= CON_COLS || n <= 0) return;
  int cell = row * CON_COLS + col;
  int end = cell + std::min(n, CON_ROWS * CON_COLS - cell);
  std::fill(mirror + cell, mirror + end, ConCell{ch, attr});
  while (cell < end) {
    int r = cell / CON_COLS, c = cell % CON_COLS;
    int run = std::min(end - cell, CON_COLS - c);
    if (r < vis_rows && c < vis_cols) emit_run(r, c, nullptr, ch, std::min(run, vis_cols - c), attr);
    cell += run;
  }
}

void vt_cursor_to(int row, int col) {
  want_row = std::clamp(row, 0, CON_ROWS - 1);
  want_col = std::clamp(col, 0, CON_COLS - 1);
}

void vt_cursor_visible(bool visible) { want_visible = visible; }

void vt_bell() {
  if (vt_active) out.push_back('\a');
}

void vt_flush() {
  if (!vt_active) return;
  refresh_if_stale();
  if (want_visible) move_to(std::min(want_row, vis_rows - 1), std::min(want_col, vis_cols - 1));
  if (shown_visible != static_cast<int>(want_visible)) {
    out.append(want_visible ? "\x1b[?25h" : "\x1b[?25l");
    shown_visible = want_visible;
  }
  if (!out.empty()) send_out();
}

int vt_wake_fd() { return wake_pipe[0]; }

void vt_drain_wake() {
  char buf[32];
  if (wake_pipe[0] >= 0)
    while (read(wake_pipe[0], buf, sizeof buf) > 0) {
    }
}

bool vt_take_resized() {
  if (!resized_for_ui) return false;
  resized_for_ui = 0;
  refresh_if_stale();
  return true;
}
