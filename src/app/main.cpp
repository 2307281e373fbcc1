#include <cstdio>

#include "app/app.h"
#include "app/cli.h"
#include "app/commands.h"
#include "app/trace_file.h"

int main(int argc, char **argv) {
  int status = command_line_option(argc, argv, ZL27T_VERSION);
  if (status >= 0) return status;
  ProgramArgs args;
  std::string error;
  if (!parse_program_args(argc, argv, &args, &error)) return usage_error(error);
  // A trace that cannot be written is reported and the run goes on without.
  bool tracing = false;
  if (!args.trace_path.empty()) {
    tracing = trace_file_open(args.trace_path.c_str());
    if (!tracing) fprintf(stderr, "zl27t: %s\n", trace_file_failure());
  }
  if (args.command != CMD_NONE) {
    status = run_command(args);
  } else {
    const char *setup = args.setup_path.empty() ? "ZL27TSW.STP" : args.setup_path.c_str();
    status = app_main(static_cast<int>(args.script.size()), args.script.data(), setup);
  }
  trace_file_close();
  if (tracing && trace_file_failure()) fprintf(stderr, "zl27t: %s\n", trace_file_failure());
  return status;
}
