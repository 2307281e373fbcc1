// Keyboard seam: turns terminal input bytes into the console key stream the
// key layer expects: plain bytes, or 0xE0 followed by a PC scan code
// (F1-F10 0x3B-0x44, Home 0x47, Up 0x48, PgUp 0x49, Left 0x4B, Right 0x4D,
// End 0x4F, Down 0x50, PgDn 0x51, Ins 0x52, Del 0x53, Ctrl-End 0x75,
// Ctrl-Home 0x77). The terminal's erase byte (VERASE) arrives as 8.
//
// KeyDecoder has no clock: it is fed bytes and the time separately, so a lone
// Esc is settled by kd_tick() once ESC_SETTLE_MS passed with no further byte.
// Esc followed in time by a byte that starts no sequence gives both bytes
// (Alt-x arrives as Esc, x). Shift with a cursor or editing key is the key
// itself; other modified keys, unknown or cut sequences, NUL and non-ASCII
// bytes are dropped whole, so no piece of them reaches a field.
//
// Control strings (Esc and then "]" OSC, "P" DCS, "X" SOS, "^" PM or "_" APC)
// are terminal answers to queries or pieces of a paste, never keys: each is
// swallowed whole up to BEL or ST (Esc \), also across reads, and ends
// unseen once it is MAX_CONTROL_STRING bytes long or no byte of it came for
// ESC_SETTLE_MS.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

constexpr int ESC_SETTLE_MS = 50;
constexpr size_t MAX_CONTROL_STRING = 1024;

// The stream's extended keys: a prefix byte, then the PC scan code. The
// decoder writes KBD_EXTENDED_PREFIX; readers take the older console's zero
// prefix the same way.
constexpr uint8_t KBD_EXTENDED_PREFIX = 0xE0;
constexpr uint8_t KBD_OLD_EXTENDED_PREFIX = 0;
enum : uint8_t {
  SC_F1 = 0x3B, SC_F2, SC_F3, SC_F4, SC_F5, SC_F6, SC_F7, SC_F8, SC_F9, SC_F10,
  SC_HOME = 0x47, SC_UP = 0x48, SC_PGUP = 0x49, SC_LEFT = 0x4B, SC_RIGHT = 0x4D,
  SC_END = 0x4F, SC_DOWN = 0x50, SC_PGDN = 0x51, SC_INS = 0x52, SC_DEL = 0x53,
  SC_CTRL_END = 0x75, SC_CTRL_HOME = 0x77,
};

struct KeyDecoder {
  std::string pending;          // bytes of an escape sequence not yet complete
  uint64_t pending_since = 0;   // time of the first pending byte
  uint8_t erase_byte = 0x7f;    // VERASE of the terminal
  std::deque<uint8_t> out;      // decoded console key stream
  // A control string being swallowed.
  bool in_string = false;
  size_t string_length = 0;     // its bytes so far
  uint64_t string_last = 0;     // time of its last byte
  bool string_esc = false;      // the pending Esc came inside a string
};

void kd_feed(KeyDecoder &kd, uint8_t byte, uint64_t now_ms);
// Settles a pending sequence once it is older than ESC_SETTLE_MS: a lone Esc
// becomes Esc; an unknown or cut sequence is dropped.
void kd_tick(KeyDecoder &kd, uint64_t now_ms);
// Milliseconds until kd_tick would settle something, or -1 when nothing waits.
int kd_wait_ms(const KeyDecoder &kd, uint64_t now_ms);

// The console keyboard (vt backend reads the terminal; memory backend reads
// bytes given by pkbd_feed). Both return the decoded stream byte by byte.
bool pkbd_hit();           // a byte of the stream is waiting (does not block long)
int pkbd_getch();          // waits for the next byte of the stream
// Waits up to timeout_ms for a byte of the stream without spinning (the vt
// backend sleeps in poll); true when one is waiting. The memory backend
// answers at once, as pkbd_hit does.
bool pkbd_wait(int timeout_ms);
// Waits up to timeout_ms (-1: no limit) for a key or for fd (-1: none) to be
// readable or hung up, both at once, without spinning; sends the console's
// output first. Answers KBD_KEY and KBD_FD for what is ready (0: the time ran
// out). The memory backend answers at once for its keys.
constexpr int KBD_KEY = 1, KBD_FD = 2;
int pkbd_wait_fd(int fd, int timeout_ms);
// Memory backend: queue raw terminal bytes as if typed (a trailing Esc counts
// as settled: the fed bytes are all there is). When the memory
// backend has nothing left, pkbd_getch returns Esc (27) so a test that
// under-feeds keys backs out instead of hanging.
void pkbd_feed(const std::string &bytes);
