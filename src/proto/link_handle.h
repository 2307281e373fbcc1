// LinkHandle: the record of one open link, and what every transport shares.
//   LinkHandle        tag, transport kind, route or drop, reply time-out,
//                     idle callback, error text, lock, and an opaque channel
//                     (a serial port with its reader thread, or a socket)
//                     that only the owning transport looks into
//   link_set_error    writes the link's error text (printf-style, cut)
//   link_reply_wait   the one reply wait of every transport: a step of about
//                     10 ms at a time, the idle callback after each step
//                     (0 aborts with "Application idle abort"), and the
//                     link's countdown of steps left
//   end_reply_wait    ends the wait in progress at once (framers, any thread)
// The register interface and link open/close above dispatch on the kind;
// this layer never asks which kind a link is.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

constexpr uint32_t LINK_TAG = 0x10babeee;

// The protocol a handle speaks. Which setup kind opens which transport is
// the link layer's kinds table; the serial framing modes take these values.
enum TransportKind : int32_t {
  TRANSPORT_SYMAX = 1,
  TRANSPORT_GATEWAY = 2,
  TRANSPORT_MODBUS_RTU = 5,
  TRANSPORT_MODBUS_ASCII = 6,
  TRANSPORT_MODBUS_TCP = 8,
};

// Called about every 10 ms while a reply is awaited; 0 aborts the wait.
typedef int (*IdleCallback)(int user);

constexpr int LINK_ERROR_TEXT_SIZE = 84;
constexpr int LINK_MAX_DROPS = 8;
constexpr unsigned LINK_DEFAULT_TIMEOUT = 500;   // wait steps
constexpr int LINK_WAIT_STEP_MS = 10;            // one wait step

// Which transport owns the channel (checked by the transport's accessor).
enum ChannelKind : uint8_t { CHANNEL_NONE, CHANNEL_SERIAL, CHANNEL_SOCKET };

struct LinkHandle {
  uint32_t tag = 0;
  int32_t kind = 0;   // TransportKind
  uint16_t route_count = 0;
  uint16_t route[LINK_MAX_DROPS] = {};
  uint16_t reply_timeout = LINK_DEFAULT_TIMEOUT;
  IdleCallback idle = nullptr;
  int idle_user = 0;
  uint8_t priority = 0;
  char error_text[LINK_ERROR_TEXT_SIZE] = {};

  // The reply wait in progress. The countdown is written by the waiting
  // thread and by framers on the reader thread; a single word each.
  std::atomic<int> wait_countdown{0};
  std::atomic<bool> wait_ended{false};
  bool idle_aborted = false;   // the last reply wait was ended by its idle callback

  std::mutex lock;
  std::condition_variable reply_arrived;   // a waiter should look again

  ChannelKind channel_kind = CHANNEL_NONE;
  void *channel = nullptr;
};

// The callback every link has until another is installed.
int idle_continue(int user);
bool link_valid(const LinkHandle *link);
void link_set_error(LinkHandle *link, const char *format, ...) __attribute__((format(printf, 2, 3)));

// One step of a channel's wait: look (waiting up to max_ms for something to
// happen) and say how far the reply is.
enum WaitStep {
  WAIT_STEP_NOTHING,    // nothing came: the step counts against the time-out
  WAIT_STEP_PROGRESS,   // part of a reply came: the step is not counted
  WAIT_STEP_DONE,       // the reply is complete, or the channel has ended the wait
};
typedef WaitStep (*WaitPoll)(LinkHandle *link, void *context, int max_ms);

enum WaitResult { WAIT_DONE, WAIT_TIMED_OUT, WAIT_ABORTED };

// Waits for a reply for up to `steps` steps of about 10 ms without progress.
// The poll is called without the link's lock; so is the idle callback.
// An idle abort writes "Application idle abort" and sets idle_aborted.
WaitResult link_reply_wait(LinkHandle *link, unsigned steps, WaitPoll poll, void *context);
void end_reply_wait(LinkHandle *link);
