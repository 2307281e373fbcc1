// The frame trace: one line for every frame that goes out or comes in, on
// every link kind, handed to a sink that the program installs (the trace
// file). Each framer calls the hook where a frame has been sent or received
// whole; with no sink installed the hook is one load and a branch.
//   frame_trace_set_sink   installs the sink (null: tracing off) and starts
//                          the clock the lines are timed by
//   frame_trace_on         a sink is installed
//   frame_trace            formats one frame's line and hands it to the sink
//   frame_trace_format     the line itself: milliseconds since the clock
//                          started (0.1 ms), tx or rx, the link kind, the
//                          bytes in hex and a short decoding, then "\n"
//   TraceBuffer            the bytes of a frame collected one at a time
//                          (serial framers), bounded; bytes past the bound
//                          are counted and the line says how many
// The sink may be called from a link's reader thread, under the link's lock:
// it must only copy the line away.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

enum TraceDirection : uint8_t { TRACE_TX, TRACE_RX };
enum TraceLink : uint8_t { TRACE_SYMAX, TRACE_GATEWAY, TRACE_RTU, TRACE_ASCII, TRACE_TCP };

typedef void (*TraceSink)(const char *line, size_t length);

extern std::atomic<TraceSink> frame_trace_sink;
inline bool frame_trace_on() { return frame_trace_sink.load(std::memory_order_relaxed) != nullptr; }

void frame_trace_set_sink(TraceSink sink);
void frame_trace(TraceDirection dir, TraceLink link, const uint8_t *bytes, size_t n, size_t lost = 0);

// The longest line: time, kind, 3 characters per byte, the decoding.
constexpr size_t TRACE_BYTES_MAX = 600;
constexpr size_t TRACE_LINE_MAX = 64 + 3 * TRACE_BYTES_MAX + 160;
// Writes the line into out (TRACE_LINE_MAX bytes) and returns its length.
size_t frame_trace_format(char *out, double ms, TraceDirection dir, TraceLink link, const uint8_t *bytes, size_t n,
                          size_t lost = 0);

struct TraceBuffer {
  uint8_t bytes[TRACE_BYTES_MAX];
  uint16_t length = 0;
  uint32_t lost = 0;
};
inline void trace_collect(TraceBuffer &b, uint8_t byte) {
  if (b.length < TRACE_BYTES_MAX)
    b.bytes[b.length++] = byte;
  else
    b.lost++;
}
// The collected frame's line (nothing when empty); the buffer starts afresh.
void trace_emit(TraceBuffer &b, TraceDirection dir, TraceLink link);
