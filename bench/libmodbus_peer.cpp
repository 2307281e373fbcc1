#include "libmodbus_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus/modbus.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <thread>

namespace {
constexpr int REGISTERS = 65536;
constexpr int UNIT = 1;
}  // namespace

bool start_libmodbus_server(LibmodbusServer *server, unsigned reply_delay_ms) {
  *server = LibmodbusServer{};
  modbus_t *ctx = modbus_new_tcp("127.0.0.1", 0);
  int listener = ctx ? modbus_tcp_listen(ctx, 1) : -1;
  if (listener < 0) {
    if (ctx) modbus_free(ctx);
    return false;
  }
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len);
  server->pid = fork();
  if (server->pid == 0) {
    // A fork without exec keeps the benchmark's signal handlers and its
    // terminal: the handlers would give the terminal back (cooked mode) on
    // the benchmark's behalf when the server is ended.
    for (int sig = 1; sig < NSIG; sig++) signal(sig, SIG_DFL);
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, STDIN_FILENO);
      dup2(null, STDOUT_FILENO);
      close(null);
    }
    modbus_mapping_t *map = modbus_mapping_new(0, 0, REGISTERS, REGISTERS);
    if (!map) _exit(1);
    for (int i = 0; i < REGISTERS; i++) {
      map->tab_registers[i] = static_cast<uint16_t>(i);
      map->tab_input_registers[i] = static_cast<uint16_t>(i);
    }
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
      if (modbus_tcp_accept(ctx, &listener) < 0) _exit(1);
      for (;;) {
        int n = modbus_receive(ctx, query);
        if (n < 0) break;
        if (n == 0) continue;   // not for this server
        if (reply_delay_ms) std::this_thread::sleep_for(std::chrono::milliseconds(reply_delay_ms));
        modbus_reply(ctx, query, n, map);
      }
      modbus_close(ctx);   // the client's socket; the listener stays
    }
  }
  close(listener);
  modbus_free(ctx);
  if (server->pid < 0) return false;
  server->port = ntohs(a.sin_port);
  return true;
}

void stop_libmodbus_server(LibmodbusServer *server) {
  if (server->pid > 0) {
    kill(server->pid, SIGTERM);
    waitpid(server->pid, nullptr, 0);
  }
  *server = LibmodbusServer{};
}

bool libmodbus_tcp_reads(int port, int first, int count, double seconds, Rate &rate) {
  modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
  if (!ctx) return false;
  if (modbus_connect(ctx) < 0) {
    modbus_free(ctx);
    return false;
  }
  modbus_set_slave(ctx, UNIT);
  uint16_t v[MODBUS_MAX_READ_REGISTERS];
  if (count > MODBUS_MAX_READ_REGISTERS) count = MODBUS_MAX_READ_REGISTERS;
  run_for(seconds, rate, [&] { return modbus_read_registers(ctx, first - 1, count, v) == count; });
  modbus_close(ctx);
  modbus_free(ctx);
  return true;
}
