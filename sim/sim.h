// Shared pieces of the simulated modem: options, clock, trace, deferred calls,
// the check sums of the wire formats and the fault counters.
//
//   g_opt                 the command-line options (filled by main)
//   g_requests            requests handled so far (any protocol)
//   now_ms()              monotonic milliseconds
//   trace_bytes(dir, what, bytes, n)   hex dump of one frame to stderr (--trace)
//   trace_chars(dir, what, text, n)    the same for text frames, control bytes escaped
//   sched_at(due, fn)     run fn from the main loop once now_ms() >= due
//   sched_run(now)        run what is due; sched_next() -> earliest due or -1
//   sched_clear()         forget everything scheduled
//   crc16_step / crc16    the CRC-16 of reflected polynomial 0xA001
//   fault_hit(counter, every)  true on every Nth call for that counter
//   exception_for(first, count)  the injected error code for a register range, 0 if none
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum class SerialProto { symax, gateway, rtu, ascii };

struct ExceptionRange {
    unsigned code;
    uint32_t first;
    uint32_t last;
};

struct SimOptions {
    std::string pty_path;        // --pty
    std::string device_path;     // --device
    int tcp_port = -1;           // --tcp (0 = let the system pick)
    SerialProto proto = SerialProto::symax;
    bool crc = false;            // Sy/Max frames carry CRC-16 instead of the BCC
    bool trace = false;
    long baud = 0;               // 0 = no pacing
    int parity = 0;              // --parity: 0 none, 1 even, 2 odd (11-bit characters)
    std::string stats_path;      // --stats: bytes each way written there at exit
    int drop = -1;               // -1 = answer every drop / slave / unit
    unsigned no_reply_every = 0;
    unsigned bad_check_every = 0;
    unsigned nak_every = 0;
    unsigned foreign_every = 0;
    unsigned stale_every = 0;
    unsigned busy_every = 0;
    unsigned wrong_unit_every = 0;      // Modbus: reply from another slave / unit
    unsigned wrong_function_every = 0;  // Modbus: reply with another function code;
                                        // gateway: an answer of the wrong kind
    unsigned reset_every = 0;           // TCP: reset the connection; RTU/ASCII: the
                                        // device restarts in the middle of a reply;
                                        // gateway: it restarts after answering
    unsigned bad_length_every = 0;      // TCP: length field past any buffer
    unsigned delay_ms = 0;
    unsigned dial_ms = 1000;
    unsigned ring_every_s = 0;
    uint32_t registers = 65536;  // registers 1..registers exist
    std::vector<ExceptionRange> exceptions;
};

extern SimOptions g_opt;
// Requests taken for an answer, of every protocol (written with --stats).
extern uint64_t g_requests;

int64_t now_ms();

void trace_bytes(const char* dir, const char* what, const uint8_t* bytes, size_t n);
void trace_chars(const char* dir, const char* what, const char* text, size_t n);
void trace_text(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

void sched_at(int64_t due, std::function<void()> fn);
void sched_run(int64_t now);
int64_t sched_next();
void sched_clear();

uint16_t crc16_step(uint16_t crc, uint8_t byte);
uint16_t crc16(const uint8_t* p, size_t n);

struct FaultCounter {
    unsigned count = 0;
};
bool fault_hit(FaultCounter& c, unsigned every);

unsigned exception_for(uint32_t first, uint32_t count);
