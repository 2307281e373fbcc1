// Print targets: a name ending in ':' (LPT1:) or "SYS$PRINT" goes to the
// system print spooler (lp, else lpr) through a pipe; any other name is a
// regular file (made or emptied) or a character device such as a printer
// port. Null when the target cannot be opened or is anything else (a FIFO,
// a directory); the open never blocks.
#pragma once
#include <cstdio>

FILE *plat_print_open(const char *name);
// Closes what plat_print_open returned (pclose for the spooler). False when
// the file could not be completed or the spooler refused the job.
bool plat_print_close(FILE *f);
