#include "gateway.h"

#include "device.h"
#include "port.h"
#include "sim.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr size_t LINE_MAX = 600;
constexpr uint32_t GATEWAY_LAST_REGISTER = 8192;

std::string g_line;
bool g_line_overflow = false;
bool g_route_selected = false;
FaultCounter g_no_reply_faults, g_wrong_kind_faults, g_reset_faults;

void send_line(std::string text)
{
    text += '\r';
    auto send = [text] {
        trace_chars("tx", "line", text.data(), text.size());
        port_send(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    };
    if (g_opt.delay_ms > 0)
        sched_at(now_ms() + g_opt.delay_ms, send);
    else
        send();
}

std::string error_line(unsigned code)
{
    char buf[24];
    snprintf(buf, sizeof buf, "ERROR %u", code);
    return buf;
}

// Numbers after the command letter; false on anything but blanks and digits.
bool parse_numbers(const std::string& s, std::vector<unsigned long>& out)
{
    size_t i = 1;
    while (i < s.size()) {
        if (s[i] == ' ' || s[i] == ',') {
            ++i;
            continue;
        }
        if (s[i] < '0' || s[i] > '9')
            return false;
        unsigned long v = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
            v = v * 10 + static_cast<unsigned long>(s[i] - '0');
            if (v > 0xFFFFFFFFul)
                return false;
            ++i;
        }
        out.push_back(v);
    }
    return true;
}

unsigned range_error(unsigned long first, unsigned long count)
{
    if (count > 128)
        return 16;
    if (first < 1 || count < 1 || first + count - 1 > GATEWAY_LAST_REGISTER ||
        !device_exists(static_cast<uint32_t>(first), static_cast<uint32_t>(count)))
        return 3;
    return exception_for(static_cast<uint32_t>(first), static_cast<uint32_t>(count));
}

std::string handle(const std::string& line)
{
    ++g_requests;
    std::vector<unsigned long> n;
    char cmd = line[0];
    if (cmd >= 'a' && cmd <= 'z')
        cmd = static_cast<char>(cmd - 'a' + 'A');
    if ((cmd != 'A' && cmd != 'R' && cmd != 'W') || !parse_numbers(line, n))
        return error_line(71);
    if (cmd == 'A') {
        g_route_selected = false;
        if (n.empty() || n.size() > 8)
            return error_line(29);
        for (unsigned long d : n)
            if (d > 255)
                return error_line(29);
        if (g_opt.drop >= 0 && n.back() != static_cast<unsigned long>(g_opt.drop))
            return error_line(29);
        g_route_selected = true;
        return "";
    }
    if (!g_route_selected)
        return error_line(112);
    if (cmd == 'R') {
        if (n.size() != 2)
            return error_line(72);
        if (unsigned e = range_error(n[0], n[1]))
            return error_line(e);
        std::string out;
        for (unsigned long i = 0; i < n[1]; ++i) {
            char buf[8];
            snprintf(buf, sizeof buf, "%s%u", i ? " " : "", device_read(static_cast<uint32_t>(n[0] + i)));
            out += buf;
        }
        return out;
    }
    if (n.size() < 2)
        return error_line(72);
    if (unsigned e = range_error(n[0], n.size() - 1))
        return error_line(e);
    for (size_t i = 1; i < n.size(); ++i)
        device_write(static_cast<uint32_t>(n[0] + i - 1), static_cast<uint16_t>(n[i] & 0xFFFF));
    return "";
}

} // namespace

void gateway_reset()
{
    g_line.clear();
    g_line_overflow = false;
    g_route_selected = false;
    g_no_reply_faults = g_wrong_kind_faults = g_reset_faults = FaultCounter{};
}

void gateway_receive(const uint8_t* bytes, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        char c = static_cast<char>(bytes[i] & 0x7F);
        if (c >= 0x20) {
            if (g_line.size() < LINE_MAX)
                g_line += c;
            else
                g_line_overflow = true;
            continue;
        }
        if (g_line.empty())
            continue;  // the LF after a CR, or stray control characters
        trace_chars("rx", "line", g_line.data(), g_line.size());
        if (g_line_overflow)
            send_line(error_line(71));
        else if (fault_hit(g_no_reply_faults, g_opt.no_reply_every))
            trace_text("command left unanswered");
        else if (fault_hit(g_reset_faults, g_opt.reset_every)) {
            send_line(handle(g_line));
            trace_text("gateway restarts after answering: route forgotten");
            g_route_selected = false;
        } else if (fault_hit(g_wrong_kind_faults, g_opt.wrong_function_every)) {
            // A lone CR where values were due, values where a lone CR was.
            bool read = (g_line[0] | 0x20) == 'r';
            trace_text("answer of the wrong kind");
            send_line(read ? "" : "0");
        } else
            send_line(handle(g_line));
        g_line.clear();
        g_line_overflow = false;
    }
}
