// Link open, close and module identification without any screen: each
// returns its result and the reason, and the link screens (link.h) show them.
//   link_connect        opens the setup's link, or applies the setup's port
//                       settings and time-out to the link already open
//   link_close          (link.h) ends a link; 0 for a foreign handle
//   link_port_lost      the link's far end went away (reopen it afresh)
//   link_setup_port_missing   the setup names a serial port that is not in
//                       the port list (kinds without a serial port never do)
//   link_connecting_line      what the connecting window says for a setup
//   link_identify       reads the identification block and checks the name
//   link_no_link_text   why there is no link: the last open's failure
//   link_note_to_show   the link's port note, when this run has not shown it
#pragma once
#include <cstddef>

#include "link/link.h"
#include "link/link_setup.h"

constexpr int LINK_REASON_SIZE = LINK_ERROR_TEXT_SIZE;

struct LinkResult {
  int ok;                          // nonzero: done
  char reason[LINK_REASON_SIZE];   // why not; empty when ok
};

// *link null: opens the setup's kind (the setup's data bits and route count
// are brought to what the kind uses first) and stores the new link there;
// the link gets the always-continue idle callback. Then the port settings
// and time-out are applied. Failure to open: ok 0, *link stays null,
// "Unable to establish link.". Settings refused: ok 0 with the link's text,
// the link stays open. `idle` is called while a connection is being made
// (a TCP connect); a zero from it gives up. A failure to open is followed
// by its reason where one is known ("Unable to establish link. ttyS7 not
// found") and kept for link_no_link_text.
LinkResult link_connect(LinkSetup *setup, LinkHandle **link, IdleCallback idle = nullptr);
// What the screens say where a link is wanted and none is open: the reason
// the last open failed, "Unable to establish link." before any was tried.
// link_error_text answers it for a null handle.
const char *link_no_link_text();
bool link_port_lost(LinkHandle *link);
// What the link's port cannot do or its far port did not take (a remote
// port's note), once per port and text in a run: true and the text when
// that note was not handed out before.
bool link_note_to_show(LinkHandle *link, char *text, size_t size);
bool link_setup_port_missing(const LinkSetup &setup);
// False when the kind cannot be opened (nothing to show).
bool link_connecting_line(const LinkSetup &setup, char *line, size_t size);

constexpr int MODULE_NAME_SIZE = 28;   // 20 characters, " Port n", terminator

enum IdentifyOutcome {
  IDENTIFY_MATCH,          // name holds the module's name to show
  IDENTIFY_NO_BLOCK,       // the module carries no identification block
  IDENTIFY_READ_FAILED,    // reason: the link's text
  IDENTIFY_OTHER_MODULE,   // reason: "Connected module is not an <tag>"
};
struct ModuleIdentity {
  IdentifyOutcome outcome;
  char name[MODULE_NAME_SIZE];     // as shown: the name, then " Port n" when reported
  char reason[LINK_REASON_SIZE];
  int port = -1;                   // the port number the module reports, or -1
  int name_length = 0;             // of the name without the port
};
// A null or empty tag accepts every module.
ModuleIdentity link_identify(LinkHandle *link, const char *expected_tag);
