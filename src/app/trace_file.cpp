#include "app/trace_file.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "platform/signals.h"
#include "proto/frame_trace.h"

namespace {

constexpr auto FLUSH_EVERY = std::chrono::seconds(1);
// A burst larger than this is written at once rather than at the next second.
constexpr size_t EARLY_WRITE = 1 << 20;

std::mutex trace_lock;
std::condition_variable trace_wake;
std::string pending;          // lines not yet written
bool stopping = false;
bool failed = false;
char failure[512];
std::string trace_path;
FILE *trace_out = nullptr;
bool trace_to_stderr = false;
std::thread writer;

// Called by every link, possibly on a reader thread under the link's lock:
// only copies the line.
void collect(const char *line, size_t length) {
  bool wake;
  {
    std::lock_guard<std::mutex> g(trace_lock);
    if (failed) return;
    pending.append(line, length);
    wake = pending.size() >= EARLY_WRITE;
  }
  if (wake) trace_wake.notify_one();
}

// The writer thread's one job, outside the lock.
bool write_out(const std::string &text) {
  if (text.empty()) return true;
  if (fwrite(text.data(), 1, text.size(), trace_out) == text.size() && fflush(trace_out) == 0) return true;
  int error = errno;
  std::lock_guard<std::mutex> g(trace_lock);
  failed = true;
  snprintf(failure, sizeof failure, "trace file %s cannot be written (%s); the trace has ended",
           trace_to_stderr ? "-" : trace_path.c_str(), strerror(error ? error : EIO));
  pending.clear();
  return false;
}

void writer_main() {
  plat_block_exit_signals();   // the main thread takes them
  std::string batch;
  for (;;) {
    {
      std::unique_lock<std::mutex> lk(trace_lock);
      trace_wake.wait_for(lk, FLUSH_EVERY, [] { return stopping || pending.size() >= EARLY_WRITE; });
      batch.swap(pending);
      pending.clear();
      if (stopping && batch.empty()) return;
    }
    if (!write_out(batch)) {
      frame_trace_set_sink(nullptr);
      return;
    }
    batch.clear();
  }
}

}  // namespace

bool trace_file_open(const char *path) {
  trace_to_stderr = strcmp(path, "-") == 0;
  trace_path = path;
  trace_out = trace_to_stderr ? stderr : fopen(path, "w");
  if (!trace_out) {
    snprintf(failure, sizeof failure, "trace file %s cannot be opened (%s); no trace is written", path,
             strerror(errno));
    failed = true;
    return false;
  }
  stopping = false;
  failed = false;
  try {
    writer = std::thread(writer_main);
  } catch (...) {
    if (!trace_to_stderr) fclose(trace_out);
    trace_out = nullptr;
    snprintf(failure, sizeof failure, "trace file %s: no thread to write it; no trace is written", path);
    failed = true;
    return false;
  }
  frame_trace_set_sink(collect);
  return true;
}

void trace_file_close() {
  if (!trace_out) return;
  frame_trace_set_sink(nullptr);
  {
    std::lock_guard<std::mutex> g(trace_lock);
    stopping = true;
  }
  trace_wake.notify_one();
  if (writer.joinable()) writer.join();
  if (!trace_to_stderr && fclose(trace_out) != 0 && !failed) {
    snprintf(failure, sizeof failure, "trace file %s cannot be written (%s); the trace has ended",
             trace_path.c_str(), strerror(errno));
    failed = true;
  }
  trace_out = nullptr;
}

const char *trace_file_failure() { return failed ? failure : nullptr; }
