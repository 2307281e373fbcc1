// Remote serial ports (socket://HOST:PORT, rfc2217://HOST:PORT) typed in the
// program, kept in a text file beside the setup file, one name per line, so
// that the setup's port indexes name the same ports at the next start. The
// 150-byte setup file itself is unchanged.
//
// The port list's order: the entries of ZL27T_PORTS, then the kept remote
// ports in the file's order, then the local ports the system lists, then the
// remote ports typed in this run and not kept yet. Kept ports thus sit before
// the local ones, whose number changes as adapters come and go. Typed ports
// are kept when the setup is saved: the file is written first (through a
// temporary file renamed over it), the list takes the next start's order and
// the setup's two port indexes follow their ports (remote_ports_keep).
//   remote_ports_path_for  "DIR/ZL27TSW.STP" -> "DIR/ZL27TSW.PORTS"
//   set_remote_ports_file  the file refresh_serial_ports reads and the save
//                          writes ("": none, nothing is kept)
//   remote_ports_read      the usable names of a file, in order
//   compose_port_list      the list from its four parts, without duplicates
//   remote_port_add        a typed name into the port list; its index
//   remote_ports_pending   whether typed ports wait to be kept
//   remote_ports_keep      writes the file and re-orders list and setup
//   set_local_ports_dir    where the local ports are listed from (tests)
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "link/link_setup.h"

std::string remote_ports_path_for(const char *setup_path);
// /sys/class/tty unless a test names a directory of its own; null: the system's.
void set_local_ports_dir(const char *sys_tty_dir);
void set_remote_ports_file(const std::string &path);
const std::string &remote_ports_file();

// Blank lines, lines starting with '#' and lines that are no remote port
// are left out, as are repeats; at most MAX_SERIAL_PORTS names.
std::vector<std::string> remote_ports_read(const std::string &path);

std::vector<std::string> compose_port_list(const std::vector<std::string> &env, const std::vector<std::string> &kept,
                                           const std::vector<std::string> &local,
                                           const std::vector<std::string> &typed, size_t max_ports);

// refresh_serial_ports' list: ZL27T_PORTS, the kept ports (read from the
// file again), the local ports, the typed ones.
std::vector<std::string> remote_ports_compose_list();

enum RemoteAddResult {
  REMOTE_ADDED,    // a new entry at the list's end
  REMOTE_LISTED,   // the list had it already: its index
  REMOTE_REFUSED,  // *why says why (the name, or a full list)
};
// Blanks around the name are dropped and the prefix may be typed in capitals.
RemoteAddResult remote_port_add(const char *typed, uint16_t *index, const char **why);

bool remote_ports_pending();

enum RemoteKeepResult {
  REMOTE_KEPT,         // the file holds them; list and record re-ordered
  REMOTE_KEEP_FAILED,  // the file could not be written: the ports stay for
                       // this run, and *record's indexes that name them get
                       // REMOTE_PORT_UNKEPT
};
// What a setup file gets for a port that cannot be named at the next start:
// no list is that long, so start-up asks for the link again.
constexpr uint16_t REMOTE_PORT_UNKEPT = MAX_SERIAL_PORTS;
// Writes the kept and typed names; on success re-orders serial_port_list to
// the next start's order and translates link_setup's port and term_port
// (and *record's, the image about to be written) by name.
RemoteKeepResult remote_ports_keep(LinkSetup *record);
