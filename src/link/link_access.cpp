#include "link/link.h"

// Placeholder until the transports land: no link can be opened yet.
const char *link_error_text(LinkHandle *) { return ""; }
