#include "sim.h"

#include <array>
#include <chrono>
#include <cstdarg>
#include <cstdio>

SimOptions g_opt;
uint64_t g_requests = 0;

int64_t now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void trace_bytes(const char* dir, const char* what, const uint8_t* bytes, size_t n)
{
    if (!g_opt.trace)
        return;
    std::string line;
    char buf[8];
    for (size_t i = 0; i < n; ++i) {
        snprintf(buf, sizeof buf, " %02X", bytes[i]);
        line += buf;
    }
    fprintf(stderr, "sim %s %-8s%s\n", dir, what, line.c_str());
}

void trace_chars(const char* dir, const char* what, const char* text, size_t n)
{
    if (!g_opt.trace)
        return;
    std::string line;
    char buf[8];
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\r')
            line += "\\r";
        else if (c == '\n')
            line += "\\n";
        else if (c < 0x20 || c >= 0x7F) {
            snprintf(buf, sizeof buf, "\\x%02X", c);
            line += buf;
        } else
            line += static_cast<char>(c);
    }
    fprintf(stderr, "sim %s %-8s %s\n", dir, what, line.c_str());
}

void trace_text(const char* fmt, ...)
{
    if (!g_opt.trace)
        return;
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    fprintf(stderr, "sim -- %s\n", buf);
}

namespace {

struct Deferred {
    int64_t due;
    uint64_t order;
    std::function<void()> fn;
};

std::vector<Deferred> g_deferred;
uint64_t g_order;

} // namespace

void sched_at(int64_t due, std::function<void()> fn)
{
    g_deferred.push_back({due, g_order++, std::move(fn)});
}

void sched_run(int64_t now)
{
    // Run in order of due time, then of scheduling; a call may schedule more.
    for (;;) {
        size_t best = g_deferred.size();
        for (size_t i = 0; i < g_deferred.size(); ++i) {
            const Deferred& d = g_deferred[i];
            if (d.due > now)
                continue;
            if (best == g_deferred.size() || d.due < g_deferred[best].due ||
                (d.due == g_deferred[best].due && d.order < g_deferred[best].order))
                best = i;
        }
        if (best == g_deferred.size())
            return;
        std::function<void()> fn = std::move(g_deferred[best].fn);
        g_deferred.erase(g_deferred.begin() + static_cast<long>(best));
        fn();
    }
}

void sched_clear() { g_deferred.clear(); }

int64_t sched_next()
{
    int64_t next = -1;
    for (const Deferred& d : g_deferred)
        if (next < 0 || d.due < next)
            next = d.due;
    return next;
}

namespace {

constexpr std::array<uint16_t, 256> make_crc_table()
{
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t v = static_cast<uint16_t>(i);
        for (int b = 0; b < 8; ++b)
            v = (v & 1) ? static_cast<uint16_t>((v >> 1) ^ 0xA001) : static_cast<uint16_t>(v >> 1);
        t[i] = v;
    }
    return t;
}

constexpr std::array<uint16_t, 256> crc_table = make_crc_table();

} // namespace

uint16_t crc16_step(uint16_t crc, uint8_t byte)
{
    return static_cast<uint16_t>((crc >> 8) ^ crc_table[(crc ^ byte) & 0xFF]);
}

uint16_t crc16(const uint8_t* p, size_t n)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i)
        crc = crc16_step(crc, p[i]);
    return crc;
}

bool fault_hit(FaultCounter& c, unsigned every)
{
    if (every == 0)
        return false;
    ++c.count;
    if (c.count < every)
        return false;
    c.count = 0;
    return true;
}

unsigned exception_for(uint32_t first, uint32_t count)
{
    if (count == 0)
        return 0;
    uint32_t last = first + count - 1;
    for (const ExceptionRange& e : g_opt.exceptions)
        if (first <= e.last && last >= e.first)
            return e.code;
    return 0;
}
