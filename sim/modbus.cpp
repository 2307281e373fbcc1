#include "modbus.h"

#include "device.h"
#include "port.h"
#include "sim.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr size_t RTU_MAX = 256;
constexpr size_t ASCII_MAX = 513;  // ':' and 256 bytes as hex pairs

std::vector<uint8_t> exception(uint8_t function, uint8_t code)
{
    return {static_cast<uint8_t>(function | 0x80), code};
}

unsigned get16(const uint8_t* p) { return static_cast<unsigned>((p[0] << 8) | p[1]); }

void put16(std::vector<uint8_t>& v, unsigned x)
{
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x));
}

// 0 when registers address+1 .. address+count may be used, else an exception code.
uint8_t access_error(unsigned address, unsigned count)
{
    if (!device_exists(address + 1, count))
        return 2;
    return static_cast<uint8_t>(exception_for(address + 1, count));
}

std::vector<uint8_t> read_registers(const uint8_t* q, size_t n)
{
    if (n != 5)
        return exception(q[0], 3);
    unsigned address = get16(q + 1), count = get16(q + 3);
    if (count < 1 || count > 125)
        return exception(q[0], 3);
    if (uint8_t e = access_error(address, count))
        return exception(q[0], e);
    std::vector<uint8_t> r = {q[0], static_cast<uint8_t>(2 * count)};
    for (unsigned i = 0; i < count; ++i)
        put16(r, device_read(address + 1 + i));
    return r;
}

std::vector<uint8_t> write_single(const uint8_t* q, size_t n)
{
    if (n != 5)
        return exception(q[0], 3);
    unsigned address = get16(q + 1);
    if (uint8_t e = access_error(address, 1))
        return exception(q[0], e);
    device_write(address + 1, static_cast<uint16_t>(get16(q + 3)));
    return {q, q + 5};
}

std::vector<uint8_t> write_multiple(const uint8_t* q, size_t n)
{
    if (n < 6)
        return exception(q[0], 3);
    unsigned address = get16(q + 1), count = get16(q + 3), bytes = q[5];
    if (count < 1 || count > 123 || bytes != 2 * count || n != 6 + bytes)
        return exception(q[0], 3);
    if (uint8_t e = access_error(address, count))
        return exception(q[0], e);
    for (unsigned i = 0; i < count; ++i)
        device_write(address + 1 + i, static_cast<uint16_t>(get16(q + 6 + 2 * i)));
    return {q, q + 5};
}

std::vector<uint8_t> write_file_record(const uint8_t* q, size_t n)
{
    if (n < 2 || n != 2u + q[1] || q[1] < 9)
        return exception(q[0], 3);
    // Check every sub-request before writing any.
    for (size_t i = 2; i < n;) {
        if (n - i < 7 || (q[i] != 6 && q[i] != 3))
            return exception(q[0], 3);
        unsigned length = get16(q + i + 5);
        if (length < 1 || n - i - 7 < 2 * length)
            return exception(q[0], 3);
        if (uint8_t e = access_error(get16(q + i + 3), length))
            return exception(q[0], e);
        i += 7 + 2 * length;
    }
    for (size_t i = 2; i < n;) {
        unsigned record = get16(q + i + 3), length = get16(q + i + 5);
        for (unsigned k = 0; k < length; ++k)
            device_write(record + 1 + k, static_cast<uint16_t>(get16(q + i + 7 + 2 * k)));
        i += 7 + 2 * length;
    }
    return {q, q + n};
}

bool addressed_to_us(uint8_t address)
{
    return g_opt.drop < 0 || address == g_opt.drop;
}

void send_later(std::function<void()> send)
{
    if (g_opt.delay_ms > 0)
        sched_at(now_ms() + g_opt.delay_ms, std::move(send));
    else
        send();
}

FaultCounter g_no_reply_faults, g_bad_check_faults, g_foreign_faults, g_stale_faults, g_wrong_unit_faults,
    g_wrong_function_faults, g_reset_faults, g_bad_length_faults;

// Another function code, the exception bit kept as it was.
void wrong_function(std::vector<uint8_t>& pdu)
{
    if (!pdu.empty() && fault_hit(g_wrong_function_faults, g_opt.wrong_function_every)) {
        pdu[0] ^= 0x01;
        trace_text("reply carries function %u", pdu[0]);
    }
}

// The reply ADU (address + PDU) for a serial request, empty for none. `cut`
// says the device restarts while sending it: only its first half goes out.
std::vector<uint8_t> serial_reply(const std::vector<uint8_t>& adu, bool& cut)
{
    cut = false;
    if (adu.size() < 2 || adu[0] == 0 || !addressed_to_us(adu[0]))
        return {};
    if (fault_hit(g_no_reply_faults, g_opt.no_reply_every)) {
        trace_text("request left unanswered");
        return {};
    }
    std::vector<uint8_t> r = {adu[0]};
    std::vector<uint8_t> pdu = modbus_pdu(adu.data() + 1, adu.size() - 1);
    if (pdu.empty())
        return {};
    wrong_function(pdu);
    r.insert(r.end(), pdu.begin(), pdu.end());
    if (fault_hit(g_foreign_faults, g_opt.foreign_every) || fault_hit(g_wrong_unit_faults, g_opt.wrong_unit_every)) {
        r[0] = static_cast<uint8_t>(r[0] + 1);
        trace_text("reply comes from slave %u", r[0]);
    }
    if (fault_hit(g_reset_faults, g_opt.reset_every)) {
        trace_text("device restarts in the middle of its reply");
        cut = true;
    }
    return r;
}

void send_serial(const char* what, std::vector<uint8_t> frame, bool cut)
{
    if (cut)
        frame.resize(frame.size() / 2);
    send_later([what, frame] {
        trace_bytes("tx", what, frame.data(), frame.size());
        port_send(frame.data(), frame.size());
    });
}

// ---- RTU ----

std::vector<uint8_t> g_rtu;
uint64_t g_rtu_generation = 0;

// Length of the frame at the start of the buffer: 0 = not known yet, -1 = this
// function has no known length (end by silence).
long rtu_frame_length(const std::vector<uint8_t>& b)
{
    if (b.size() < 2)
        return 0;
    switch (b[1]) {
    case 1: case 2: case 3: case 4: case 5: case 6:
        return 8;
    case 15: case 16:
        return b.size() < 7 ? 0 : 9 + b[6];
    case 21: case 20:
        return b.size() < 3 ? 0 : 5 + b[2];
    default:
        return -1;
    }
}

void rtu_frame(const std::vector<uint8_t>& frame)
{
    trace_bytes("rx", "rtu", frame.data(), frame.size());
    if (frame.size() < 4 || crc16(frame.data(), frame.size()) != 0) {
        trace_text("bad CRC: frame dropped");
        return;
    }
    std::vector<uint8_t> adu(frame.begin(), frame.end() - 2);
    bool cut;
    std::vector<uint8_t> r = serial_reply(adu, cut);
    if (r.empty())
        return;
    uint16_t crc = crc16(r.data(), r.size());
    r.push_back(static_cast<uint8_t>(crc));
    r.push_back(static_cast<uint8_t>(crc >> 8));
    if (fault_hit(g_bad_check_faults, g_opt.bad_check_every))
        r.back() ^= 0x5A;
    send_serial("rtu", r, cut);
}

int64_t rtu_silence_ms()
{
    // 3.5 characters, but a pty delivers a frame in pieces only under load.
    int64_t ms = g_opt.baud > 0 ? (35'000 + g_opt.baud - 1) / g_opt.baud : 0;
    return ms < 20 ? 20 : ms;
}

void rtu_take_frames()
{
    for (;;) {
        long len = rtu_frame_length(g_rtu);
        if (len <= 0 || g_rtu.size() < static_cast<size_t>(len))
            return;
        std::vector<uint8_t> frame(g_rtu.begin(), g_rtu.begin() + len);
        if (crc16(frame.data(), frame.size()) != 0) {
            // Out of step: drop everything and wait for the line to go quiet.
            rtu_frame(g_rtu);
            g_rtu.clear();
            return;
        }
        g_rtu.erase(g_rtu.begin(), g_rtu.begin() + len);
        rtu_frame(frame);
    }
}

// ---- ASCII ----

std::string g_ascii;
bool g_ascii_open = false;

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

void ascii_frame(const std::string& hex)
{
    trace_chars("rx", "ascii", hex.data(), hex.size());
    if (hex.size() < 6 || hex.size() % 2 != 0) {
        trace_text("bad ASCII frame length");
        return;
    }
    std::vector<uint8_t> bytes;
    uint8_t sum = 0;
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = hex_digit(hex[i]), lo = hex_digit(hex[i + 1]);
        if (hi < 0 || lo < 0) {
            trace_text("bad hex digit");
            return;
        }
        bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
        sum = static_cast<uint8_t>(sum + bytes.back());
    }
    if (sum != 0) {
        trace_text("bad LRC: frame dropped");
        return;
    }
    bytes.pop_back();
    bool cut;
    std::vector<uint8_t> r = serial_reply(bytes, cut);
    if (r.empty())
        return;
    uint8_t lrc = 0;
    for (uint8_t b : r)
        lrc = static_cast<uint8_t>(lrc - b);
    if (fault_hit(g_bad_check_faults, g_opt.bad_check_every))
        lrc ^= 0x5A;
    r.push_back(lrc);
    std::string out = ":";
    for (uint8_t b : r) {
        static const char digits[] = "0123456789ABCDEF";
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    out += "\r\n";
    send_serial("ascii", std::vector<uint8_t>(out.begin(), out.end()), cut);
}

// ---- TCP ----

struct Client {
    int fd;
    uint64_t id;
    std::vector<uint8_t> in;
};

int g_listen_fd = -1;
std::vector<Client> g_clients;
uint64_t g_next_client_id = 1;

void drop_client(size_t i)
{
    close(g_clients[i].fd);
    g_clients.erase(g_clients.begin() + static_cast<long>(i));
}

void tcp_send(uint64_t id, const std::vector<uint8_t>& frame)
{
    for (const Client& c : g_clients) {
        if (c.id != id)
            continue;
        trace_bytes("tx", "tcp", frame.data(), frame.size());
        size_t done = 0;
        while (done < frame.size()) {
            ssize_t w = send(c.fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                break;  // a reset shows up as a read error next
            done += static_cast<size_t>(w);
        }
        return;
    }
}

enum class Stream { keep, out_of_step, reset };

// A reply whose length field announces more than any Modbus frame holds; the
// bytes it announces do follow.
std::vector<uint8_t> overlong(std::vector<uint8_t> r)
{
    constexpr unsigned announced = 300;
    r[4] = static_cast<uint8_t>(announced >> 8);
    r[5] = static_cast<uint8_t>(announced & 0xFF);
    r.resize(6 + announced, 0);
    trace_text("reply announces %u bytes", announced);
    return r;
}

Stream tcp_take_frames(Client& c)
{
    while (c.in.size() >= 7) {
        unsigned length = get16(c.in.data() + 4);
        if (get16(c.in.data() + 2) != 0 || length < 2 || length > 254)
            return Stream::out_of_step;
        if (c.in.size() < 6 + length)
            return Stream::keep;
        std::vector<uint8_t> q(c.in.begin(), c.in.begin() + 6 + length);
        c.in.erase(c.in.begin(), c.in.begin() + 6 + length);
        trace_bytes("rx", "tcp", q.data(), q.size());
        if (!addressed_to_us(q[6]))
            continue;
        if (fault_hit(g_no_reply_faults, g_opt.no_reply_every)) {
            trace_text("request left unanswered");
            continue;
        }
        if (fault_hit(g_reset_faults, g_opt.reset_every)) {
            trace_text("connection reset instead of a reply");
            return Stream::reset;
        }
        std::vector<uint8_t> pdu = modbus_pdu(q.data() + 7, q.size() - 7);
        wrong_function(pdu);
        unsigned t = get16(q.data());
        uint8_t unit = q[6];
        if (fault_hit(g_wrong_unit_faults, g_opt.wrong_unit_every)) {
            unit = static_cast<uint8_t>(unit + 1);
            trace_text("reply comes from unit %u", unit);
        }
        if (fault_hit(g_foreign_faults, g_opt.foreign_every)) {
            t = (t - 1) & 0xFFFF;
            trace_text("reply carries foreign transaction %u", t);
        }
        auto adu = [unit](unsigned tid, const std::vector<uint8_t>& p) {
            std::vector<uint8_t> r;
            put16(r, tid);
            put16(r, 0);
            put16(r, static_cast<unsigned>(p.size() + 1));
            r.push_back(unit);
            r.insert(r.end(), p.begin(), p.end());
            return r;
        };
        uint64_t id = c.id;
        if (fault_hit(g_stale_faults, g_opt.stale_every)) {
            // A late answer to the previous request goes first, values inverted
            // so that taking it shows.
            std::vector<uint8_t> stale = pdu;
            if (stale.size() > 2 && (stale[0] == 3 || stale[0] == 4))
                for (size_t i = 2; i < stale.size(); ++i)
                    stale[i] ^= 0xFF;
            std::vector<uint8_t> s = adu((t - 1) & 0xFFFF, stale);
            trace_text("stale reply %u goes first", (t - 1) & 0xFFFF);
            send_later([id, s] { tcp_send(id, s); });
        }
        std::vector<uint8_t> r = adu(t, pdu);
        if (fault_hit(g_bad_length_faults, g_opt.bad_length_every))
            r = overlong(r);
        send_later([id, r] { tcp_send(id, r); });
    }
    return Stream::keep;
}

} // namespace

std::vector<uint8_t> modbus_pdu(const uint8_t* q, size_t n)
{
    ++g_requests;
    if (n < 1)
        return {};
    switch (q[0]) {
    case 3:
    case 4: return read_registers(q, n);
    case 6: return write_single(q, n);
    case 16: return write_multiple(q, n);
    case 21: return write_file_record(q, n);
    default: return exception(q[0], 1);
    }
}

void rtu_receive(const uint8_t* bytes, size_t n)
{
    g_rtu.insert(g_rtu.end(), bytes, bytes + n);
    if (g_rtu.size() > RTU_MAX) {
        trace_bytes("rx", "long", g_rtu.data(), g_rtu.size());
        g_rtu.clear();
    }
    rtu_take_frames();
    // Whatever is left is either a frame still arriving or one whose length only
    // silence tells; in both cases the silence decides.
    uint64_t gen = ++g_rtu_generation;
    if (!g_rtu.empty())
        sched_at(now_ms() + rtu_silence_ms(), [gen] {
            if (gen != g_rtu_generation || g_rtu.empty())
                return;
            std::vector<uint8_t> frame;
            frame.swap(g_rtu);
            rtu_frame(frame);
        });
}

void ascii_receive(const uint8_t* bytes, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        char c = static_cast<char>(bytes[i] & 0x7F);
        if (c == ':') {
            g_ascii.clear();  // a colon always starts a new frame
            g_ascii_open = true;
        } else if (!g_ascii_open) {
            continue;
        } else if (c == '\r' || c == '\n') {
            g_ascii_open = false;
            ascii_frame(g_ascii);
            g_ascii.clear();
        } else if (g_ascii.size() < ASCII_MAX) {
            g_ascii += c;
        } else {
            trace_text("ASCII frame too long: dropped");
            g_ascii_open = false;
            g_ascii.clear();
        }
    }
}

int tcp_open(int port, std::string& err)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        err = std::string("socket: ") + strerror(errno);
        return -1;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 8) != 0) {
        err = "TCP port " + std::to_string(port) + ": " + strerror(errno);
        close(fd);
        return -1;
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    g_listen_fd = fd;
    return ntohs(a.sin_port);
}

void tcp_poll_fds(std::vector<pollfd>& fds)
{
    if (g_listen_fd < 0)
        return;
    fds.push_back({g_listen_fd, POLLIN, 0});
    for (const Client& c : g_clients)
        fds.push_back({c.fd, POLLIN, 0});
}

void tcp_service(const std::vector<pollfd>& fds, size_t first)
{
    if (g_listen_fd < 0 || first >= fds.size())
        return;
    // Clients first, by the order they were polled; new ones join afterwards.
    std::vector<uint64_t> ready;
    for (size_t i = 0; i < g_clients.size() && first + 1 + i < fds.size(); ++i)
        if (fds[first + 1 + i].revents)
            ready.push_back(g_clients[i].id);
    for (uint64_t id : ready) {
        for (size_t i = 0; i < g_clients.size(); ++i) {
            if (g_clients[i].id != id)
                continue;
            uint8_t buf[512];
            ssize_t n = recv(g_clients[i].fd, buf, sizeof buf, 0);
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                break;
            if (n <= 0) {
                drop_client(i);
                break;
            }
            Client& c = g_clients[i];
            c.in.insert(c.in.end(), buf, buf + n);
            Stream state = tcp_take_frames(c);
            if (state == Stream::out_of_step)
                trace_text("TCP stream out of step: connection closed");
            if (state == Stream::reset) {
                linger hard = {1, 0};  // close with RST
                setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            }
            if (state != Stream::keep)
                drop_client(i);
            break;
        }
    }
    if (fds[first].revents & POLLIN) {
        int fd = accept4(g_listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0)
            g_clients.push_back({fd, g_next_client_id++, {}});
    }
}

void modbus_reset()
{
    g_no_reply_faults = g_bad_check_faults = g_foreign_faults = g_stale_faults = FaultCounter{};
    g_wrong_unit_faults = g_wrong_function_faults = g_reset_faults = g_bad_length_faults = FaultCounter{};
    g_rtu.clear();
    g_ascii.clear();
    g_ascii_open = false;
}

void tcp_close()
{
    while (!g_clients.empty())
        drop_client(g_clients.size() - 1);
    if (g_listen_fd >= 0)
        close(g_listen_fd);
    g_listen_fd = -1;
}
