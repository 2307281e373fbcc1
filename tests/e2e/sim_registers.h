// The simulator's registers read back through the program's own register
// interface, once the program has let go of the port:
//   Registers         over Sy/Max, route 201
//   saved_setup / expect_answer_rings   the link the program saved in its
//                     setup file, opened again as the program opens it, and
//                     the answer-rings register (8000) it sent read back
//                     through it (the caller sets the port list first)
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "link/link.h"
#include "link/link_core.h"
#include "link/link_setup.h"
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

inline LinkSetup saved_setup(const std::string &file) {
  LinkSetup setup;
  EXPECT_EQ(file.size(), sizeof setup);
  memcpy(&setup, file.data(), file.size() < sizeof setup ? file.size() : sizeof setup);
  return setup;
}

inline void expect_answer_rings(LinkSetup setup, uint16_t rings) {
  constexpr int ANSWER_RINGS_REGISTER = 8000;
  LinkHandle *link = nullptr;
  LinkResult r = link_connect(&setup, &link);
  ASSERT_TRUE(r.ok) << r.reason;
  uint16_t got = 0;
  EXPECT_NE(link_read_registers(link, ANSWER_RINGS_REGISTER, 1, &got), 0) << link_error_text(link);
  EXPECT_EQ(got, rings);
  link_close(link);
}
