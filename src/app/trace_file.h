// The trace file behind --trace: the frame trace's lines (proto/frame_trace.h)
// collected in memory and written by a thread of their own once a second,
// so a link never waits for a disk; what is left is written when the trace
// is closed. "-" is standard error. A file that cannot be opened or written
// ends the trace, never the program: the reason is kept for the program to
// show.
//   trace_file_open     starts the trace; false (with the reason) when the
//                       file cannot be opened
//   trace_file_close    stops the trace and writes what is left; idempotent
//   trace_file_failure  why the trace ended early, or null
#pragma once

bool trace_file_open(const char *path);
void trace_file_close();
const char *trace_file_failure();
