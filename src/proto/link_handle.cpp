#include "proto/link_handle.h"

#include <cstdarg>
#include <cstdio>

int idle_continue(int) { return 1; }

bool link_valid(const LinkHandle *link) { return link && link->tag == LINK_TAG; }

void link_set_error(LinkHandle *link, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  vsnprintf(link->error_text, sizeof link->error_text, format, ap);
  va_end(ap);
}

WaitResult link_reply_wait(LinkHandle *link, unsigned steps, WaitPoll poll, void *context) {
  link->idle_aborted = false;
  link->wait_ended = false;
  link->wait_countdown = static_cast<int>(steps);
  WaitStep step = poll(link, context, 0);
  for (;;) {
    if (step == WAIT_STEP_DONE || link->wait_ended) return WAIT_DONE;
    if (step == WAIT_STEP_NOTHING && link->wait_countdown.fetch_sub(1) <= 0) {
      link->wait_countdown = 0;
      return WAIT_TIMED_OUT;
    }
    step = poll(link, context, LINK_WAIT_STEP_MS);
    if (step == WAIT_STEP_DONE || link->wait_ended) return WAIT_DONE;
    IdleCallback idle;
    int user;
    {
      std::lock_guard<std::mutex> g(link->lock);
      idle = link->idle ? link->idle : idle_continue;
      user = link->idle_user;
    }
    if (!idle(user)) {
      link->wait_countdown = 0;
      link->idle_aborted = true;
      link_set_error(link, "Application idle abort");
      return WAIT_ABORTED;
    }
  }
}

void end_reply_wait(LinkHandle *link) {
  link->wait_countdown = 0;
  link->wait_ended = true;
  link->reply_arrived.notify_all();
}
