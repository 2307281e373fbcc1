// Remote ports typed in the program: the name's check, the file they are
// kept in, and the port list's order, so that a setup's index names the
// same port at the next start whatever local adapters came or went.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "link/link_setup.h"
#include "link/remote_ports.h"
#include "platform/byte_stream.h"

namespace fs = std::filesystem;

namespace {

TEST(RemotePortNames, TypedNamesAreCheckedWithAReason) {
  struct Case {
    const char *name;
    const char *problem;   // null: a remote port
  } cases[] = {
      {"socket://127.0.0.1:4001", nullptr},
      {"rfc2217://plant-gw.example:2217", nullptr},
      {"rfc2217://[::1]:7000", nullptr},
      {"socket://[fe80::1%eth0]:65535", nullptr},
      {"socket://my_host:1", nullptr},
      {"ttyUSB0", "A remote port starts with socket:// or rfc2217://"},
      {"telnet://host:23", "A remote port starts with socket:// or rfc2217://"},
      {"socket://host", "A remote port ends in :PORT, a TCP port of 1 to 65535"},
      {"socket://host:", "A remote port ends in :PORT, a TCP port of 1 to 65535"},
      {"socket://:4001", "A remote port is socket://HOST:PORT or rfc2217://HOST:PORT"},
      {"socket://host:0", "The TCP port must be a number from 1 to 65535"},
      {"socket://host:65536", "The TCP port must be a number from 1 to 65535"},
      {"socket://host:40x1", "The TCP port must be a number from 1 to 65535"},
      {"socket://::1:7000", "An IPv6 address is written [ADDRESS]:PORT"},
      {"socket://[::1:7000", "An IPv6 address is written [ADDRESS]:PORT"},
      {"socket://[::1]7000", "A remote port ends in :PORT, a TCP port of 1 to 65535"},
      {"socket://[::g]:7000", "An IPv6 address holds hex digits, ':' and '.'"},
      {"socket://ho st:1", "A remote port name holds no blanks"},
      {"socket://h/x:1", "A host name holds letters, digits, '.', '-' and '_'"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const char *problem = stream_name_problem(c.name);
    if (c.problem)
      EXPECT_STREQ(problem, c.problem);
    else
      EXPECT_EQ(problem, nullptr) << problem;
  }
}

TEST(RemotePortNames, ListPartsComeInOrderOnceEachAndWithinTheLimit) {
  std::vector<std::string> list = compose_port_list({"/dev/null", "socket://a:1"}, {"socket://a:1", "rfc2217://b:2"},
                                                    {"ttyUSB0"}, {"socket://c:3", "rfc2217://b:2"}, 40);
  EXPECT_EQ(list, (std::vector<std::string>{"/dev/null", "socket://a:1", "rfc2217://b:2", "ttyUSB0", "socket://c:3"}));
  EXPECT_EQ(compose_port_list({"a", "b"}, {"c"}, {"d"}, {}, 3), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(remote_ports_path_for("/run/x.y/ZL27TSW.STP"), "/run/x.y/ZL27TSW.PORTS");
  EXPECT_EQ(remote_ports_path_for("/run/x.y/SETUP"), "/run/x.y/SETUP.PORTS");
}

// A scratch directory with its own local ports (a /sys/class/tty of its
// own) and ZL27T_PORTS naming one port.
class RemotePortList : public ::testing::Test {
 protected:
  std::string dir;
  std::string file;
  void SetUp() override {
    char tmpl[] = "/tmp/zl27t-remote-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    file = dir + "/ZL27TSW.PORTS";
    fs::create_directories(dir + "/sys/ttyUSB0/device");
    fs::create_directories(dir + "/sys/ttyUSB1/device");
    setenv("ZL27T_PORTS", "/dev/null", 1);
    set_local_ports_dir((dir + "/sys").c_str());
    set_remote_ports_file(file);
    default_link_setup(&link_setup);
    refresh_serial_ports();
  }
  void TearDown() override {
    set_remote_ports_file("");
    set_local_ports_dir(nullptr);
    unsetenv("ZL27T_PORTS");
    refresh_serial_ports();
    fs::remove_all(dir);
  }
  static std::vector<std::string> names() {
    std::vector<std::string> v;
    for (int i = 0; i < serial_port_count(); i++) v.push_back(serial_port_list[i]);
    return v;
  }
  std::string file_text() const {
    std::ifstream f(file);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
};

TEST_F(RemotePortList, TypedPortsAreKeptAndEveryIndexNamesItsPortAtTheNextStart) {
  ASSERT_EQ(names(), (std::vector<std::string>{"/dev/null", "ttyUSB0", "ttyUSB1"}));
  uint16_t index = 0;
  const char *why = nullptr;
  ASSERT_EQ(remote_port_add("  SOCKET://gw.example:4001 ", &index, &why), REMOTE_ADDED);
  EXPECT_EQ(index, 3);   // at the end for this run: no other index moves now
  EXPECT_STREQ(serial_port_list[3], "socket://gw.example:4001");
  EXPECT_EQ(remote_port_add("socket://gw.example:4001", &index, &why), REMOTE_LISTED);
  EXPECT_EQ(index, 3);
  EXPECT_EQ(remote_port_add("/dev/null", &index, &why), REMOTE_REFUSED);
  EXPECT_STREQ(why, "A remote port starts with socket:// or rfc2217://");
  EXPECT_TRUE(remote_ports_pending());

  link_setup.term_port = 3;   // the remote port
  link_setup.port = 2;        // ttyUSB1
  LinkSetup image = link_setup;
  ASSERT_EQ(remote_ports_keep(&image), REMOTE_KEPT);
  EXPECT_EQ(file_text(), "socket://gw.example:4001\n");
  EXPECT_FALSE(remote_ports_pending());
  // The next start's order now, and the indexes with their ports.
  EXPECT_EQ(names(), (std::vector<std::string>{"/dev/null", "socket://gw.example:4001", "ttyUSB0", "ttyUSB1"}));
  EXPECT_EQ(image.term_port, 1);
  EXPECT_EQ(image.port, 3);
  EXPECT_EQ(link_setup.term_port, 1);
  EXPECT_EQ(link_setup.port, 3);

  // The next start, with an adapter gone and another one new: the remote
  // port keeps its index.
  fs::remove_all(dir + "/sys/ttyUSB0");
  fs::create_directories(dir + "/sys/ttyACM0/device");
  set_remote_ports_file(file);
  refresh_serial_ports();
  EXPECT_EQ(names(), (std::vector<std::string>{"/dev/null", "socket://gw.example:4001", "ttyACM0", "ttyUSB1"}));

  // A second port typed later goes behind the first in the file.
  ASSERT_EQ(remote_port_add("rfc2217://[::1]:2217", &index, &why), REMOTE_ADDED);
  EXPECT_EQ(index, 4);
  image.port = 4;
  image.term_port = 1;
  ASSERT_EQ(remote_ports_keep(&image), REMOTE_KEPT);
  EXPECT_EQ(file_text(), "socket://gw.example:4001\nrfc2217://[::1]:2217\n");
  EXPECT_EQ(image.port, 2);
  EXPECT_EQ(image.term_port, 1);
}

TEST_F(RemotePortList, AFileThatCannotBeWrittenLeavesThePortForThisRunOnly) {
  fs::create_directories(file);   // a directory where the file should be
  uint16_t index = 0;
  const char *why = nullptr;
  ASSERT_EQ(remote_port_add("socket://127.0.0.1:4001", &index, &why), REMOTE_ADDED);
  link_setup.port = index;
  link_setup.term_port = 2;
  LinkSetup image = link_setup;
  EXPECT_EQ(remote_ports_keep(&image), REMOTE_KEEP_FAILED);
  // The saved setup names no port for it (the next start asks), the other
  // index stays; this run keeps the port where it was.
  EXPECT_EQ(image.port, REMOTE_PORT_UNKEPT);
  EXPECT_EQ(image.term_port, 2);
  EXPECT_EQ(link_setup.port, index);
  EXPECT_STREQ(serial_port_list[index], "socket://127.0.0.1:4001");
  EXPECT_TRUE(remote_ports_pending());
  EXPECT_TRUE(fs::is_directory(file));
}

TEST_F(RemotePortList, TheFileGivesOnlyUsableNamesOnce) {
  std::ofstream(file) << "# kept by zl27t\n\nsocket://a:1\r\n  rfc2217://b:2  \nttyS0\nsocket://a:1\nsocket://c:0\n"
                      << std::string(300, 'x') << "\nsocket://d:4";
  refresh_serial_ports();
  EXPECT_EQ(names(), (std::vector<std::string>{"/dev/null", "socket://a:1", "rfc2217://b:2", "socket://d:4",
                                               "ttyUSB0", "ttyUSB1"}));
}

}  // namespace
