// The simulator's serial port: a pty it creates (the far end opens the linked
// slave path) or an existing tty; output is queued and, with --baud, paced at
// the line's character time.
//
//   port_open_pty(link_path, err)   posix_openpt, raw slave, symlink link_path -> slave
//   port_open_device(path, err)     an existing tty in raw mode
//   port_close()                    closes, removes the symlink it made
//   port_set_receiver(fn)           fn(bytes, n) gets every received chunk
//   port_send(bytes, n)             queue output
//   port_drain_time()               ms when the queued output will have left
//   port_poll_fd(events)            fd and events to poll, or -1 (port resting)
//   port_service(now, revents)      read / write as poll said
//   port_next_due(now)              next time the port needs a call, or -1
//   port_capture(sink)              tests: output goes to *sink instead (null: off)
//   port_write_stats(path)          "rx N tx M requests K": bytes read and written,
//                                   requests handled (no path: nothing)
//
// With --baud, received bytes reach the receiver only once a line at that
// speed would have carried them (the writer on a pty gives them all at once).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

int port_open_pty(const std::string& link_path, std::string& err);
int port_open_device(const std::string& path, std::string& err);
void port_close();
const std::string& port_name();
void port_set_receiver(void (*fn)(const uint8_t*, size_t));
void port_send(const uint8_t* bytes, size_t n);
int64_t port_drain_time();
int port_poll_fd(short& events);
void port_service(int64_t now, short revents);
int64_t port_next_due(int64_t now);
void port_capture(std::vector<uint8_t>* sink);
void port_write_stats(const std::string& path);
