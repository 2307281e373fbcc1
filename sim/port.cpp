#include "port.h"

#include "sim.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

int g_fd = -1;          // pty master or the tty
int g_slave_fd = -1;    // kept open so the master never reports a hang-up
std::string g_link;     // symlink we made, removed at close
std::string g_name;
void (*g_receiver)(const uint8_t*, size_t) = nullptr;
std::deque<uint8_t> g_out;
int64_t g_next_byte_us = 0;  // pacing: earliest time of the next byte
int64_t g_rest_until = -1;   // far end gone: do not poll before this
std::vector<uint8_t>* g_capture = nullptr;
// Received bytes held until a paced line would have delivered them.
struct Arrival {
    uint8_t byte;
    int64_t due_us;
};
std::deque<Arrival> g_in;
int64_t g_in_last_us = 0;    // when the last byte held has fully arrived
uint64_t g_rx_bytes = 0, g_tx_bytes = 0;

int64_t now_us()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t char_time_us()
{
    // Start bit, 8 data bits, the parity bit if any, stop bit.
    int64_t bits = g_opt.parity ? 11 : 10;
    return g_opt.baud > 0 ? bits * 1'000'000 / g_opt.baud : 0;
}

speed_t speed_of(long baud)
{
    switch (baud) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: case 135: return B134;
    case 150: return B150;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B9600;
    }
}

int make_raw(int fd, std::string& err)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        err = std::string("tcgetattr: ") + strerror(errno);
        return 0;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (g_opt.baud > 0)
        cfsetspeed(&tio, speed_of(g_opt.baud));
    if (g_opt.parity)
        tio.c_cflag |= PARENB | (g_opt.parity == 2 ? PARODD : 0);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        err = std::string("tcsetattr: ") + strerror(errno);
        return 0;
    }
    return 1;
}

// Hands the receiver every held byte whose time on the line is over.
void deliver_arrived()
{
    if (g_in.empty())
        return;
    int64_t t = now_us();
    uint8_t buf[512];
    size_t n = 0;
    while (!g_in.empty() && g_in.front().due_us <= t && n < sizeof buf) {
        buf[n++] = g_in.front().byte;
        g_in.pop_front();
    }
    if (n > 0 && g_receiver)
        g_receiver(buf, n);
}

} // namespace

int port_open_pty(const std::string& link_path, std::string& err)
{
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0) {
        err = std::string("posix_openpt: ") + strerror(errno);
        if (m >= 0)
            close(m);
        return 0;
    }
    char name[128];
    if (ptsname_r(m, name, sizeof name) != 0) {
        err = std::string("ptsname: ") + strerror(errno);
        close(m);
        return 0;
    }
    int s = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (s < 0) {
        err = std::string("open ") + name + ": " + strerror(errno);
        close(m);
        return 0;
    }
    if (!make_raw(s, err)) {
        close(s);
        close(m);
        return 0;
    }
    // Replace a stale link left by an earlier run, but never a real file.
    struct stat st{};
    if (lstat(link_path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            err = link_path + " exists and is not a symbolic link";
            close(s);
            close(m);
            return 0;
        }
        unlink(link_path.c_str());
    }
    if (symlink(name, link_path.c_str()) != 0) {
        err = "symlink " + link_path + ": " + strerror(errno);
        close(s);
        close(m);
        return 0;
    }
    g_fd = m;
    g_slave_fd = s;
    g_link = link_path;
    g_name = link_path;
    return 1;
}

int port_open_device(const std::string& path, std::string& err)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        err = "open " + path + ": " + strerror(errno);
        return 0;
    }
    if (!make_raw(fd, err)) {
        close(fd);
        return 0;
    }
    g_fd = fd;
    g_name = path;
    return 1;
}

void port_close()
{
    if (!g_link.empty()) {
        // Only remove the link if it is still ours.
        char target[256];
        ssize_t n = readlink(g_link.c_str(), target, sizeof target - 1);
        if (n > 0 && g_slave_fd >= 0) {
            target[n] = 0;
            char name[128];
            if (ptsname_r(g_fd, name, sizeof name) == 0 && strcmp(name, target) == 0)
                unlink(g_link.c_str());
        }
        g_link.clear();
    }
    if (g_slave_fd >= 0)
        close(g_slave_fd);
    if (g_fd >= 0)
        close(g_fd);
    g_slave_fd = g_fd = -1;
}

const std::string& port_name() { return g_name; }

void port_set_receiver(void (*fn)(const uint8_t*, size_t)) { g_receiver = fn; }

void port_capture(std::vector<uint8_t>* sink) { g_capture = sink; }

void port_send(const uint8_t* bytes, size_t n)
{
    if (g_capture) {
        g_capture->insert(g_capture->end(), bytes, bytes + n);
        return;
    }
    if (g_fd < 0)
        return;
    if (g_out.empty()) {
        int64_t t = now_us();
        if (g_next_byte_us < t)
            g_next_byte_us = t;
    }
    g_out.insert(g_out.end(), bytes, bytes + n);
    port_service(now_ms(), 0);
}

int64_t port_drain_time()
{
    int64_t t = now_us();
    int64_t start = g_next_byte_us > t ? g_next_byte_us : t;
    int64_t done = start + static_cast<int64_t>(g_out.size()) * char_time_us();
    return (done + 999) / 1000;
}

int port_poll_fd(short& events)
{
    if (g_fd < 0)
        return -1;
    if (g_rest_until >= 0) {
        if (now_ms() < g_rest_until)
            return -1;
        g_rest_until = -1;
    }
    events = POLLIN;
    if (!g_out.empty() && (char_time_us() == 0 || now_us() >= g_next_byte_us))
        events |= POLLOUT;
    return g_fd;
}

void port_service(int64_t now, short revents)
{
    if (g_fd < 0)
        return;
    if (revents & (POLLIN | POLLHUP | POLLERR)) {
        uint8_t buf[512];
        ssize_t n = read(g_fd, buf, sizeof buf);
        if (n > 0) {
            g_rx_bytes += static_cast<uint64_t>(n);
            int64_t ct = char_time_us();
            if (ct == 0) {
                if (g_receiver)
                    g_receiver(buf, static_cast<size_t>(n));
            } else {
                // The writer's side takes bytes at once; a line would not.
                int64_t t = now_us();
                for (ssize_t i = 0; i < n; ++i) {
                    g_in_last_us = (g_in_last_us > t ? g_in_last_us : t) + ct;
                    g_in.push_back({buf[i], g_in_last_us});
                }
            }
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            // Far end closed: rest a little instead of spinning on the hang-up.
            g_rest_until = now + 50;
        }
    }
    deliver_arrived();
    // Write what is due; unpaced output goes in one write.
    while (!g_out.empty()) {
        int64_t ct = char_time_us();
        size_t chunk = g_out.size();
        if (ct > 0) {
            int64_t t = now_us();
            if (t < g_next_byte_us)
                break;
            chunk = static_cast<size_t>((t - g_next_byte_us) / ct) + 1;
            if (chunk > g_out.size())
                chunk = g_out.size();
        }
        uint8_t buf[512];
        if (chunk > sizeof buf)
            chunk = sizeof buf;
        for (size_t i = 0; i < chunk; ++i)
            buf[i] = g_out[i];
        ssize_t w = write(g_fd, buf, chunk);
        if (w <= 0) {
            if (w < 0 && errno != EAGAIN && errno != EINTR) {
                g_out.clear();  // nobody there to hear it
            }
            break;
        }
        g_out.erase(g_out.begin(), g_out.begin() + w);
        g_tx_bytes += static_cast<uint64_t>(w);
        if (ct > 0)
            g_next_byte_us += static_cast<int64_t>(w) * ct;
    }
}

int64_t port_next_due(int64_t now)
{
    if (g_rest_until >= 0)
        return g_rest_until;
    if (!g_in.empty()) {
        int64_t due = (g_in.front().due_us + 999) / 1000;
        return due > now ? due : now;
    }
    if (!g_out.empty() && char_time_us() > 0) {
        int64_t due = g_next_byte_us / 1000;
        return due > now ? due : now;
    }
    return -1;
}

void port_write_stats(const std::string& path)
{
    if (path.empty())
        return;
    if (FILE* f = fopen(path.c_str(), "w")) {
        fprintf(f, "rx %llu tx %llu requests %llu\n", static_cast<unsigned long long>(g_rx_bytes),
                static_cast<unsigned long long>(g_tx_bytes), static_cast<unsigned long long>(g_requests));
        fclose(f);
    }
}
