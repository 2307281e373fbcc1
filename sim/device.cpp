#include "device.h"

#include "sim.h"

#include <array>
#include <bitset>
#include <cmath>
#include <string>

namespace {

constexpr uint32_t REG_TOTAL = 65536;

// Control word bits (register 1) and status bits (register 2).
constexpr uint16_t CONNECT = 0x0001;
constexpr uint16_t MULTIDROP = 0x0004;
constexpr uint16_t TRANSPARENT = 0x0008;
constexpr uint16_t AUTO_ANSWER_OFF = 0x0010;
constexpr uint16_t PORT_PARITY = 0x0180;
constexpr uint16_t LINE_PARITY = 0x0600;
constexpr uint16_t PRIVATE_LINE = 0x2000;
constexpr uint16_t TWO_WIRE = 0x4000;
// Configuration bits the status register mirrors from the control word.
constexpr uint16_t STATUS_CONFIG = 0x3F9C;

constexpr uint16_t ST_CARRIER = 0x0001;
constexpr uint16_t ST_PTT = 0x0020;
constexpr uint16_t ST_DIAL = 0x0040;
constexpr uint16_t ST_OFF_HOOK = 0x4000;
constexpr uint16_t ST_RING = 0x8000;

// off_hook: the line is seized (a handset, or an event of the test script)
// without dialing; only a hang-up puts it back.
enum class Line { idle, off_hook, dialing, connected };

std::array<uint16_t, REG_TOTAL> g_regs;
std::bitset<REG_TOTAL> g_frozen;   // live registers pinned by --set
Line g_line = Line::idle;
int64_t g_line_due = -1;
int64_t g_start = 0;

// Incoming calls (--ring-every): a burst of rings, answered after S0 rings.
int64_t g_call_next = -1;
int64_t g_ring_toggle = -1;
bool g_ring_on = false;
unsigned g_rings_in_call = 0;

uint16_t& reg(uint32_t r) { return g_regs[(r - 1) & 0xFFFF]; }

bool is_live(uint32_t r)
{
    return r == REG_STATUS || r == REG_CONFIG_ERRORS || r == REG_LAST_PASSWORD ||
           r == REG_SIGNAL_LEVEL || r == REG_SIGNAL_QUALITY || r == REG_RING_COUNT ||
           r == REG_CTS;
}

bool is_read_only(uint32_t r)
{
    return is_live(r) || (r >= REG_ID_PORT && r <= REG_ID_SIGNATURE);
}

void set_live(uint32_t r, uint16_t v)
{
    if (!g_frozen[(r - 1) & 0xFFFF])
        reg(r) = v;
}

std::string dial_string()
{
    std::string s;
    uint32_t p = reg(REG_NUMBER_POINTER);
    if (p < 10 || p > 2048)
        return s;
    for (; p <= 2048 && s.size() < 39; ++p) {
        uint16_t w = reg(p);
        if ((w >> 8) == 0)
            break;
        s += static_cast<char>(w >> 8);
        if ((w & 0xFF) == 0 || s.size() >= 39)
            break;
        s += static_cast<char>(w & 0xFF);
    }
    return s;
}

bool dial_string_ok()
{
    constexpr std::string_view allowed = "0123456789*#ABCD,!TPRW][;abcdtprw";
    for (char c : dial_string())
        if (allowed.find(c) == std::string_view::npos)
            return false;
    return true;
}

uint16_t config_errors()
{
    uint16_t ctl = reg(REG_CONTROL);
    uint16_t port = reg(REG_PORT_RATE);
    uint16_t line = reg(REG_LINE_RATE);
    uint16_t e = 0;
    bool line_ok = line == 0 || line == 5 || line == 7 || line == 9 || line == 11 ||
                   line == 12 || line == 13 || line == 14;
    if (!line_ok)
        e |= 0x01;
    if ((ctl & LINE_PARITY) == LINE_PARITY)
        e |= 0x02;
    if ((ctl & MULTIDROP) && (ctl & TRANSPARENT) && !(ctl & PRIVATE_LINE))
        e |= 0x04;
    if ((ctl & MULTIDROP) && !(ctl & TRANSPARENT))
        e |= 0x08;
    // Transparent mode has no buffering: the port may not outrun the line.
    if ((ctl & TRANSPARENT) && line_ok && line != 0 && port <= 15 && port > line)
        e |= 0x10;
    if (port < 5 || port > 15)
        e |= 0x20;
    if ((ctl & PORT_PARITY) == PORT_PARITY)
        e |= 0x40;
    if (!dial_string_ok())
        e |= 0x80;
    return e;
}

void update_status()
{
    uint16_t ctl = reg(REG_CONTROL);
    uint16_t st = static_cast<uint16_t>(ctl & STATUS_CONFIG);
    bool pstn = !(ctl & PRIVATE_LINE);
    if (g_line == Line::connected)
        st |= ST_CARRIER | ST_PTT;
    if (g_line == Line::dialing)
        st |= ST_DIAL;
    if (pstn) {
        // On a switched line bit 14 of the control word is the modem's own
        // off-hook report, not a setting: it follows the line.
        st &= static_cast<uint16_t>(~TWO_WIRE);
        if (g_line != Line::idle) {
            st |= ST_OFF_HOOK;
            reg(REG_CONTROL) |= TWO_WIRE;
        } else {
            reg(REG_CONTROL) &= static_cast<uint16_t>(~TWO_WIRE);
        }
    }
    if (g_ring_on)
        st |= ST_RING;
    set_live(REG_STATUS, st);
    set_live(REG_CTS, g_line == Line::connected ? 1 : 0);
    set_live(REG_CONFIG_ERRORS, config_errors());
}

void update_signal(int64_t now)
{
    double t = static_cast<double>(now - g_start) / 1000.0;
    // A slow swell with a little faster ripple; a live line is stronger.
    double level = (g_line == Line::connected ? -250.0 : -420.0) + 40.0 * std::sin(t / 3.0) +
                   7.0 * std::sin(t * 2.3);
    double quality = 12.0 + 8.0 * std::sin(t / 4.0 + 1.0) + 2.0 * std::sin(t * 3.1);
    set_live(REG_SIGNAL_LEVEL, static_cast<uint16_t>(static_cast<int16_t>(std::lround(level))));
    set_live(REG_SIGNAL_QUALITY, static_cast<uint16_t>(std::lround(quality < 1.0 ? 1.0 : quality)));
}

void end_call(int64_t now);

void line_connect(int64_t now)
{
    g_line = Line::connected;
    g_line_due = -1;
    end_call(now);   // a call ringing meanwhile stops
    trace_text("carrier up");
}

void line_hang_up()
{
    if (g_line != Line::idle)
        trace_text("hang up");
    g_line = Line::idle;
    g_line_due = -1;
}

void end_call(int64_t now)
{
    g_ring_on = false;
    g_ring_toggle = -1;
    g_call_next = g_opt.ring_every_s ? now + static_cast<int64_t>(g_opt.ring_every_s) * 1000 : -1;
}

void tick_calls(int64_t now)
{
    if (g_opt.ring_every_s != 0 && g_call_next < 0 && g_ring_toggle < 0)
        g_call_next = now + static_cast<int64_t>(g_opt.ring_every_s) * 1000;
    // A call due while the line is busy waits until it is free.
    if (g_call_next >= 0 && g_line == Line::idle && g_ring_toggle < 0 && now >= g_call_next) {
        g_call_next = -1;
        g_rings_in_call = 0;
        set_live(REG_RING_COUNT, 0);
        g_ring_toggle = now;
    }
    while (g_ring_toggle >= 0 && now >= g_ring_toggle) {
        g_ring_on = !g_ring_on;
        g_ring_toggle += g_ring_on ? 1000 : 2000;
        if (!g_ring_on)
            continue;
        ++g_rings_in_call;
        set_live(REG_RING_COUNT, static_cast<uint16_t>(g_rings_in_call));
        uint16_t answer_after = reg(REG_S0);
        bool auto_answer = !(reg(REG_CONTROL) & AUTO_ANSWER_OFF) && answer_after != 0;
        if (auto_answer && g_rings_in_call >= answer_after) {
            uint16_t pw = reg(REG_PASSWORD);
            set_live(REG_LAST_PASSWORD, pw == 0 ? 0xFFFF : pw);
            line_connect(now);
        } else if (g_rings_in_call >= 8) {
            end_call(now);
        }
    }
}

} // namespace

void device_init(int64_t now)
{
    g_regs.fill(0);
    g_frozen.reset();
    g_start = now;
    g_line = Line::idle;
    g_line_due = -1;
    g_call_next = -1;
    g_ring_toggle = -1;
    g_ring_on = false;
    g_rings_in_call = 0;

    // The default configuration, as a factory-fresh modem holds it.
    reg(REG_CONTROL) = g_opt.crc ? 0x0800 : 0;
    reg(REG_PORT_RATE) = 13;
    // The port rate register tells the speed the modem's port runs at.
    const long rates[] = {50, 75, 110, 135, 150, 300, 600, 1200, 1800, 2400, 3600, 4800, 7200, 9600, 14400, 19200};
    for (uint16_t i = 0; i < 16; ++i)
        if (g_opt.baud == rates[i])
            reg(REG_PORT_RATE) = i;
    reg(REG_LINE_RATE) = 14;
    reg(REG_NUMBER_POINTER) = 0;
    reg(REG_PASSWORD) = 0;
    reg(2049) = 2;
    reg(2050) = 100;
    reg(2051) = 100;
    const uint16_t s_regs[] = {3, 0, 43, 13, 10, 8, 2, 30, 2, 0, 0, 95, 50};
    for (uint32_t i = 0; i < sizeof s_regs / sizeof s_regs[0]; ++i)
        reg(REG_S0 + i) = s_regs[i];
    reg(REG_LAST_PASSWORD) = 0xFFFF;

    reg(REG_ID_PORT) = 0;
    device_set_name("ZL27T");
    reg(REG_ID_SIGNATURE) = 0x9990;

    update_status();
    update_signal(now);
}

void device_set_name(std::string_view text)
{
    char name[20];
    for (size_t i = 0; i < sizeof name; ++i)
        name[i] = i < text.size() ? text[i] : ' ';
    for (uint32_t i = 0; i < 10; ++i)
        reg(REG_ID_NAME + i) = static_cast<uint16_t>((static_cast<uint8_t>(name[2 * i]) << 8) |
                                                      static_cast<uint8_t>(name[2 * i + 1]));
}

void device_preset(uint32_t r, uint16_t value)
{
    if (r < 1 || r > REG_TOTAL)
        return;
    reg(r) = value;
    if (is_live(r))
        g_frozen[r - 1] = true;
    update_status();
}

bool device_exists(uint32_t first, uint32_t count)
{
    if (first < 1 || count == 0)
        return false;
    uint64_t last = static_cast<uint64_t>(first) + count - 1;
    return last <= g_opt.registers && last <= REG_TOTAL;
}

uint16_t device_read(uint32_t r)
{
    if (r < 1 || r > REG_TOTAL)
        return 0;
    return reg(r);
}

void device_write(uint32_t r, uint16_t value)
{
    if (r < 1 || r > REG_TOTAL || is_read_only(r))
        return;
    uint16_t old = reg(r);
    reg(r) = value;
    if (r == REG_CONTROL) {
        if (!(old & CONNECT) && (value & CONNECT)) {
            if (g_line == Line::idle || g_line == Line::off_hook) {
                g_line = Line::dialing;
                g_line_due = now_ms() + g_opt.dial_ms;
                if (reg(REG_CONTROL) & PRIVATE_LINE)
                    trace_text("private line: raising carrier");
                else
                    trace_text("dialing \"%s\"", dial_string().c_str());
            }
        } else if ((old & CONNECT) && !(value & CONNECT)) {
            line_hang_up();
        }
    }
    update_status();
}

void device_tick(int64_t now)
{
    if (g_line == Line::dialing && g_line_due >= 0 && now >= g_line_due)
        line_connect(now);
    tick_calls(now);
    update_status();
    update_signal(now);
}

int64_t device_next_due(int64_t now)
{
    // The signal values drift continuously; 100 ms keeps them fresh enough.
    int64_t due = now + 100;
    if (g_line_due >= 0 && g_line_due < due)
        due = g_line_due;
    if (g_ring_toggle >= 0 && g_ring_toggle < due)
        due = g_ring_toggle;
    return due;
}

bool device_event(std::string_view what, int64_t now)
{
    if (what == "ring") {
        g_call_next = now;   // rings as soon as the line is free
    } else if (what == "off-hook") {
        if (g_line == Line::idle) {
            g_line = Line::off_hook;
            trace_text("off hook");
        }
    } else if (what == "hang-up") {
        line_hang_up();
        end_call(now);
    } else {
        return false;
    }
    device_tick(now);
    return true;
}
