// The parallel-port back end's logic through a seam for its system calls and a /proc of the test's
// own, so discovery, the accesses and every failure are exercised without a port.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "backends/backends.h"
#include "backends/parport.h"
#include "bus/write_transaction.h"
#include "frame/device_address.h"

namespace vx::backends {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

// Records each call; a call listed in `fail` returns -1 with that errno.
class FakeSyscalls final : public Syscalls {
 public:
  int open(const std::string& path, int flags) override {
    log.push_back("open " + path + (flags == O_RDWR ? " rw" : " ?"));
    return outcome("open", 7);
  }
  int ioctl(int fd, unsigned long request, void* argument) override {
    const auto* byte = static_cast<unsigned char*>(argument);
    std::string call = name(request);
    if (request == PPWDATA) call += " " + port::hex(*byte);
    log.push_back(call + " fd" + std::to_string(fd));
    const int result = outcome(name(request), 0);
    if (request == PPRSTATUS && result == 0) *static_cast<unsigned char*>(argument) = status;
    return result;
  }
  int close(int fd) override {
    log.push_back("close fd" + std::to_string(fd));
    return 0;
  }

  std::vector<std::string> log;
  std::map<std::string, int> fail;  // call name -> errno
  unsigned char status = 0x7F;

 private:
  static std::string name(unsigned long request) {
    switch (request) {
      case PPEXCL:
        return "PPEXCL";
      case PPCLAIM:
        return "PPCLAIM";
      case PPRELEASE:
        return "PPRELEASE";
      case PPWDATA:
        return "PPWDATA";
      case PPRSTATUS:
        return "PPRSTATUS";
    }
    return "ioctl?";
  }
  int outcome(const std::string& call, int success) {
    const auto failure = fail.find(call);
    if (failure == fail.end()) return success;
    errno = failure->second;
    return -1;
  }
};

class Parport : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("vx3071-parport-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  void kernel_support() { fs::create_directories(proc()); }
  void kernel_port(const std::string& name, int base) {
    fs::create_directories(proc() / name);
    std::ofstream(proc() / name / "base-addr") << base << "\t" << base + 0x400 << "\n";
  }
  fs::path proc() const { return root_ / "proc/sys/dev/parport"; }
  ParportSystem system() { return {calls_, root_.string()}; }
  std::string dev(const std::string& name) const { return (root_ / "dev" / name).string(); }

  std::string open_error(const std::string& name = "") {
    try {
      open_parport(name, system());
    } catch (const port::PortError& error) {
      return error.what();
    }
    ADD_FAILURE() << "the port opened";
    return "";
  }

  FakeSyscalls calls_;
  fs::path root_;
};

TEST_F(Parport, FindsThePortAt0x378AndOpensItExclusively) {
  kernel_support();
  kernel_port("parport0", 0x278);
  kernel_port("parport1", 888);
  fs::create_directories(proc() / "default");  // the kernel's settings folder has no base-addr
  {
    auto port = open_parport("", system());
    EXPECT_EQ(calls_.log, (std::vector<std::string>{"open " + dev("parport1") + " rw", "PPEXCL fd7",
                                                    "PPCLAIM fd7"}));
    calls_.log.clear();
  }
  EXPECT_EQ(calls_.log, (std::vector<std::string>{"PPRELEASE fd7", "close fd7"}))
      << "released and closed when done";
}

TEST_F(Parport, PicksAPortByName) {
  kernel_support();
  kernel_port("parport0", 0x278);
  kernel_port("parport1", 888);
  open_parport("parport0", system());
  ASSERT_FALSE(calls_.log.empty());
  EXPECT_EQ(calls_.log.front(), "open " + dev("parport0") + " rw");
}

TEST_F(Parport, OneIoctlPerAccessWithTheRawStatus) {
  kernel_support();
  kernel_port("parport0", 888);
  auto port = open_parport("", system());
  calls_.log.clear();
  port->write16(0x378, 0xF2);
  port->write16(0x378, 0x1F3);  // only the low byte reaches the register
  calls_.status = 0x87;
  EXPECT_EQ(port->read32(0x379), 0x87) << "the status register comes back unchanged";
  EXPECT_EQ(calls_.log,
            (std::vector<std::string>{"PPWDATA F2 fd7", "PPWDATA F3 fd7", "PPRSTATUS fd7"}));

  calls_.log.clear();
  EXPECT_THROW(port->write16(0x379, 0xF3), port::PortError);
  EXPECT_THROW(port->write16(0x37A, 0xF3), port::PortError);
  EXPECT_THROW(port->read32(0x378), port::PortError);
  EXPECT_TRUE(calls_.log.empty()) << "no other register is touched";
}

TEST_F(Parport, AWriteTransactionIs59DataWritesInOrder) {
  kernel_support();
  kernel_port("parport0", 888);
  port::PortAccess access([this] { return open_parport("", system()); });
  bus::LineDriver driver(access);
  bus::Read_Write_Bits_to_Parallel_Port(driver, frame::kFixedAddressBits);
  std::vector<std::string> expected = {"open " + dev("parport0") + " rw", "PPEXCL fd7",
                                       "PPCLAIM fd7", "PPWDATA F3 fd7", "PPWDATA F2 fd7"};
  for (char bit : std::string("01011") + std::string(22, '0')) {
    expected.push_back(bit == '1' ? "PPWDATA F1 fd7" : "PPWDATA F0 fd7");
    expected.push_back(bit == '1' ? "PPWDATA F3 fd7" : "PPWDATA F2 fd7");
  }
  for (const char* last : {"PPWDATA F0 fd7", "PPWDATA F2 fd7", "PPWDATA F3 fd7"}) {
    expected.push_back(last);
  }
  EXPECT_EQ(calls_.log, expected);
}

TEST_F(Parport, SaysWhatToDoWhenThereIsNoPort) {
  EXPECT_THAT(open_error(), HasSubstr("modprobe parport_pc"));

  kernel_support();
  EXPECT_THAT(open_error(), HasSubstr("no parallel port at all"));

  kernel_port("parport0", 0x278);
  kernel_port("parport2", 0xD010);
  const std::string none_at_378 = open_error();
  EXPECT_THAT(none_at_378, HasSubstr("no parallel port at 0x378"));
  EXPECT_THAT(none_at_378, HasSubstr("parport0 at 0x278, parport2 at 0xD010"));
  EXPECT_THAT(none_at_378, HasSubstr("VX3071_PORT=parport:NAME"));

  const std::string unknown = open_error("parport9");
  EXPECT_THAT(unknown, HasSubstr("no parallel port named parport9"));
  EXPECT_THAT(unknown, HasSubstr("parport0 at 0x278"));
  EXPECT_THAT(open_error("../../../etc/passwd"), HasSubstr("no parallel port named"))
      << "only a name the kernel lists is ever opened";
  EXPECT_TRUE(calls_.log.empty());
}

TEST_F(Parport, SaysWhatToDoWhenTheDeviceCannotBeHad) {
  struct Case {
    const char* call;
    int error;
    const char* advice;
  };
  for (const auto& [call, error, advice] : std::vector<Case>{
           {"open", ENOENT, "modprobe ppdev"},
           {"open", EACCES, "group lp"},
           {"open", EPERM, "log in again"},
           {"open", EIO, "cannot open"},
           {"PPEXCL", EBUSY, "held by another driver or program"},
           {"PPEXCL", ENXIO, "printer driver lp"},
           {"PPCLAIM", EBUSY, "held by another driver or program"},
           {"PPCLAIM", EINVAL, "cannot claim"},
       }) {
    kernel_support();
    kernel_port("parport0", 888);
    calls_.log.clear();
    calls_.fail = {{call, error}};
    EXPECT_THAT(open_error(), HasSubstr(advice)) << call << " " << std::strerror(error);
    const bool opened = std::string(call) != "open";
    ASSERT_FALSE(calls_.log.empty());
    EXPECT_EQ(calls_.log.back() == "close fd7", opened) << call << ": a failed claim closes";
  }
}

TEST_F(Parport, APortLostMidTransactionIsReportedAndOpenedAfresh) {
  kernel_support();
  kernel_port("parport0", 888);
  port::PortAccess access([this] { return open_parport("", system()); });
  access.OutportW(0x378, 0xF3);
  calls_.fail = {{"PPWDATA", ENODEV}};
  try {
    access.OutportW(0x378, 0xF2);
    FAIL() << "a failed ioctl was taken for a write";
  } catch (const port::PortError& error) {
    EXPECT_THAT(error.what(), HasSubstr("stopped answering"));
    EXPECT_THAT(error.what(), HasSubstr("unplugged"));
  }
  ASSERT_GE(calls_.log.size(), 2u);
  EXPECT_EQ(calls_.log.back(), "close fd7");
  EXPECT_EQ(calls_.log[calls_.log.size() - 2], "PPRELEASE fd7");

  calls_.fail.clear();
  calls_.log.clear();
  access.OutportW(0x378, 0xF2);
  EXPECT_EQ(calls_.log, (std::vector<std::string>{"open " + dev("parport0") + " rw", "PPEXCL fd7",
                                                  "PPCLAIM fd7", "PPWDATA F2 fd7"}));
}

// The names a user types in VX3071_PORT and VX3071_MIN_PHASE_US.
TEST(PortSettings, UnknownNamesFailAtTheFirstAccessListingWhatIsAccepted) {
  for (const char* choice : {"nonsense", "parport:", "SIM", "lpt1"}) {
    auto access = backends::make_port({choice, "", ""});
    try {
      access->OutportW(0x378, 0xF3);
      ADD_FAILURE() << choice << " was accepted";
    } catch (const port::PortError& error) {
      EXPECT_THAT(error.what(), HasSubstr("\"sim\"")) << choice;
      EXPECT_THAT(error.what(), HasSubstr("parport:NAME")) << choice;
    }
  }
  for (const char* phase : {"-1", "abc", "50us", "1000001", " 5"}) {
    auto access = backends::make_port({"sim", "", phase});
    EXPECT_THROW(access->OutportW(0x378, 0xF3), port::PortError) << phase;
  }
  auto fine = backends::make_port({"sim", "", "0"});
  EXPECT_NO_THROW(fine->OutportW(0x378, 0xF3));
}

}  // namespace
}  // namespace vx::backends
