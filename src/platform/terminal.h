// Internals of the vt console shared inside src/platform, and its pure
// encoders (tested directly):
//   sgr_for_attr      console attribute byte -> SGR colour escape
//   cp437_ascii       code page 437 byte -> ASCII stand-in
//   cp437_utf8        code page 437 byte -> UTF-8 bytes
//   vt_erase_byte     the terminal's VERASE, or 0x7f
//   pkbd_reset        empties the key decoder and the fed-byte queue
#pragma once
#include <cstdint>

#include "platform/console.h"   // cp437_unicode

struct Sgr {
  char text[16];
  int len;
};
// "ESC[fg;bgm": Windows bit order (B=1, G=2, R=4) becomes ANSI (R=1, G=2,
// B=4); the intensity bit selects 90-97 / 100-107.
Sgr sgr_for_attr(uint8_t attr);

char cp437_ascii(uint8_t ch);
// Writes 1..3 bytes into out and returns how many.
int cp437_utf8(uint8_t ch, char out[4]);

// VERASE of the terminal taken over (0x7f when unknown or unusable).
uint8_t vt_erase_byte();

void pkbd_reset();

// The vt backend behind the pcon_ calls (console.cpp dispatches).
bool vt_open();
void vt_close();
void vt_write(int row, int col, const uint8_t *cp437, int n, uint8_t attr);
void vt_fill(int row, int col, int n, uint8_t ch, uint8_t attr);
void vt_cursor_to(int row, int col);
void vt_cursor_visible(bool visible);
void vt_bell();
void vt_flush();
bool vt_take_resized();
// Readable after a resize or a continue: the keyboard polls it beside the
// terminal so a signal that lands just before poll() still wakes it.
int vt_wake_fd();
void vt_drain_wake();
