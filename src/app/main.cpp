#include "app/app.h"
#include "app/cli.h"

int main(int argc, char **argv) {
  int status = command_line_option(argc, argv, ZL27T_VERSION);
  if (status >= 0) return status;
  return app_main(argc, argv);
}
