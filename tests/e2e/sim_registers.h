// The simulator's registers read back through the program's own register
// interface, once the program has let go of the port (Sy/Max, route 201).
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "link/link.h"
#include "proto/serial.h"

class Registers {
 public:
  explicit Registers(const std::string &port) {
    const uint16_t route[1 + 8] = {1, 201};
    link_ = open_symax_serial(port.c_str(), 0, route);
    if (link_) link_set_port(link_, 9600, 1, 1, 100, 8);
  }
  ~Registers() {
    if (link_) link_close(link_);
  }
  Registers(const Registers &) = delete;
  Registers &operator=(const Registers &) = delete;
  bool open() const { return link_ != nullptr; }
  uint16_t operator[](int reg) const {
    uint16_t v = 0xDEAD;
    EXPECT_TRUE(link_ && link_read_registers(link_, reg, 1, &v))
        << "register " << reg << ": " << (link_ ? link_error_text(link_) : "no link");
    return v;
  }

 private:
  LinkHandle *link_ = nullptr;
};
