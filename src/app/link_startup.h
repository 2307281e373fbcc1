// Start-up's link.
//   load_link_setup    reads the setup file into link_setup; where it is
//                      missing or short (the default record then) or names
//                      a port no longer listed, says so and runs the link
//                      dialog, else opens the link; then registers F1 for
//                      the screen print. Returns link_handle.
#pragma once

struct LinkHandle;

LinkHandle *load_link_setup(const char *file_name);
