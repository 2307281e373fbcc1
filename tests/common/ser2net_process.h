// ser2net as a child process in front of a serial device (a zl27t-sim pty):
// a config file of its own with a raw TCP and an RFC 2217 accepter on free
// loopback ports, started with -n, awaited until both ports take
// connections, ended by PID.
#pragma once
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

class Ser2netProcess {
 public:
  static bool available() { return system("command -v ser2net >/dev/null 2>&1") == 0; }

  // `options` go under each connection's options: (YAML lines, indented by us).
  bool start(const std::string &device, const std::string &options = "") {
    char dir_template[] = "/tmp/zl27t-ser2net-XXXXXX";
    if (!mkdtemp(dir_template)) return false;
    dir_ = dir_template;
    config_ = dir_ + "/ser2net.yaml";
    raw_port_ = free_port();
    telnet_port_ = free_port();
    std::ofstream f(config_);
    for (int i = 0; i < 2; i++) {
      f << "connection: &" << (i ? "telnet" : "raw") << "\n";
      f << "  accepter: " << (i ? "telnet(rfc2217),tcp,127.0.0.1," : "tcp,127.0.0.1,")
        << (i ? telnet_port_ : raw_port_) << "\n";
      f << "  connector: serialdev," << device << ",9600n81,local\n";
      f << "  options:\n    kickolduser: true\n";
      if (!options.empty()) f << options;
    }
    f.close();
    return launch();
  }

  // Started again on the same ports, as a server that comes back.
  bool restart() {
    kill_now();
    return launch();
  }

  // Until no connection is left on either port: ser2net lets the device go
  // only after it has closed the last one, and answers "already in use"
  // until then. It lets the device go a little after the socket and tells
  // no one: that moment alone is waited out.
  bool await_idle() {
    constexpr auto DEVICE_RELEASE = std::chrono::milliseconds(100);
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < give_up) {
      if (use_of(raw_port_).connected == 0 && use_of(telnet_port_).connected == 0) {
        std::this_thread::sleep_for(DEVICE_RELEASE);
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  void kill_now() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  std::string raw_name() const { return "socket://127.0.0.1:" + std::to_string(raw_port_); }
  std::string telnet_name() const { return "rfc2217://127.0.0.1:" + std::to_string(telnet_port_); }
  int raw_port() const { return raw_port_; }

  ~Ser2netProcess() {
    kill_now();
    if (!config_.empty()) unlink(config_.c_str());
    if (!dir_.empty()) rmdir(dir_.c_str());
  }

 private:
  static int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), len) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
      port = ntohs(a.sin_port);
    close(fd);
    return port;
  }

  // The kernel's socket table, read directly (a connection would make
  // ser2net open the device): how many sockets on `port` are listening, and
  // how many are in any other state but closed.
  struct PortUse {
    int listening = 0, connected = 0;
  };
  static PortUse use_of(int port) {
    PortUse use;
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
      std::ifstream f(table);
      std::string line;
      std::getline(f, line);   // the heading
      while (std::getline(f, line)) {
        char local[64] = {}, remote[64] = {};
        unsigned state = 0;
        if (sscanf(line.c_str(), " %*d: %63s %63s %x", local, remote, &state) != 3) continue;
        const char *colon = strrchr(local, ':');
        if (!colon || static_cast<int>(strtoul(colon + 1, nullptr, 16)) != port) continue;
        constexpr unsigned TCP_TIME_WAIT = 6, TCP_CLOSE = 7, TCP_LISTEN = 10;
        if (state == TCP_LISTEN)
          use.listening++;
        else if (state != TCP_TIME_WAIT && state != TCP_CLOSE)
          use.connected++;
      }
    }
    return use;
  }
  static bool listening(int port) { return use_of(port).listening > 0; }

  bool launch() {
    pid_ = fork();
    if (pid_ == 0) {
      int null = open("/dev/null", O_WRONLY);
      if (null >= 0) {
        dup2(null, 1);
        dup2(null, 2);
      }
      execlp("ser2net", "ser2net", "-n", "-c", config_.c_str(), static_cast<char *>(nullptr));
      _exit(127);
    }
    if (pid_ < 0) return false;
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < give_up) {
      if (listening(raw_port_) && listening(telnet_port_)) return true;
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  pid_t pid_ = -1;
  int raw_port_ = -1, telnet_port_ = -1;
  std::string dir_, config_;
};
