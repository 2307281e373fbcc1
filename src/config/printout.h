// Configuration printout.
//   print_config          "Print configuration in memory" (menu 206): asks
//                         for a file or print target ("SYS$PRINT" by default;
//                         a name ending in ':' or SYS$PRINT goes to the
//                         spooler) and writes the report of memory_config
//   write_config_report   the report of one record, with the date text given
//   report_date           the local date and time as the report shows it
#pragma once
#include <cstddef>
#include <cstdio>
#include <ctime>

#include "config/modem_config.h"

void write_config_report(FILE *out, const ModemConfig &config, const char *date_text);
void report_date(char *out, size_t size, time_t when);
void print_config();

// Menu entry point.
inline void print_config_command() { print_config(); }
