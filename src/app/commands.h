// The command-line face: the commands that fetch, send, read, write,
// identify and print without the full screen, and the options of the run
// (link overrides, trace, setup file). It draws nothing and needs no
// terminal: values go to standard output, messages to standard error, and
// the exit status says how it went (CLI_OK, CLI_FAILED, CLI_USAGE). It
// calls the register interface, transfer, file and printout code that the
// menus call.
//   parse_program_args   the whole command line -> ProgramArgs; every
//                        argument that is not one of the options stays a
//                        keystroke script for the full-screen program
//   run_command          the command of a parsed command line
// A usage error is one line on standard error ending with a pointer to
// --help.
#pragma once
#include <string>
#include <vector>

enum CliStatus { CLI_OK = 0, CLI_FAILED = 1, CLI_USAGE = 2 };

enum CliCommand { CMD_NONE, CMD_FETCH, CMD_SEND, CMD_IDENTIFY, CMD_READ, CMD_WRITE, CMD_PRINT, CMD_PORTS };
enum CliFormat { FORMAT_TEXT, FORMAT_CSV, FORMAT_JSON };

struct LinkOverrides {
  int kind = -1;            // LinkKind
  std::string device;       // serial port: list name or path
  int baud = -1;            // baud-rate index
  int parity = -1;          // 0 none, 1 even, 2 odd
  int data_bits = -1;       // 0 = 7, 1 = 8
  int stop_bits = -1;       // 0 = 1, 1 = 2
  std::vector<unsigned> route;   // drops; empty: the setup's
  std::string host;
  int tcp_port = -1;
  int timeout = -1;         // 10-ms steps
  bool any() const;
};

struct ProgramArgs {
  CliCommand command = CMD_NONE;
  std::string command_arg;        // FILE, FIRST[-LAST] or REG=VALUE,...
  std::string setup_path;         // empty: ZL27TSW.STP in the current directory
  std::string trace_path;         // empty: no trace
  CliFormat format = FORMAT_TEXT;
  bool input_registers = false;
  bool force = false;
  LinkOverrides link;
  std::vector<char *> script;     // the program name, then the keystroke script
};

// False on a usage error, with its one-line message (without "zl27t: ").
bool parse_program_args(int argc, char **argv, ProgramArgs *args, std::string *error);
// Prints a usage error as the program does.
int usage_error(const std::string &message);
int run_command(const ProgramArgs &args);
