// The simulator's own framers and request handling, byte for byte. The
// simulator is the program's test peer, so its wire format is checked here on
// its own, from the byte examples of the protocols.
#include "device.h"
#include "gateway.h"
#include "modbus.h"
#include "port.h"
#include "sim.h"
#include "symax.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

class Sim : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_opt = SimOptions{};
        sched_clear();
        device_init(now_ms());
        symax_reset();
        port_capture(&out);
    }
    void TearDown() override
    {
        port_capture(nullptr);
        sched_clear();
    }
    // Feeds the bytes one at a time, as a slow line would deliver them.
    void feed(const Bytes& b)
    {
        for (uint8_t c : b)
            symax_receive(&c, 1);
    }
    Bytes out;
};

Bytes concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(SimFrame, ChecksumsMatchTheProtocolExamples)
{
    // BCC of SEQ1, no route, data 0x00: low byte of 0 - (11+10+02+00+10+03).
    Bytes f = symax_build_frame(SEQ1, {}, {0x00}, false);
    EXPECT_EQ(f, (Bytes{DLE, SOH, SEQ1, DLE, STX, 0x00, DLE, ETX, 0xCA}));

    // A data DLE goes out twice and counts twice.
    Bytes d = symax_build_frame(SEQ1, {}, {DLE}, false);
    EXPECT_EQ(d, (Bytes{DLE, SOH, SEQ1, DLE, STX, DLE, DLE, DLE, ETX,
                        static_cast<uint8_t>(0 - (0x11 + 0x10 + 0x02 + 0x10 + 0x10 + 0x10 + 0x03))}));

    // CRC mode: two check bytes, high first, over the same bytes.
    Bytes c = symax_build_frame(SEQ2, {}, {0x00}, true);
    const uint8_t covered[] = {SEQ2, DLE, STX, 0x00, DLE, ETX};
    uint16_t crc = crc16(covered, sizeof covered);
    EXPECT_EQ(c.size(), 10u);
    EXPECT_EQ(c[8], crc >> 8);
    EXPECT_EQ(c[9], crc & 0xFF);

    // Modbus RTU example: 11 03 00 00 00 02 carries C6 9B (low byte first).
    const uint8_t rtu[] = {0x11, 0x03, 0x00, 0x00, 0x00, 0x02};
    EXPECT_EQ(crc16(rtu, sizeof rtu), 0x9BC6);
}

TEST_F(Sim, ReadRequestIsAcknowledgedAndAnsweredWithTheTransaction)
{
    // Identification block: 13 registers from 8176 (byte address 0x3FDE).
    feed(symax_build_frame(SEQ1, {'C', '9', '0', '1'}, {0x00, 0x37, 0x3F, 0xDE, 0x00, 0x0C}, false));
    Bytes data = {0x86, 0x37, 0x3F, 0xDE, 0x00, 0x00, 'Z', 'L', '2', '7', 'T', ' '};
    for (int i = 0; i < 7; ++i)
        data.insert(data.end(), {' ', ' '});
    data.insert(data.end(), {0x00, 0x00, 0x99, 0x90});
    Bytes want = concat({DLE, SEQ1}, symax_build_frame(SEQ1, {'0', '1', 'C', '9'}, data, false));
    EXPECT_EQ(out, want);

    // The reply is resent on NAK, and after its acknowledgement the next reply
    // uses the other sequence byte (here reading register 3, the port rate).
    out.clear();
    feed({DLE, NAK});
    EXPECT_EQ(out, symax_build_frame(SEQ1, {'0', '1', 'C', '9'}, data, false));
    out.clear();
    feed({DLE, SEQ1});
    feed(symax_build_frame(SEQ2, {}, {0x00, 0x38, 0x00, 0x04, 0x00, 0x00}, false));
    EXPECT_EQ(out, concat({DLE, SEQ2}, symax_build_frame(SEQ2, {}, {0x86, 0x38, 0x00, 0x04, 0x00, 13}, false)));
}

TEST_F(Sim, ReceiveFramerRefusesBadFramesAndRestartsOnSoh)
{
    Bytes good = symax_build_frame(SEQ1, {}, {0x00, 0x41, 0x00, 0x00, 0x00, 0x00}, false);
    ASSERT_FALSE(good.empty());
    Bytes bad = good;
    bad.back() ^= 1;
    feed(bad);
    EXPECT_EQ(out, (Bytes{DLE, NAK}));

    // An enquiry gets the last answer again.
    out.clear();
    feed({DLE, ENQ});
    EXPECT_EQ(out, (Bytes{DLE, NAK}));

    // A frame cut short by a new DLE SOH is dropped; the new one is answered.
    out.clear();
    Bytes cut(good.begin(), good.begin() + 7);
    feed(concat(cut, good));
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ(out[0], DLE);
    EXPECT_EQ(out[1], SEQ1);
    EXPECT_EQ(std::count(out.begin(), out.end(), SOH), 1);
}

TEST_F(Sim, CheckByteEqualToDleIsNotAnEscape)
{
    // Find a transaction byte whose frame ends in a BCC of 0x10.
    for (unsigned t = 0; t < 256; ++t) {
        Bytes f = symax_build_frame(SEQ1, {}, {0x00, static_cast<uint8_t>(t), 0x00, 0x00, 0x00, 0x00}, false);
        if (f.back() != DLE)
            continue;
        feed(f);
        ASSERT_GE(out.size(), 2u);
        EXPECT_EQ(out[0], DLE);
        EXPECT_EQ(out[1], SEQ1);
        return;
    }
    FAIL() << "no transaction byte gives a BCC of 0x10";
}

TEST_F(Sim, BusyAndStaleReplyFaults)
{
    g_opt.busy_every = 1;
    Bytes request = symax_build_frame(SEQ1, {}, {0x00, 0x21, 0x00, 0x04, 0x00, 0x00}, false);
    feed(request);
    EXPECT_EQ(out, (Bytes{DLE, SYN}));

    // A stale reply (other transaction byte, values inverted) goes first; the
    // right one follows once the stale one is acknowledged.
    g_opt.busy_every = 0;
    g_opt.stale_every = 1;
    out.clear();
    feed(request);
    EXPECT_EQ(out, concat({DLE, SEQ1}, symax_build_frame(SEQ1, {}, {0x86, 0xA1, 0x00, 0x04, 0xFF, 0xF2}, false)));
    out.clear();
    feed({DLE, SEQ1});
    EXPECT_EQ(out, symax_build_frame(SEQ2, {}, {0x86, 0x21, 0x00, 0x04, 0x00, 0x0D}, false));
}

struct RequestCase {
    const char* what;
    Bytes route;
    Bytes request;
    Bytes reply_route;
    Bytes reply;
};

TEST_F(Sim, RequestsAndTheirReplies)
{
    device_preset(20, 0x1234);
    const RequestCase cases[] = {
        {"read 2 from 20", {}, {0x00, 5, 0x00, 0x26, 0x00, 0x01}, {}, {0x86, 5, 0x00, 0x26, 0x12, 0x34, 0x00, 0x00}},
        {"count 129", {}, {0x00, 6, 0x00, 0x00, 0x00, 0x80}, {}, {0xA2, 6, 16}},
        {"odd byte address", {}, {0x00, 7, 0x00, 0x01, 0x00, 0x00}, {}, {0xA2, 7, 3}},
        {"unknown opcode", {}, {0x55, 8}, {}, {0xA2, 8, 1}},
        {"write 0x1234 to 21", {}, {0x02, 9, 0x00, 0x28, 0x56, 0x78, 0xFF, 0xFF}, {}, {0x80, 9, 0x00, 0x28}},
        {"priority read 21", {}, {0x20, 10, 0, 0, 0, 0x00, 0x28, 0x00, 0x00}, {}, {0x90, 10, 0, 0, 0, 0x00, 0x28, 0x56, 0x78}},
        {"priority write 22", {}, {0x1E, 11, 0x00, 0x00, 0x2A, 0xAB, 0xCD}, {}, {0x92, 11, 0, 0, 0}},
        {"carried input read 20-22", {}, {0x22, 0xBA, 0xD5, 0x00, 0x04, 0x00, 0x13, 0x00, 0x03}, {},
         {0x92, 0xBA, 0xD5, 0x00, 0x04, 6, 0x12, 0x34, 0x56, 0x78, 0xAB, 0xCD}},
        {"carried read of 126", {}, {0x22, 0xBA, 0xD5, 0x00, 0x04, 0x00, 0x00, 0x00, 126}, {},
         {0x92, 0xBA, 0xD5, 0x00, 0x84, 3}},
        {"net-to-net route comes back reversed, mark kept", {'6', '9', 0xB0, '5'},
         {0x00, 12, 0x00, 0x26, 0x00, 0x00}, {0xB0, '5', '6', '9'}, {0x86, 12, 0x00, 0x26, 0x12, 0x34}},
        {"route of non-hex characters", {'X', '1'}, {0x00, 13, 0x00, 0x00, 0x00, 0x00}, {}, {0xA2, 13, 29}},
    };
    for (const RequestCase& c : cases) {
        SymaxReply r = symax_handle(c.route, c.request);
        EXPECT_EQ(r.data, c.reply) << c.what;
        EXPECT_EQ(r.route, c.reply_route) << c.what;
    }
}

TEST_F(Sim, FaultsAndDropSelection)
{
    g_opt.drop = 5;
    g_opt.exceptions.push_back({7, 100, 109});
    EXPECT_EQ(symax_handle({'0', '6'}, {0x00, 1, 0x00, 0x00, 0x00, 0x00}).data, (Bytes{0xA2, 1, 29}));
    EXPECT_EQ(symax_handle({'0', '5'}, {0x00, 2, 0x00, 0xC6, 0x00, 0x00}).data, (Bytes{0xA2, 2, 7}));  // reg 100
    EXPECT_EQ(symax_handle({'0', '5'}, {0x00, 3, 0x00, 0xC4, 0x00, 0x00}).data[0], 0x86);            // reg 99

    g_opt.foreign_every = 2;
    EXPECT_EQ(symax_handle({}, {0x00, 4, 0, 0, 0, 0}).data[1], 4);
    EXPECT_NE(symax_handle({}, {0x00, 5, 0, 0, 0, 0}).data[1], 5);
}

TEST_F(Sim, ModbusRequests)
{
    device_preset(1000, 0xBEEF);
    g_opt.registers = 2000;
    struct Case {
        const char* what;
        Bytes request, reply;
    } cases[] = {
        {"read 1000", {3, 0x03, 0xE7, 0x00, 0x01}, {3, 2, 0xBE, 0xEF}},
        {"input read 1000", {4, 0x03, 0xE7, 0x00, 0x01}, {4, 2, 0xBE, 0xEF}},
        {"count 126", {3, 0x00, 0x00, 0x00, 126}, {0x83, 3}},
        {"past the last register", {3, 0x07, 0xCF, 0x00, 0x02}, {0x83, 2}},
        {"unknown function", {0x2B, 0x0E, 0x01, 0x00}, {0xAB, 1}},
        {"write multiple 10-11", {16, 0x00, 0x09, 0x00, 0x02, 0x04, 0x00, 0x01, 0xFF, 0xFF}, {16, 0x00, 0x09, 0x00, 0x02}},
        {"byte count not 2N", {16, 0x00, 0x09, 0x00, 0x02, 0x03, 0x00, 0x01, 0xFF}, {0x90, 3}},
        {"file record to 12", {21, 9, 0x03, 0x00, 0x00, 0x00, 0x0B, 0x00, 0x01, 0x12, 0x34},
         {21, 9, 0x03, 0x00, 0x00, 0x00, 0x0B, 0x00, 0x01, 0x12, 0x34}},
        {"read back 10-12", {3, 0x00, 0x09, 0x00, 0x03}, {3, 6, 0x00, 0x01, 0xFF, 0xFF, 0x12, 0x34}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(modbus_pdu(c.request.data(), c.request.size()), c.reply) << c.what;
}

Bytes rtu_with_crc(Bytes adu)
{
    uint16_t crc = crc16(adu.data(), adu.size());
    adu.push_back(static_cast<uint8_t>(crc));
    adu.push_back(static_cast<uint8_t>(crc >> 8));
    return adu;
}

std::string ascii_with_lrc(const Bytes& adu)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out = ":";
    uint8_t lrc = 0;
    for (uint8_t b : adu) {
        out += digits[b >> 4];
        out += digits[b & 15];
        lrc = static_cast<uint8_t>(lrc - b);
    }
    out += digits[lrc >> 4];
    out += digits[lrc & 15];
    return out + "\r\n";
}

// Each serial fault on a read of register 1000 (0xBEEF) by slave 17, over RTU
// and over ASCII: what goes back on the line.
TEST_F(Sim, SerialModbusFaults)
{
    device_preset(1000, 0xBEEF);
    const Bytes request = {17, 0x03, 0x03, 0xE7, 0x00, 0x01};
    const Bytes good = {17, 0x03, 2, 0xBE, 0xEF};
    struct Case {
        const char* what;
        unsigned SimOptions::*fault;
        Bytes adu;     // reply before its check
        bool bad_check;
        bool cut;
    } cases[] = {
        {"no fault", nullptr, good, false, false},
        {"no reply", &SimOptions::no_reply_every, {}, false, false},
        {"bad check", &SimOptions::bad_check_every, good, true, false},
        {"wrong unit", &SimOptions::wrong_unit_every, {18, 0x03, 2, 0xBE, 0xEF}, false, false},
        {"wrong function", &SimOptions::wrong_function_every, {17, 0x02, 2, 0xBE, 0xEF}, false, false},
        {"reset cuts the reply", &SimOptions::reset_every, good, false, true},
    };
    for (bool ascii : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (ascii ? " (ascii)" : " (rtu)"));
            g_opt = SimOptions{};
            if (c.fault)
                g_opt.*c.fault = 1;
            modbus_reset();
            out.clear();
            Bytes expected;
            if (!c.adu.empty()) {
                if (ascii) {
                    std::string text = ascii_with_lrc(c.adu);
                    expected.assign(text.begin(), text.end());
                } else {
                    expected = rtu_with_crc(c.adu);
                }
                if (c.cut)
                    expected.resize(expected.size() / 2);
            }
            if (ascii) {
                std::string wire = ascii_with_lrc(request);
                ascii_receive(reinterpret_cast<const uint8_t*>(wire.data()), wire.size());
            } else {
                Bytes wire = rtu_with_crc(request);
                rtu_receive(wire.data(), wire.size());
            }
            if (c.bad_check) {
                ASSERT_EQ(out.size(), expected.size());
                EXPECT_NE(out, expected);
            } else {
                EXPECT_EQ(out, expected);
            }
        }
    }
    // An injected exception comes back as the exception reply.
    g_opt = SimOptions{};
    g_opt.exceptions.push_back({4, 1000, 1000});
    modbus_reset();
    out.clear();
    Bytes wire = rtu_with_crc(request);
    rtu_receive(wire.data(), wire.size());
    EXPECT_EQ(out, rtu_with_crc({17, 0x83, 4}));
}

TEST_F(Sim, GatewayFaults)
{
    device_preset(100, 10);
    auto command = [this](const std::string& line) {
        out.clear();
        gateway_receive(reinterpret_cast<const uint8_t*>(line.data()), line.size());
        return std::string(out.begin(), out.end());
    };
    gateway_reset();
    EXPECT_EQ(command("R 100 1\r"), "ERROR 112\r");   // no route yet
    EXPECT_EQ(command("A 201 1\r"), "\r");
    EXPECT_EQ(command("R 100 1\r"), "10\r");

    g_opt.wrong_function_every = 1;
    EXPECT_EQ(command("R 100 1\r"), "\r");
    EXPECT_EQ(command("W 100 5\r"), "0\r");
    EXPECT_EQ(device_read(100), 10);   // the wrong answer stood for the write
    g_opt.wrong_function_every = 0;

    g_opt.reset_every = 1;
    EXPECT_EQ(command("R 100 1\r"), "10\r");
    g_opt.reset_every = 0;
    EXPECT_EQ(command("R 100 1\r"), "ERROR 112\r");   // the restart forgot the route
}

TEST_F(Sim, DialHangUpAndConfigurationErrors)
{
    EXPECT_EQ(device_read(REG_CONFIG_ERRORS), 0);
    device_write(REG_CONTROL, 0x0001);
    EXPECT_EQ(device_read(REG_STATUS) & 0x4041, 0x4040);  // off hook, dialing, no carrier yet
    device_tick(now_ms() + g_opt.dial_ms);
    EXPECT_EQ(device_read(REG_STATUS) & 0x4041, 0x4001);
    device_write(REG_CONTROL, 0x0001);                     // no edge, no change
    EXPECT_EQ(device_read(REG_STATUS) & 0x0001, 0x0001);
    device_write(REG_CONTROL, 0x0000);
    EXPECT_EQ(device_read(REG_STATUS) & 0x4041, 0);

    device_write(REG_STATUS, 0xFFFF);                      // status ignores writes
    EXPECT_EQ(device_read(REG_STATUS), 0);

    device_write(REG_LINE_RATE, 6);
    device_write(REG_CONTROL, 0x0004);                     // multidrop with Sy/Max
    EXPECT_EQ(device_read(REG_CONFIG_ERRORS), 0x01 | 0x08);
    device_write(REG_NUMBER_POINTER, 100);
    device_write(100, 0x3920);                             // "9 " : blank is no dial digit
    EXPECT_EQ(device_read(REG_CONFIG_ERRORS) & 0x80, 0x80);
}

TEST_F(Sim, LineEventsRingAnswerAndOffHook)
{
    const int64_t t0 = now_ms();
    // A call rings once a second out of three; S0 = 2 answers it on the second ring.
    device_write(REG_S0, 2);
    device_write(REG_PASSWORD, 0x1234);
    ASSERT_TRUE(device_event("ring", t0));
    EXPECT_EQ(device_read(REG_STATUS) & 0xC001, 0x8000);   // ringing, on hook, no carrier
    EXPECT_EQ(device_read(REG_RING_COUNT), 1);
    EXPECT_EQ(device_read(REG_LAST_PASSWORD), 0xFFFF);
    device_tick(t0 + 1500);
    EXPECT_EQ(device_read(REG_STATUS) & 0x8000, 0);          // between rings
    device_tick(t0 + 3000);
    EXPECT_EQ(device_read(REG_RING_COUNT), 2);
    EXPECT_EQ(device_read(REG_STATUS) & 0xC001, 0x4001);   // answered: off hook, carrier
    EXPECT_EQ(device_read(REG_CONTROL) & 0x4000, 0x4000);  // switched line: register 1 reports it
    EXPECT_EQ(device_read(REG_LAST_PASSWORD), 0x1234);

    ASSERT_TRUE(device_event("hang-up", t0 + 3100));
    EXPECT_EQ(device_read(REG_STATUS) & 0xC001, 0);
    EXPECT_EQ(device_read(REG_CONTROL) & 0x4000, 0);
    device_tick(t0 + 9000);
    EXPECT_EQ(device_read(REG_STATUS) & 0x8000, 0);          // one call only

    // Seized without dialing: off hook and nothing else, until register 1 bit 0 falls.
    ASSERT_TRUE(device_event("off-hook", t0 + 9100));
    EXPECT_EQ(device_read(REG_STATUS) & 0xC041, 0x4000);
    device_write(REG_CONTROL, device_read(REG_CONTROL) | 0x0001);
    device_write(REG_CONTROL, device_read(REG_CONTROL) & ~0x0001);
    EXPECT_EQ(device_read(REG_STATUS) & 0x4000, 0);
    EXPECT_FALSE(device_event("explode", t0 + 9200));

    // On a private two-wire line bit 14 is a setting and stays as written.
    device_write(REG_CONTROL, 0x6000);
    EXPECT_EQ(device_read(REG_CONTROL), 0x6000);
    EXPECT_EQ(device_read(REG_STATUS) & 0x4000, 0);
}

} // namespace
