// Register access interface over the program's one link (LinkHandle).
// Every operation checks the handle's validity tag first and reports success
// as nonzero; the reason of a failure stays as text in the handle.
#pragma once
#include <cstdint>

struct LinkHandle;

// The last failure's text; "" for a null or closed handle.
const char *link_error_text(LinkHandle *link);
