// The modem's register model: 65,536 16-bit registers, 1-based.
//
//   device_init(now)              default configuration, identification block, idle line
//   device_set_name(text)         registers 8177-8186: 20 characters, blank padded
//   device_preset(reg, value)     --set: a live register set so stays at that value
//   device_exists(first, count)   all of first..first+count-1 within the device
//   device_read(reg)              current value (live registers are kept fresh by tick)
//   device_write(reg, value)      a write from the wire: register 1 bit 0 dials / hangs up;
//                                 status, live and identification registers ignore writes
//   device_tick(now)              advances the line, the rings and the signal values
//   device_next_due(now)          when the next tick is wanted
//   device_event(what, now)       a line event of the test script: "ring" (a call
//                                 rings, answered after S0 rings when auto answer
//                                 is on), "off-hook" (the line is seized without
//                                 dialing), "hang-up"; false for anything else
#pragma once

#include <cstdint>
#include <string_view>

enum : uint32_t {
    REG_CONTROL = 1,
    REG_STATUS = 2,
    REG_PORT_RATE = 3,
    REG_LINE_RATE = 4,
    REG_NUMBER_POINTER = 5,
    REG_CONFIG_ERRORS = 6,
    REG_PASSWORD = 7,
    REG_LAST_PASSWORD = 8,
    REG_SIGNAL_LEVEL = 2060,
    REG_SIGNAL_QUALITY = 2075,
    REG_S0 = 8000,
    REG_RING_COUNT = 8001,
    REG_ID_PORT = 8176,
    REG_ID_NAME = 8177,
    REG_CTS = 8187,
    REG_ID_SIGNATURE = 8188,
};

void device_init(int64_t now);
void device_set_name(std::string_view text);
void device_preset(uint32_t reg, uint16_t value);
bool device_exists(uint32_t first, uint32_t count);
uint16_t device_read(uint32_t reg);
void device_write(uint32_t reg, uint16_t value);
void device_tick(int64_t now);
int64_t device_next_due(int64_t now);
bool device_event(std::string_view what, int64_t now);
