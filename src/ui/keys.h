// Keyboard input: key codes, the scripted-key queue, hot keys, character
// sets and the one-line field editor.
//   get_key/key_read   next key: queue first, then keyboard; hot keys run here
//   kbd_read           the keyboard alone (console stream -> KeyCode)
//   field_edit         edits a text in a fixed-width field; the field is drawn
//                      through put_field while typing and when the edit ends
//   edit_number        edits a 16-bit value as decimal digits; a number past
//                      16 bits is refused with the bell and edited again
#pragma once
#include <cstdint>
#include "ui/window.h"

typedef uint8_t KeyCode;

enum : uint8_t {
  KEY_ENTER = 13,
  KEY_ESC = 27,
  KEY_LF = 10,
  KEY_TAB = 9,
  KEY_DOWN = 0x8A,
  KEY_UP = 0x8B,
  KEY_LEFT = 0x8C,
  KEY_RIGHT = 0x8D,
  KEY_F1 = 0x91,
  KEY_F2 = 0x92,
  KEY_F3 = 0x93,
  KEY_F4 = 0x94,
  KEY_F5 = 0x95,
  KEY_F6 = 0x96,
  KEY_F7 = 0x97,
  KEY_F8 = 0x98,
  KEY_F9 = 0x99,
  KEY_F10 = 0x9A,
  KEY_HOME = 0xB1,
  KEY_END = 0xB2,
  KEY_CLEAR = 0xB3,
  KEY_CUT_END = 0xB4,
  KEY_CUT_START = 0xB5,
  KEY_WORD_RIGHT = 0xB6,
  KEY_WORD_LEFT = 0xB7,
  KEY_DEL = 0xB8,
  KEY_BACKSPACE = 0xB9,
  KEY_PGDN = 0xBA,
  KEY_PGUP = 0xBB,
};

constexpr int KEY_QUEUE_SIZE = 100;

extern bool insert_mode;

KeyCode get_key();
KeyCode key_read(int mode);
KeyCode kbd_read(int mode);
// Appends every byte of text to the scripted-key queue. Keys that do not fit
// (the queue holds 100 unread keys) are dropped; returns how many were queued.
int push_keys(const char *text);
int key_queue_count();
void key_queue_reset();
// Start state of the module: empty queue, no hot keys, insert mode on.
void keys_reset();
// Puts one key before every queued key, so that it is read next (a key read
// to look at it goes back where it was). False when the queue is full.
bool push_key_front(KeyCode key);
// A key is queued or waiting on the keyboard; nothing is read.
bool key_waiting();
// Waits up to ms for a key (queued or typed) without using the processor;
// nothing is read. True when one waits.
bool key_wait(int ms);

typedef int (*HotKeyCallback)(KeyCode key, int position);
struct HotKey {
  HotKey *next;
  HotKey *prev;
  KeyCode key;
  HotKeyCallback callback;
  bool busy;
};
HotKey *hotkey_add(KeyCode key, HotKeyCallback callback);
int hotkey_remove(KeyCode key);
void hotkey_reset();   // frees every node

struct CharSet {
  uint16_t bits[16];
};
void charset_build(const char *spec, CharSet *set);
bool charset_has(uint8_t byte, const CharSet *set);

KeyCode field_edit(char *buffer, int row, int col, int width, int fill, const char *allowed,
                   const char *terminators, FieldFlags flags);
KeyCode edit_number(uint16_t *value, int row, int col, int width, int fill, const char *terminators,
                    FieldFlags flags);
