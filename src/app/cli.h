// The command line's own options. "--help" or "--version" as the first
// argument prints its text on standard output and ends the program before
// the console is taken over, so it works in a pipe and leaves a terminal as it
// was. Every other command line is a keystroke script (app.h).
//   command_line_option   exit status of the option, or -1 to run the program
#pragma once

// version: the program's version number, printed by --version.
int command_line_option(int argc, char **argv, const char *version);
