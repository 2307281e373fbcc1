// zl27t-sim: a simulated ZL27T modem for the program's link, e2e and interop
// tests and for the demo. It shares no code with the program, so the two check
// each other.
//
// Usage: zl27t-sim [options]
//   Where it listens (at least one):
//     --pty PATH            create a pty, link PATH to its slave (removed at exit)
//     --device PATH         use an existing tty (e.g. one end of a socat pair)
//     --tcp PORT            Modbus TCP server on 127.0.0.1 (0: any free port)
//   Serial protocol (default symax):
//     --proto symax|gateway|rtu|ascii   or --symax --gateway --rtu --ascii
//     --crc / --bcc         Sy/Max check: CRC-16 or one-byte checksum (default BCC);
//                           --crc also sets the port error check bit 0x0800 in
//                           registers 1 and 2. Writing register 1 never changes how
//                           the simulator talks, so a test keeps its link.
//     --baud N              line speed: sets the tty, paces output and, when it is
//                           one of the modem's rates, register 3 (default 13, 9600);
//                           bytes from the program are taken at that speed too
//     --parity none|even|odd   the tty's parity; with --baud, 11-bit characters
//     --stats PATH          at exit and on SIGUSR1, write "rx N tx M requests K"
//                           (bytes each way, requests handled) to PATH
//     --drop N              Sy/Max: answer only routes ending in drop N (others get
//                           error 29); Modbus: answer only slave/unit N (others are
//                           ignored). Default: answer every drop. Alias --unit, --slave
//   Device:
//     --name TEXT           module name in 8177-8186 (default "ZL27T", blank padded)
//     --port-word N         register 8176 (default 0)
//     --no-signature        register 8188 = 0 instead of 0x9990
//     --set REG=VALUE       preset a register (repeatable; decimal, -N or 0xHEX);
//                           a live register (2, 6, 8, 2060, 2075, 8001, 8187) stays put
//     --set-text REG=TEXT   preset a text, two characters per register, zero ended
//     --registers N         the device has registers 1..N only (default 65536)
//     --dial-delay MS       carrier comes up MS after register 1 bit 0 rises (1000)
//     --ring-every S        an incoming call rings every S seconds
//     --at MS:EVENT         MS milliseconds after "ready": ring (a call rings),
//                           off-hook (the line is seized), hang-up, or REG=VALUE
//                           (as --set, at that moment); repeatable
//   Faults:
//     --no-reply-every N    every Nth request gets no reply (Sy/Max: acknowledged)
//     --bad-check-every N   every Nth reply frame has a wrong BCC/CRC/LRC
//     --nak-every N         Sy/Max: every Nth good frame is answered with DLE NAK
//     --foreign-transaction-every N   every Nth reply carries a wrong transaction
//                           number (Sy/Max byte 1, TCP identifier - 1) or, on
//                           Modbus RTU/ASCII, the wrong slave address
//     --stale-reply-every N Sy/Max and TCP: every Nth reply is preceded by a stale
//                           one (Sy/Max transaction byte XOR 0x80, TCP identifier
//                           - 1) whose register values are all inverted
//     --busy-every N        Sy/Max: every Nth good frame is answered with DLE SYN
//     --wrong-unit-every N  Modbus: every Nth reply comes from the next slave/unit
//     --wrong-function-every N   Modbus: every Nth reply has function bit 0
//                           flipped; gateway: an answer of the wrong kind
//     --reset-every N       TCP: every Nth request resets the connection; RTU and
//                           ASCII: only half the reply goes out; gateway: it
//                           restarts after answering and forgets the route
//     --bad-length-every N  TCP: every Nth reply announces 300 bytes (and sends them)
//     --exception CODE@FIRST[-LAST]   requests touching those registers get the
//                           Modbus exception / Sy/Max error CODE (repeatable)
//     --delay MS            wait MS before every reply
//   --trace                 hex dump of every frame and control pair to stderr
//
// When listening it prints one line on stdout: "ready PATH" (serial), "ready PORT"
// (TCP only) or "ready PATH PORT" (both). SIGTERM or SIGINT end it cleanly;
// SIGUSR1 writes the --stats file and goes on.
//
// Registers: default configuration in 1-5, 7, 2049-2051, 8000-8012; 2 status
// (the configuration bits 0x3F9C of register 1, and bit 0 carrier, 5 PTT,
// 6 dialing, 14 off hook on PSTN, 15 ring), 6 configuration
// errors, 8 last password (0xFFFF none), 8001 ring count, 8187 bit 0 CTS, 2060
// signal level (tenths of dBm, signed) and 2075 quality, both drifting. Register 1
// bit 0 rising dials the number at the number pointer (register 5), falling hangs
// up; on a switched line (bit 13 clear) register 1 bit 14 reports off hook. A
// call (--ring-every, --at N:ring) rings 1 s in 3 and counts in 8001; with auto
// answer on it is answered after S0 (8000) rings and 8 takes the password of 7.
// Writes to 2, 6, 8, 2060, 2075, 8001, 8176-8188 are accepted and ignored.
// Sy/Max errors: 3 Illegal Address (odd or missing registers), 16 Register Count
// Too Large (above 128), 29 Illegal Route, 1 Illegal Opcode, 70 Insufficient Data.
// Reply layouts: sim/symax.h (Sy/Max), sim/gateway.h (gateway lines),
// sim/modbus.h (Modbus functions and exceptions).

#include "device.h"
#include "gateway.h"
#include "modbus.h"
#include "port.h"
#include "sim.h"
#include "symax.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

int g_signal_pipe[2] = {-1, -1};

// SIGUSR1 asks for the stats now (a benchmark reads them between
// screens); the others end the simulator.
void on_signal(int sig)
{
    const char c = sig == SIGUSR1 ? 2 : 1;
    ssize_t r = write(g_signal_pipe[1], &c, 1);
    (void)r;
}

[[noreturn]] void usage_error(const char* fmt, const char* arg)
{
    fprintf(stderr, "zl27t-sim: ");
    fprintf(stderr, fmt, arg);
    fprintf(stderr, "\nTry 'zl27t-sim --help' for the options.\n");
    exit(2);
}

long parse_number(const char* text, const char* option)
{
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 0);
    if (errno != 0 || end == text || *end != 0)
        usage_error("bad number for %s", option);
    return v;
}

unsigned parse_count(const char* text, const char* option)
{
    long v = parse_number(text, option);
    if (v < 0 || v > 1'000'000)
        usage_error("value out of range for %s", option);
    return static_cast<unsigned>(v);
}

struct Preset {
    uint32_t reg;
    std::string text;
    bool is_text;
};

void apply_preset(const Preset& p)
{
    if (!p.is_text) {
        long v = parse_number(p.text.c_str(), "--set");
        if (v < -32768 || v > 65535)
            usage_error("value out of range in --set %s", p.text.c_str());
        device_preset(p.reg, static_cast<uint16_t>(v));
        return;
    }
    uint32_t r = p.reg;
    const std::string& s = p.text;
    for (size_t i = 0; i <= s.size() && r <= 65536; i += 2, ++r) {
        uint8_t hi = i < s.size() ? static_cast<uint8_t>(s[i]) : 0;
        uint8_t lo = i + 1 < s.size() ? static_cast<uint8_t>(s[i + 1]) : 0;
        device_preset(r, static_cast<uint16_t>((hi << 8) | lo));
        if (lo == 0)
            break;
    }
}

// A timed event of the test script (--at).
struct TimedEvent {
    long ms;
    std::string what;
};

Preset parse_preset(const char* text, bool is_text, const char* option);

TimedEvent parse_timed_event(const char* text)
{
    const char* colon = strchr(text, ':');
    if (!colon)
        usage_error("--at needs MS:EVENT, got %s", text);
    std::string ms(text, colon);
    long when = parse_number(ms.c_str(), "--at");
    if (when < 0 || when > 86'400'000)
        usage_error("time out of range in --at %s", text);
    std::string what = colon + 1;
    if (what.find('=') != std::string::npos)
        parse_preset(what.c_str(), false, "--at");   // checked now, applied later
    else if (what != "ring" && what != "off-hook" && what != "hang-up")
        usage_error("unknown event in --at %s", text);
    return {when, what};
}

void schedule_timed_event(const TimedEvent& e, int64_t start)
{
    sched_at(start + e.ms, [what = e.what] {
        if (what.find('=') != std::string::npos) {
            apply_preset(parse_preset(what.c_str(), false, "--at"));
            trace_text("--at %s", what.c_str());
        } else {
            device_event(what, now_ms());
        }
    });
}

Preset parse_preset(const char* text, bool is_text, const char* option)
{
    const char* eq = strchr(text, '=');
    if (!eq)
        usage_error("%s needs REG=VALUE", option);
    std::string reg(text, eq);
    long r = parse_number(reg.c_str(), option);
    if (r < 1 || r > 65536)
        usage_error("register out of range in %s", option);
    return {static_cast<uint32_t>(r), eq + 1, is_text};
}

ExceptionRange parse_exception(const char* text)
{
    // CODE@FIRST or CODE@FIRST-LAST
    const char* at = strchr(text, '@');
    if (!at)
        usage_error("--exception needs CODE@FIRST[-LAST], got %s", text);
    std::string code(text, at);
    std::string range(at + 1);
    std::string first = range, last = range;
    size_t dash = range.find('-');
    if (dash != std::string::npos) {
        first = range.substr(0, dash);
        last = range.substr(dash + 1);
    }
    long c = parse_number(code.c_str(), "--exception");
    long f = parse_number(first.c_str(), "--exception");
    long l = parse_number(last.c_str(), "--exception");
    if (c < 1 || c > 255 || f < 1 || l < f || l > 65536)
        usage_error("bad --exception %s", text);
    return {static_cast<unsigned>(c), static_cast<uint32_t>(f), static_cast<uint32_t>(l)};
}

void print_usage()
{
    printf("zl27t-sim: a simulated ZL27T modem (Sy/Max, gateway, Modbus RTU/ASCII on a\n"
           "pty or tty, Modbus TCP on 127.0.0.1) for trying zl27t without a modem.\n"
           "It prints \"ready PATH\" (or PORT) when it listens; SIGTERM or Ctrl-C end it.\n\n");
    printf("usage: zl27t-sim (--pty PATH | --device PATH | --tcp PORT) [--proto symax|gateway|rtu|ascii]\n"
           "  [--crc] [--baud N] [--parity none|even|odd] [--stats PATH] [--drop N] [--name TEXT] [--port-word N] [--no-signature]\n"
           "  [--set REG=VALUE] [--set-text REG=TEXT] [--registers N] [--dial-delay MS]\n"
           "  [--ring-every S] [--at MS:EVENT] [--no-reply-every N] [--bad-check-every N] [--nak-every N]\n"
           "  [--foreign-transaction-every N] [--stale-reply-every N] [--busy-every N] [--exception CODE@FIRST[-LAST]] [--delay MS] [--trace]\n"
           "  [--wrong-unit-every N] [--wrong-function-every N] [--reset-every N] [--bad-length-every N]\n");
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<Preset> presets;
    std::vector<TimedEvent> timed_events;
    std::string name = "ZL27T";
    long port_word = 0;
    bool signature = true;

    for (int i = 1; i < argc; ++i) {
        std::string opt = argv[i];
        std::string value;
        bool has_inline = false;
        size_t eq = opt.find('=');
        if (opt.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = opt.substr(eq + 1);
            opt = opt.substr(0, eq);
            has_inline = true;
        }
        auto arg = [&]() -> const char* {
            if (has_inline)
                return value.c_str();
            if (i + 1 >= argc)
                usage_error("%s needs a value", opt.c_str());
            return argv[++i];
        };
        if (opt == "--help" || opt == "-h") {
            print_usage();
            return 0;
        } else if (opt == "--pty") {
            g_opt.pty_path = arg();
        } else if (opt == "--device") {
            g_opt.device_path = arg();
        } else if (opt == "--tcp") {
            const char* text = arg();
            long p = parse_number(text, "--tcp");
            if (p < 0 || p > 65535)
                usage_error("bad TCP port %s", text);
            g_opt.tcp_port = static_cast<int>(p);
        } else if (opt == "--proto") {
            std::string p = arg();
            if (p == "symax") g_opt.proto = SerialProto::symax;
            else if (p == "gateway") g_opt.proto = SerialProto::gateway;
            else if (p == "rtu") g_opt.proto = SerialProto::rtu;
            else if (p == "ascii") g_opt.proto = SerialProto::ascii;
            else usage_error("unknown protocol %s", p.c_str());
        } else if (opt == "--symax") {
            g_opt.proto = SerialProto::symax;
        } else if (opt == "--gateway") {
            g_opt.proto = SerialProto::gateway;
        } else if (opt == "--rtu") {
            g_opt.proto = SerialProto::rtu;
        } else if (opt == "--ascii") {
            g_opt.proto = SerialProto::ascii;
        } else if (opt == "--crc") {
            g_opt.crc = true;
        } else if (opt == "--bcc") {
            g_opt.crc = false;
        } else if (opt == "--trace") {
            g_opt.trace = true;
        } else if (opt == "--baud") {
            g_opt.baud = static_cast<long>(parse_count(arg(), "--baud"));
        } else if (opt == "--parity") {
            std::string p = arg();
            g_opt.parity = p == "none" ? 0 : p == "even" ? 1 : p == "odd" ? 2 : -1;
            if (g_opt.parity < 0)
                usage_error("bad parity %s", p.c_str());
        } else if (opt == "--stats") {
            g_opt.stats_path = arg();
        } else if (opt == "--drop" || opt == "--unit" || opt == "--slave") {
            long d = parse_number(arg(), opt.c_str());
            if (d < 0 || d > 255)
                usage_error("bad drop for %s", opt.c_str());
            g_opt.drop = static_cast<int>(d);
        } else if (opt == "--name") {
            name = arg();
        } else if (opt == "--port-word") {
            port_word = parse_number(arg(), "--port-word");
            if (port_word < 0 || port_word > 65535)
                usage_error("bad value for %s", "--port-word");
        } else if (opt == "--no-signature") {
            signature = false;
        } else if (opt == "--set") {
            presets.push_back(parse_preset(arg(), false, "--set"));
        } else if (opt == "--set-text") {
            presets.push_back(parse_preset(arg(), true, "--set-text"));
        } else if (opt == "--registers") {
            unsigned n = parse_count(arg(), "--registers");
            if (n < 1 || n > 65536)
                usage_error("bad value for %s", "--registers");
            g_opt.registers = n;
        } else if (opt == "--dial-delay") {
            g_opt.dial_ms = parse_count(arg(), "--dial-delay");
        } else if (opt == "--ring-every") {
            g_opt.ring_every_s = parse_count(arg(), "--ring-every");
        } else if (opt == "--at") {
            timed_events.push_back(parse_timed_event(arg()));
        } else if (opt == "--no-reply-every") {
            g_opt.no_reply_every = parse_count(arg(), "--no-reply-every");
        } else if (opt == "--bad-check-every") {
            g_opt.bad_check_every = parse_count(arg(), "--bad-check-every");
        } else if (opt == "--nak-every") {
            g_opt.nak_every = parse_count(arg(), "--nak-every");
        } else if (opt == "--stale-reply-every") {
            g_opt.stale_every = parse_count(arg(), "--stale-reply-every");
        } else if (opt == "--busy-every") {
            g_opt.busy_every = parse_count(arg(), "--busy-every");
        } else if (opt == "--foreign-transaction-every") {
            g_opt.foreign_every = parse_count(arg(), "--foreign-transaction-every");
        } else if (opt == "--wrong-unit-every") {
            g_opt.wrong_unit_every = parse_count(arg(), "--wrong-unit-every");
        } else if (opt == "--wrong-function-every") {
            g_opt.wrong_function_every = parse_count(arg(), "--wrong-function-every");
        } else if (opt == "--reset-every") {
            g_opt.reset_every = parse_count(arg(), "--reset-every");
        } else if (opt == "--bad-length-every") {
            g_opt.bad_length_every = parse_count(arg(), "--bad-length-every");
        } else if (opt == "--exception") {
            g_opt.exceptions.push_back(parse_exception(arg()));
        } else if (opt == "--delay") {
            g_opt.delay_ms = parse_count(arg(), "--delay");
        } else {
            usage_error("unknown option %s", argv[i]);
        }
    }
    if (g_opt.pty_path.empty() && g_opt.device_path.empty() && g_opt.tcp_port < 0)
        usage_error("%s", "nothing to listen on: give --pty, --device or --tcp");
    if (!g_opt.pty_path.empty() && !g_opt.device_path.empty())
        usage_error("%s", "--pty and --device exclude each other");

    device_init(now_ms());
    device_set_name(name);
    device_preset(REG_ID_PORT, static_cast<uint16_t>(port_word));
    if (!signature)
        device_preset(REG_ID_SIGNATURE, 0);
    for (const Preset& p : presets)
        apply_preset(p);

    if (pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        perror("zl27t-sim: pipe");
        return 1;
    }
    struct sigaction sa{};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGUSR1, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::string err;
    bool serial = false;
    if (!g_opt.pty_path.empty()) {
        if (!port_open_pty(g_opt.pty_path, err)) {
            fprintf(stderr, "zl27t-sim: %s\n", err.c_str());
            return 1;
        }
        serial = true;
    } else if (!g_opt.device_path.empty()) {
        if (!port_open_device(g_opt.device_path, err)) {
            fprintf(stderr, "zl27t-sim: %s\n", err.c_str());
            return 1;
        }
        serial = true;
    }
    if (serial) {
        switch (g_opt.proto) {
        case SerialProto::symax: port_set_receiver(symax_receive); break;
        case SerialProto::gateway: port_set_receiver(gateway_receive); break;
        case SerialProto::rtu: port_set_receiver(rtu_receive); break;
        case SerialProto::ascii: port_set_receiver(ascii_receive); break;
        }
    }
    int tcp_port = -1;
    if (g_opt.tcp_port >= 0) {
        tcp_port = tcp_open(g_opt.tcp_port, err);
        if (tcp_port < 0) {
            fprintf(stderr, "zl27t-sim: %s\n", err.c_str());
            port_close();
            return 1;
        }
    }

    if (serial && tcp_port >= 0)
        printf("ready %s %d\n", port_name().c_str(), tcp_port);
    else if (serial)
        printf("ready %s\n", port_name().c_str());
    else
        printf("ready %d\n", tcp_port);
    fflush(stdout);
    for (const TimedEvent& e : timed_events)
        schedule_timed_event(e, now_ms());

    std::vector<pollfd> fds;
    for (;;) {
        int64_t now = now_ms();
        device_tick(now);
        sched_run(now);
        port_service(now, 0);

        int64_t due = device_next_due(now);
        for (int64_t d : {sched_next(), port_next_due(now)})
            if (d >= 0 && d < due)
                due = d;
        int timeout = static_cast<int>(due > now ? due - now : 0);

        fds.clear();
        fds.push_back({g_signal_pipe[0], POLLIN, 0});
        short port_events = 0;
        int pfd = port_poll_fd(port_events);
        size_t port_index = fds.size();
        if (pfd >= 0)
            fds.push_back({pfd, port_events, 0});
        size_t tcp_index = fds.size();
        tcp_poll_fds(fds);

        int n = poll(fds.data(), fds.size(), timeout);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            perror("zl27t-sim: poll");
            break;
        }
        if (fds[0].revents) {
            char c[16];
            bool end = false;
            for (ssize_t k; (k = read(g_signal_pipe[0], c, sizeof c)) > 0;)
                for (ssize_t i = 0; i < k; ++i)
                    end = end || c[i] != 2;
            if (end)
                break;
            port_write_stats(g_opt.stats_path);
        }
        now = now_ms();
        if (pfd >= 0 && fds[port_index].revents)
            port_service(now, fds[port_index].revents);
        tcp_service(fds, tcp_index);
    }
    tcp_close();
    port_write_stats(g_opt.stats_path);
    port_close();
    return 0;
}
