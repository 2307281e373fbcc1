// A pty pair for tests that open a port by its path: the master end stays
// with the test, the slave's name is the port.
#pragma once
#include <pty.h>
#include <unistd.h>

#include <string>

struct PtyPair {
  int master = -1, slave = -1;
  std::string path;
  PtyPair() {
    char name[128];
    if (openpty(&master, &slave, name, nullptr, nullptr) == 0) path = name;
  }
  ~PtyPair() {
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
  }
  PtyPair(const PtyPair &) = delete;
  PtyPair &operator=(const PtyPair &) = delete;
};
