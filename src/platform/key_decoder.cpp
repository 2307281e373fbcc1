// The key decoder: terminal input bytes -> the PC console key stream. No
// clock and no system call inside; every system's keyboard shares it.
#include <cstdlib>
#include <string_view>

#include "platform/keyboard.h"

namespace {

struct KeySeq {
  std::string_view seq;   // after the leading Esc
  uint8_t scan;
};

// Unmodified keys as xterm, VT220, the Linux console, rxvt and tmux send
// them. Modified forms (ESC[1;5H, ESC[5;2~, rxvt's ESC[7^) are reduced to
// these by decode_modified.
constexpr KeySeq KEY_TABLE[] = {
    {"OP", SC_F1},     {"OQ", SC_F2},     {"OR", SC_F3},      {"OS", SC_F4},       // xterm
    {"[[A", SC_F1},    {"[[B", SC_F2},    {"[[C", SC_F3},     {"[[D", SC_F4},      // Linux
    {"[[E", SC_F5},                                                                // Linux
    {"[11~", SC_F1},   {"[12~", SC_F2},   {"[13~", SC_F3},    {"[14~", SC_F4},     // VT220, rxvt
    {"[15~", SC_F5},   {"[17~", SC_F6},   {"[18~", SC_F7},    {"[19~", SC_F8},
    {"[20~", SC_F9},   {"[21~", SC_F10},
    {"[A", SC_UP},     {"[B", SC_DOWN},   {"[C", SC_RIGHT},   {"[D", SC_LEFT},     // normal mode
    {"OA", SC_UP},     {"OB", SC_DOWN},   {"OC", SC_RIGHT},   {"OD", SC_LEFT},     // application mode
    {"[H", SC_HOME},   {"OH", SC_HOME},   {"[1~", SC_HOME},   {"[7~", SC_HOME},    // xterm, tmux, rxvt
    {"[F", SC_END},    {"OF", SC_END},    {"[4~", SC_END},    {"[8~", SC_END},
    {"[2~", SC_INS},   {"[3~", SC_DEL},   {"[5~", SC_PGUP},   {"[6~", SC_PGDN},
};

// Longer than any key we know: the rest of such a sequence is swallowed
// without being kept.
constexpr size_t MAX_SEQ = 16;

// Esc and one of these opens a control string: OSC "]" (colour and title
// reports), DCS "P" (status and capability reports), SOS "X", PM "^" and
// APC "_". Terminals send them in answer to queries and pastes carry them.
// Their 8-bit forms (0x90, 0x9D...) are not taken: bytes from 0x80 are
// pieces of UTF-8 characters here, also inside a string.
constexpr std::string_view STRING_INTRODUCERS = "]PX^_";
constexpr uint8_t BEL = 0x07, CAN = 0x18, SUB = 0x1a;

enum Match { NO_MATCH, PARTIAL, COMPLETE };

bool is_param(uint8_t b) { return b >= 0x20 && b <= 0x3F; }   // parameters, intermediates
bool is_final(uint8_t b) { return b >= 0x40 && b <= 0x7E; }

int table_lookup(std::string_view body, bool &prefix) {
  prefix = false;
  for (const KeySeq &k : KEY_TABLE) {
    if (k.seq == body) return k.scan;
    if (k.seq.size() > body.size() && k.seq.substr(0, body.size()) == body) prefix = true;
  }
  return -1;
}

bool is_cursor_key(int scan) { return scan >= SC_HOME && scan <= SC_DEL; }

// A key with a modifier parameter (xterm ";N", rxvt's final ^ $ @). The PC
// console delivers Shift with a cursor or editing key as the key itself and
// Ctrl-Home/Ctrl-End as keys of their own; every other combination is a
// scan code the key layer ignores, so it is dropped here.
int decode_modified(std::string_view body) {
  char intro = body[0];
  char final = body.back();
  std::string_view params = body.substr(1, body.size() - 2);
  int mod = 1;
  if (intro == '[' && (final == '^' || final == '$' || final == '@')) {
    mod = final == '^' ? 5 : final == '$' ? 2 : 6;
    final = '~';
  } else {
    size_t semi = params.find(';');
    if (semi == std::string_view::npos) return -1;
    std::string_view m = params.substr(semi + 1);
    if (m.empty() || m.size() > 3) return -1;
    mod = 0;
    for (char c : m) {
      if (c < '0' || c > '9') return -1;
      mod = mod * 10 + (c - '0');
    }
    params = params.substr(0, semi);
  }
  // The unmodified sequence: letters lose a leading "1", ~ keys keep their number.
  // Built by appending: GCC 12 at -O3 takes string concatenation and assignment
  // here for overlapping copies inside libstdc++ (-Wrestrict).
  std::string base(1, '[');
  if (final == '~') {
    base.append(params);
  } else {
    if (!(params.empty() || params == "1")) return -1;
    if (final >= 'P' && final <= 'S') base[0] = 'O';
  }
  base += final;
  bool prefix;
  int scan = table_lookup(base, prefix);
  if (scan < 0) return -1;
  if (mod == 1) return scan;
  if (mod == 2 && is_cursor_key(scan)) return scan;
  if (mod == 5 && scan == SC_HOME) return SC_CTRL_HOME;
  if (mod == 5 && scan == SC_END) return SC_CTRL_END;
  return -1;
}

// Matches the pending sequence (Esc included). On COMPLETE, scan is the key
// or -1 when the sequence means nothing here.
Match match_pending(const std::string &pending, int &scan) {
  scan = -1;
  std::string_view body(pending);
  body.remove_prefix(1);
  if (body.empty()) return PARTIAL;
  bool prefix;
  scan = table_lookup(body, prefix);
  if (scan >= 0) return COMPLETE;
  if (prefix) return PARTIAL;
  // By structure: parameters, then one final byte.
  for (size_t i = 1; i < body.size(); i++) {
    auto b = static_cast<uint8_t>(body[i]);
    if (is_param(b)) continue;
    if (is_final(b) && i == body.size() - 1) scan = decode_modified(body);
    return COMPLETE;
  }
  return PARTIAL;
}

void push_scan(KeyDecoder &kd, int scan) {
  if (scan <= 0) return;
  kd.out.push_back(KBD_EXTENDED_PREFIX);
  kd.out.push_back(static_cast<uint8_t>(scan));
}

void feed_plain(KeyDecoder &kd, uint8_t byte, uint64_t now_ms) {
  if (byte == 0x1b) {
    kd.pending.assign(1, '\x1b');
    kd.pending_since = now_ms;
  } else if (byte == kd.erase_byte) {
    kd.out.push_back(8);
  } else if (byte == 0 || byte >= 0x80) {
    // 0 would read as the start of an extended key; bytes from 0x80 are
    // pieces of multi-byte characters no field takes.
  } else {
    kd.out.push_back(byte);
  }
}

// One byte inside a control string: nothing of it is a key.
void feed_string(KeyDecoder &kd, uint8_t byte, uint64_t now_ms) {
  kd.string_last = now_ms;
  if (byte == 0x1b) {
    // Esc "\" is ST; Esc and anything else ends the string as well and
    // starts a sequence of its own, as a terminal reads it.
    kd.in_string = false;
    kd.pending.assign(1, '\x1b');
    kd.pending_since = now_ms;
    kd.string_esc = true;
    return;
  }
  // BEL ends an OSC in xterm's form; CAN and SUB cancel any string.
  if (byte == BEL || byte == CAN || byte == SUB) {
    kd.in_string = false;
    return;
  }
  // A string that never ends must not eat the keyboard for good.
  if (++kd.string_length >= MAX_CONTROL_STRING) kd.in_string = false;
}

}  // namespace

void kd_tick(KeyDecoder &kd, uint64_t now_ms) {
  if (kd.in_string) {
    // Its bytes stopped coming: cut off, or Alt with ] P X ^ _ typed. It
    // ends unseen; the next byte is a key again.
    if (now_ms - kd.string_last >= static_cast<uint64_t>(ESC_SETTLE_MS)) kd.in_string = false;
    return;
  }
  if (kd.pending.empty() || now_ms - kd.pending_since < static_cast<uint64_t>(ESC_SETTLE_MS)) return;
  // A lone Esc is the key, unless it came inside a string: then it is an ST
  // cut short.
  if (kd.pending.size() == 1 && !kd.string_esc) kd.out.push_back(27);
  kd.pending.clear();
  kd.string_esc = false;
}

int kd_wait_ms(const KeyDecoder &kd, uint64_t now_ms) {
  if (kd.pending.empty()) return -1;
  uint64_t age = now_ms - kd.pending_since;
  return age >= static_cast<uint64_t>(ESC_SETTLE_MS) ? 0 : ESC_SETTLE_MS - static_cast<int>(age);
}

void kd_feed(KeyDecoder &kd, uint8_t byte, uint64_t now_ms) {
  kd_tick(kd, now_ms);
  if (kd.in_string) {
    feed_string(kd, byte, now_ms);
    return;
  }
  if (kd.pending.empty()) {
    feed_plain(kd, byte, now_ms);
    return;
  }
  if (kd.pending.size() == 1) {
    bool string_terminator = kd.string_esc && byte == '\\';
    kd.string_esc = false;
    if (string_terminator) {
      kd.pending.clear();
      return;
    }
    if (STRING_INTRODUCERS.find(static_cast<char>(byte)) != std::string_view::npos) {
      kd.pending.clear();
      kd.in_string = true;
      kd.string_length = 0;
      kd.string_last = now_ms;
      return;
    }
  }
  if (kd.pending.size() == 1 && byte != '[' && byte != 'O') {
    // Esc and then a key that starts no sequence (typed fast, pasted, or Alt
    // with a key): both are keys, so scripted input never loses one.
    kd.out.push_back(27);
    kd.pending.clear();
    feed_plain(kd, byte, now_ms);
    return;
  }
  if (byte < 0x20 || byte >= 0x7f) {
    // A control byte cuts the sequence short; it still counts as typed.
    kd.pending.clear();
    feed_plain(kd, byte, now_ms);
    return;
  }
  if (kd.pending.size() < MAX_SEQ)
    kd.pending.push_back(static_cast<char>(byte));
  else if (!is_final(byte))
    return;   // too long: swallowed until its final byte
  else
    kd.pending.back() = static_cast<char>(byte);   // ends as an unknown sequence
  int scan;
  if (match_pending(kd.pending, scan) == COMPLETE) {
    push_scan(kd, scan);
    kd.pending.clear();
  }
}
