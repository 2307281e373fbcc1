#include "symax.h"

#include "device.h"
#include "port.h"
#include "sim.h"

#include <deque>

namespace {

constexpr size_t ROUTE_SPACE = 16;
constexpr size_t DATA_SPACE = 263;
constexpr unsigned MAX_COUNT = 128;
constexpr unsigned RETRIES = 8;
constexpr unsigned ENQUIRIES = 32;
constexpr size_t MAX_QUEUED = 16;

// Sy/Max error codes the device answers with.
constexpr uint8_t ERR_ILLEGAL_OPCODE = 1;
constexpr uint8_t ERR_ILLEGAL_ADDRESS = 3;
constexpr uint8_t ERR_COUNT_TOO_LARGE = 16;
constexpr uint8_t ERR_ILLEGAL_ROUTE = 29;
constexpr uint8_t ERR_INSUFFICIENT_DATA = 70;

// ---- receive framer ----

enum class Rx { idle, seq, route, data, crc_high, check_low };

struct RxFramer {
    Rx state = Rx::idle;
    bool dle_seen = false;
    bool check_follows = false;
    uint16_t check = 0;
    uint8_t header = 0;
    std::vector<uint8_t> route;
    std::vector<uint8_t> data;
    std::vector<uint8_t> raw;  // the frame as received, for the trace
};

RxFramer g_rx;
FaultCounter g_nak_faults, g_no_reply_faults, g_foreign_faults, g_bad_check_faults, g_stale_faults,
    g_busy_faults;

// ---- transmitter ----

enum class Tx { idle, wait_ack };

struct TxFrame {
    std::vector<uint8_t> route;
    std::vector<uint8_t> data;
};

std::deque<TxFrame> g_tx_queue;
Tx g_tx = Tx::idle;
uint8_t g_tx_seq = SEQ1;
unsigned g_retries = 0;
unsigned g_enquiries_left = 0;
uint64_t g_tx_generation = 0;   // invalidates acknowledgement timers of older sends
uint8_t g_reply_byte = NAK;     // what DLE ENQ gets again

uint16_t check_add(uint16_t check, uint8_t b)
{
    return g_opt.crc ? crc16_step(check, b) : static_cast<uint16_t>(check - b);
}

void send_control(uint8_t b, const char* what)
{
    const uint8_t pair[2] = {DLE, b};
    trace_bytes("tx", what, pair, 2);
    port_send(pair, 2);
}

int64_t ack_wait_ms()
{
    // Ten fill characters at the line's speed, but never so short that a busy
    // host's reader thread misses it.
    int64_t ms = g_opt.baud > 0 ? 100'000 / g_opt.baud : 0;
    return ms < 40 ? 40 : ms;
}

void tx_kick();

void ack_timeout(uint64_t gen)
{
    if (gen != g_tx_generation || g_tx != Tx::wait_ack)
        return;
    if (g_enquiries_left == 0) {
        trace_text("no acknowledgement: reply dropped");
        g_tx_queue.pop_front();
        g_tx = Tx::idle;
        ++g_tx_generation;
        tx_kick();
        return;
    }
    --g_enquiries_left;
    send_control(ENQ, "enq");
    sched_at(port_drain_time() + ack_wait_ms(), [gen] { ack_timeout(gen); });
}

void tx_send_head()
{
    const TxFrame& f = g_tx_queue.front();
    std::vector<uint8_t> wire = symax_build_frame(g_tx_seq, f.route, f.data, g_opt.crc);
    const char* what = "frame";
    if (fault_hit(g_bad_check_faults, g_opt.bad_check_every)) {
        wire.back() ^= 0x5A;
        what = "badcheck";
    }
    trace_bytes("tx", what, wire.data(), wire.size());
    port_send(wire.data(), wire.size());
    g_tx = Tx::wait_ack;
    g_enquiries_left = ENQUIRIES;

    uint64_t gen = ++g_tx_generation;
    sched_at(port_drain_time() + ack_wait_ms(), [gen] { ack_timeout(gen); });
}

void tx_kick()
{
    if (g_tx != Tx::idle || g_tx_queue.empty())
        return;
    g_retries = RETRIES;
    tx_send_head();
}

void tx_drop_head()
{
    g_tx_queue.pop_front();
    g_tx = Tx::idle;
    ++g_tx_generation;
}

void on_nak()
{
    if (g_tx == Tx::idle)
        return;
    if (g_retries > 0) {
        --g_retries;
        tx_send_head();
        return;
    }
    trace_text("refused %u times: reply dropped", RETRIES + 1);
    tx_drop_head();
    tx_kick();
}

void on_ack(uint8_t b)
{
    if (g_tx != Tx::wait_ack)
        return;
    if (b != g_tx_seq) {
        on_nak();
        return;
    }
    tx_drop_head();
    g_tx_seq = g_tx_seq == SEQ1 ? SEQ2 : SEQ1;
    tx_kick();
}

void queue_reply(SymaxReply reply)
{
    if (reply.data.empty())
        return;
    auto push = [reply] {
        // A master that never acknowledges must not make the queue grow.
        if (g_tx_queue.size() >= MAX_QUEUED) {
            trace_text("reply queue full: reply dropped");
            return;
        }
        g_tx_queue.push_back({reply.route, reply.data});
        tx_kick();
    };
    if (g_opt.delay_ms > 0)
        sched_at(now_ms() + g_opt.delay_ms, push);
    else
        push();
}

// Where a reply's register values start (its length when it has none).
size_t values_offset(const std::vector<uint8_t>& d)
{
    if (d.size() >= 2 && d[0] == 0x86)
        return 4;
    if (d.size() >= 5 && d[0] == 0x90 && d[4] == 0)
        return 7;
    if (d.size() >= 5 && d[0] == 0x92 && d[1] == 0xBA && !(d[4] & 0x80))
        return 6;
    return d.size();
}

void frame_done()
{
    g_rx.state = Rx::idle;
    trace_bytes("rx", "frame", g_rx.raw.data(), g_rx.raw.size());
    if (fault_hit(g_nak_faults, g_opt.nak_every)) {
        g_reply_byte = NAK;
        send_control(NAK, "nak*");
        return;
    }
    if (fault_hit(g_busy_faults, g_opt.busy_every)) {
        // As a device with no free buffer: DLE SYN, the frame is not taken.
        g_reply_byte = SYN;
        send_control(SYN, "syn*");
        return;
    }
    g_reply_byte = g_rx.header;
    send_control(g_rx.header, "ack");
    if (fault_hit(g_no_reply_faults, g_opt.no_reply_every)) {
        trace_text("request left unanswered");
        return;
    }
    SymaxReply reply = symax_handle(g_rx.route, g_rx.data);
    if (!reply.data.empty() && fault_hit(g_stale_faults, g_opt.stale_every)) {
        // A late answer to some other request goes first: another transaction
        // byte and, so that taking it shows, every value inverted.
        SymaxReply stale = reply;
        stale.data[1] ^= 0x80;
        for (size_t i = values_offset(stale.data); i < stale.data.size(); ++i)
            stale.data[i] ^= 0xFF;
        trace_text("stale reply 0x%02X goes first", stale.data[1]);
        queue_reply(stale);
    }
    queue_reply(reply);
}

void frame_error(const char* why)
{
    trace_bytes("rx", "bad", g_rx.raw.data(), g_rx.raw.size());
    trace_text("bad frame: %s", why);
    g_rx.state = Rx::idle;
    g_reply_byte = NAK;
    send_control(NAK, "nak");
}

void rx_state(uint8_t b, bool after_dle)
{
    RxFramer& r = g_rx;
    switch (r.state) {
    case Rx::idle:
        if (after_dle && b == SOH) {
            r.check = g_opt.crc ? 0xFFFF : 0;
            r.raw.assign({DLE, SOH});
            r.route.clear();
            r.data.clear();
            r.state = Rx::seq;
        }
        return;
    case Rx::seq:
        r.raw.push_back(b);
        if (b != SEQ1 && b != SEQ2)
            return frame_error("sequence byte");
        r.header = b;
        r.check = check_add(r.check, b);
        r.state = Rx::route;
        return;
    case Rx::route:
        if (after_dle) {
            r.raw.push_back(DLE);
            r.raw.push_back(b);
            if (b != STX)
                return frame_error("route");
            r.check = check_add(check_add(r.check, DLE), STX);
            r.state = Rx::data;
            return;
        }
        r.raw.push_back(b);
        if (r.route.size() >= ROUTE_SPACE)
            return frame_error("route too long");
        r.route.push_back(b);
        r.check = check_add(r.check, b);
        return;
    case Rx::data:
        if (after_dle) {
            r.raw.push_back(DLE);
            r.raw.push_back(b);
            if (b == ETX) {
                r.check = check_add(check_add(r.check, DLE), ETX);
                r.check_follows = true;
                r.state = g_opt.crc ? Rx::crc_high : Rx::check_low;
                return;
            }
            if (b != DLE)
                return frame_error("DLE in data");
            if (r.data.size() >= DATA_SPACE)
                return frame_error("data too long");
            r.data.push_back(DLE);
            r.check = check_add(check_add(r.check, DLE), DLE);
            return;
        }
        r.raw.push_back(b);
        if (r.data.size() >= DATA_SPACE)
            return frame_error("data too long");
        r.data.push_back(b);
        r.check = check_add(r.check, b);
        return;
    case Rx::crc_high:
        r.raw.push_back(b);
        if (b != (r.check >> 8))
            return frame_error("CRC");
        r.check_follows = true;
        r.state = Rx::check_low;
        return;
    case Rx::check_low:
        r.raw.push_back(b);
        if (b != (r.check & 0xFF))
            return frame_error(g_opt.crc ? "CRC" : "BCC");
        frame_done();
        return;
    }
}

void rx_byte(uint8_t b)
{
    RxFramer& r = g_rx;
    if (r.dle_seen) {
        r.dle_seen = false;
        switch (b) {
        case SOH:
            if (r.state != Rx::idle) {
                trace_bytes("rx", "cut", r.raw.data(), r.raw.size());
                r.state = Rx::idle;
            }
            rx_state(b, true);
            return;
        case ENQ:
            trace_bytes("rx", "enq", &b, 1);
            send_control(g_reply_byte, "again");
            return;
        case SEQ1:
        case SEQ2:
            trace_bytes("rx", "ack", &b, 1);
            on_ack(b);
            return;
        case NAK:
            trace_bytes("rx", "nak", &b, 1);
            on_nak();
            return;
        case SYN:
            trace_bytes("rx", "syn", &b, 1);
            g_retries = RETRIES;
            on_ack(b);
            return;
        default:
            rx_state(b, true);
            return;
        }
    }
    if (r.check_follows) {
        r.check_follows = false;
        rx_state(b, false);
        return;
    }
    if (b == DLE) {
        r.dle_seen = true;
        return;
    }
    rx_state(b, false);
}

// ---- requests ----

int hex_value(uint8_t c)
{
    c &= 0x7F;
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The reply goes back along the request's route, drops in reverse order, each
// keeping its net-to-net mark.
bool reverse_route(const std::vector<uint8_t>& in, std::vector<uint8_t>& out, int& last_drop)
{
    out.clear();
    last_drop = -1;
    if (in.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < in.size(); i += 2)
        if (hex_value(in[i]) < 0 || hex_value(in[i + 1]) < 0)
            return false;
    for (size_t i = in.size(); i >= 2; i -= 2) {
        out.push_back(in[i - 2]);
        out.push_back(in[i - 1]);
    }
    if (!in.empty())
        last_drop = hex_value(in[in.size() - 2]) * 16 + hex_value(in[in.size() - 1]);
    return true;
}

void put16(std::vector<uint8_t>& v, unsigned x)
{
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x));
}

// 0 when registers first..first+count-1 may be used, else the Sy/Max error code.
uint8_t access_error(unsigned byte_address, unsigned count)
{
    if (count > MAX_COUNT)
        return ERR_COUNT_TOO_LARGE;
    if (count == 0 || byte_address % 2 != 0)
        return ERR_ILLEGAL_ADDRESS;
    uint32_t first = byte_address / 2 + 1;
    if (!device_exists(first, count))
        return ERR_ILLEGAL_ADDRESS;
    return static_cast<uint8_t>(exception_for(first, count));
}

std::vector<uint8_t> error_reply(uint8_t t, uint8_t code)
{
    return {0xA2, t, code};
}

std::vector<uint8_t> read_reply(const std::vector<uint8_t>& d)
{
    uint8_t t = d[1];
    if (d.size() < 6)
        return error_reply(t, ERR_INSUFFICIENT_DATA);
    unsigned address = (d[2] << 8) | d[3];
    unsigned count = ((d[4] << 8) | d[5]) + 1;
    if (uint8_t e = access_error(address, count))
        return error_reply(t, e);
    std::vector<uint8_t> r = {0x86, t, d[2], d[3]};
    for (unsigned i = 0; i < count; ++i)
        put16(r, device_read(address / 2 + 1 + i));
    return r;
}

std::vector<uint8_t> priority_read_reply(const std::vector<uint8_t>& d)
{
    uint8_t t = d[1];
    if (d.size() < 9)
        return {0x90, t, 0, 0, ERR_INSUFFICIENT_DATA, 0, 0};
    unsigned address = (d[5] << 8) | d[6];
    unsigned count = ((d[7] << 8) | d[8]) + 1;
    if (uint8_t e = access_error(address, count))
        return {0x90, t, 0, 0, e, d[5], d[6]};
    std::vector<uint8_t> r = {0x90, t, 0, 0, 0, d[5], d[6]};
    for (unsigned i = 0; i < count; ++i)
        put16(r, device_read(address / 2 + 1 + i));
    return r;
}

std::vector<uint8_t> write_reply(const std::vector<uint8_t>& d)
{
    uint8_t t = d[1];
    // 0x02 T Ahi Alo values... 0xFF 0xFF
    if (d.size() < 8 || d.size() % 2 != 0 || d[d.size() - 2] != 0xFF || d[d.size() - 1] != 0xFF)
        return error_reply(t, ERR_INSUFFICIENT_DATA);
    unsigned address = (d[2] << 8) | d[3];
    unsigned count = static_cast<unsigned>(d.size() - 6) / 2;
    if (uint8_t e = access_error(address, count))
        return error_reply(t, e);
    for (unsigned i = 0; i < count; ++i)
        device_write(address / 2 + 1 + i, static_cast<uint16_t>((d[4 + 2 * i] << 8) | d[5 + 2 * i]));
    return {0x80, t, d[2], d[3]};
}

std::vector<uint8_t> priority_write_reply(const std::vector<uint8_t>& d)
{
    uint8_t t = d[1];
    // 0x1E T 0x00 Ahi Alo values...
    if (d.size() < 7 || d.size() % 2 == 0)
        return {0x92, t, 0, 0, ERR_INSUFFICIENT_DATA};
    unsigned address = (d[3] << 8) | d[4];
    unsigned count = static_cast<unsigned>(d.size() - 5) / 2;
    if (uint8_t e = access_error(address, count))
        return {0x92, t, 0, 0, e};
    for (unsigned i = 0; i < count; ++i)
        device_write(address / 2 + 1 + i, static_cast<uint16_t>((d[5 + 2 * i] << 8) | d[6 + 2 * i]));
    return {0x92, t, 0, 0, 0};
}

// Modbus input-register read carried in a Sy/Max message.
std::vector<uint8_t> carried_read_reply(const std::vector<uint8_t>& d)
{
    uint8_t t = d[1];
    if (d.size() < 9)
        return {0x92, t, 0xD5, 0x00, 0x00, ERR_INSUFFICIENT_DATA};
    uint8_t function = d[4];
    unsigned address = (d[5] << 8) | d[6];
    unsigned count = (d[7] << 8) | d[8];
    uint8_t exception = 0;
    if (function != 3 && function != 4)
        exception = 1;
    else if (count < 1 || count > 125)
        exception = 3;
    else if (!device_exists(address + 1, count))
        exception = 2;
    else
        exception = static_cast<uint8_t>(exception_for(address + 1, count));
    if (exception)
        return {0x92, t, 0xD5, 0x00, static_cast<uint8_t>(function | 0x80), exception};
    std::vector<uint8_t> r = {0x92, t, 0xD5, 0x00, function, static_cast<uint8_t>(2 * count)};
    for (unsigned i = 0; i < count; ++i)
        put16(r, device_read(address + 1 + i));
    return r;
}

} // namespace

std::vector<uint8_t> symax_build_frame(uint8_t seq, const std::vector<uint8_t>& route,
                                       const std::vector<uint8_t>& data, bool crc)
{
    uint16_t check = crc ? 0xFFFF : 0;
    auto add = [&](uint8_t b) {
        check = crc ? crc16_step(check, b) : static_cast<uint16_t>(check - b);
    };
    std::vector<uint8_t> w = {DLE, SOH, seq};
    add(seq);
    for (uint8_t c : route) {
        w.push_back(c);
        add(c);
    }
    w.push_back(DLE);
    w.push_back(STX);
    add(DLE);
    add(STX);
    for (uint8_t b : data) {
        w.push_back(b);
        add(b);
        if (b == DLE) {
            w.push_back(b);
            add(b);
        }
    }
    w.push_back(DLE);
    w.push_back(ETX);
    add(DLE);
    add(ETX);
    if (crc)
        w.push_back(static_cast<uint8_t>(check >> 8));
    w.push_back(static_cast<uint8_t>(check));
    return w;
}

SymaxReply symax_handle(const std::vector<uint8_t>& route, const std::vector<uint8_t>& data)
{
    SymaxReply reply;
    ++g_requests;
    if (data.size() < 2)
        return reply;  // no transaction byte to answer with
    uint8_t op = data[0];
    uint8_t t = data[1];
    int last_drop = -1;
    if (!reverse_route(route, reply.route, last_drop)) {
        reply.route.clear();
        reply.data = error_reply(t, ERR_ILLEGAL_ROUTE);
        return reply;
    }
    if (g_opt.drop >= 0 && last_drop >= 0 && last_drop != g_opt.drop) {
        reply.data = error_reply(t, ERR_ILLEGAL_ROUTE);
        return reply;
    }
    switch (op) {
    case 0x00: reply.data = read_reply(data); break;
    case 0x20: reply.data = priority_read_reply(data); break;
    case 0x02: reply.data = write_reply(data); break;
    case 0x1E: reply.data = priority_write_reply(data); break;
    case 0x22: reply.data = carried_read_reply(data); break;
    default: reply.data = error_reply(t, ERR_ILLEGAL_OPCODE); break;
    }
    if (fault_hit(g_foreign_faults, g_opt.foreign_every)) {
        reply.data[1] ^= 0x80;
        trace_text("reply carries foreign transaction 0x%02X", reply.data[1]);
    }
    return reply;
}

void symax_receive(const uint8_t* bytes, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        rx_byte(bytes[i]);
}

void symax_reset()
{
    g_rx = RxFramer{};
    g_tx_queue.clear();
    g_tx = Tx::idle;
    g_tx_seq = SEQ1;
    ++g_tx_generation;
    g_reply_byte = NAK;
    g_nak_faults = g_no_reply_faults = g_foreign_faults = g_bad_check_faults = FaultCounter{};
    g_stale_faults = g_busy_faults = FaultCounter{};
}
