// Meters by their VISA resource strings, over TCP on 127.0.0.1 and over a pseudo-terminal, against
// a meter emulator that is its own program, with each way a meter or its link fails.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "backends/backends.h"
#include "bus/write_transaction.h"
#include "frame/code_conversions.h"
#include "meter/resource.h"
#include "meter/scpi.h"
#include "sim/analog.h"
#include "sim/shared_part.h"
#include "support/meter_emulation.h"

namespace vx::meter {
namespace {

using test::Emulator;
using test::Environment;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

TEST(Resource, IsParsedAsVisaParsesIt) {
  struct Case {
    const char* text;
    Resource::Kind kind;
    const char* host_or_path;
    int port;
  };
  for (const auto& [text, kind, where, port] : {
           Case{"TCPIP::192.168.1.20::5025::SOCKET", Resource::Kind::socket, "192.168.1.20", 5025},
           Case{"tcpip0::127.0.0.1::5025::socket", Resource::Kind::socket, "127.0.0.1", 5025},
           Case{"TCPIP::192.168.1.20::INSTR", Resource::Kind::vxi11, "192.168.1.20", 0},
           Case{"TCPIP0::k-34465a::inst0::INSTR", Resource::Kind::vxi11, "k-34465a", 0},
           Case{"ASRL/dev/ttyUSB0::INSTR", Resource::Kind::serial, "/dev/ttyUSB0", 0},
           Case{"ASRL1::INSTR", Resource::Kind::serial, "/dev/ttyS0", 0},
           Case{"TCPIP::127.0.0.1::65535::SOCKET", Resource::Kind::socket, "127.0.0.1", 65535},
           Case{"sim", Resource::Kind::sim, "", 0},
       }) {
    SCOPED_TRACE(text);
    const Resource r = parse_resource(text);
    EXPECT_EQ(r.kind, kind);
    EXPECT_EQ(kind == Resource::Kind::serial ? r.path : r.host, where);
    EXPECT_EQ(r.port, port);
  }
  const Resource usb = parse_resource("USB0::0x2A8D::0x1301::MY12345::INSTR");
  EXPECT_EQ(usb.kind, Resource::Kind::usbtmc);
  EXPECT_EQ(usb.vendor, 0x2A8Du);
  EXPECT_EQ(usb.product, 0x1301u);
  EXPECT_EQ(usb.serial_number, "MY12345");
  for (const char* wrong : {"", "TCPIP::host::0::SOCKET", "TCPIP::host::70000::SOCKET",
                            "TCPIP::::5025::SOCKET", "USB::0x2A8D::INSTR", "USB::0xG::1::S::INSTR",
                            "GPIB0::22::INSTR", "ASRL::INSTR", "TCPIPX::h::INSTR"}) {
    EXPECT_THROW(parse_resource(wrong), MeterError) << wrong;
  }
  // A NUL would hand the system a host name short of the one written, and cut the message.
  try {
    parse_resource(std::string("TCPIP::127.0.0.1\0.evil::5025::SOCKET", 36));
    ADD_FAILURE() << "a NUL in a resource was taken";
  } catch (const MeterError& error) {
    EXPECT_THAT(error.what(), HasSubstr("\"TCPIP::127.0.0.1\\x00.evil::5025::SOCKET\" has a "
                                        "control character in it"));
  }
}

TEST(Scpi, NumbersAreTakenOnlyInIeee4882Forms) {
  struct Case {
    const char* text;
    std::optional<double> value;
  };
  for (const auto& [text, value] : {
           Case{"+1.00000000E+04", 1e4}, Case{"-12.5", -12.5}, Case{"3", 3.0},
           Case{" 4.2e-3\r", 4.2e-3}, Case{".5", 0.5}, Case{"5.", 5.0}, Case{"", std::nullopt},
           Case{"nan", std::nullopt}, Case{"inf", std::nullopt}, Case{"0x10", std::nullopt},
           Case{"1e", std::nullopt}, Case{"+", std::nullopt}, Case{"1.0E+0 2", std::nullopt},
           Case{"+4.3#15E+0", std::nullopt},
           Case{"1e999", std::nullopt},  // beyond a double: strtod's infinity
           Case{"-1e400", std::nullopt},
           Case{"1e-400", 0.0},  // below a double's least: zero, which is finite
       }) {
    EXPECT_EQ(parse_number(text), value) << "\"" << text << "\"";
  }
}

TEST(Serial, SettingsAreWrittenAsPeopleWriteThem) {
  const SerialSettings s = parse_serial("19200,7E1,crlf");
  EXPECT_EQ(s.baud, 19200u);
  EXPECT_EQ(s.data_bits, 7);
  EXPECT_EQ(s.parity, 'E');
  EXPECT_EQ(s.stop_bits, 1);
  EXPECT_EQ(s.ending, "\r\n");
  const SerialSettings d = parse_serial("9600,8N2");
  EXPECT_EQ(d.ending, "\n");
  EXPECT_EQ(d.stop_bits, 2);
  for (const char* wrong : {"", "9600", "9601,8N1", "9600,9N1", "9600,8X1", "9600,8N3",
                            "9600,8N1,cr", "9600,8N1,lf,x"}) {
    EXPECT_THROW(parse_serial(wrong), MeterError) << wrong;
  }
}

MeterOptions quick() {
  MeterOptions options;
  options.timeout = 800ms;
  return options;
}

// What a fault gives: a reading of this value, or an error with these words; never a number the
// meter did not send.
struct Fault {
  const char* name;
  double reading;     // when no error is expected
  const char* error;  // words of the error, or null
  bool timeout;       // the error is a time-out
};

class MeterFaults : public ::testing::TestWithParam<const char*> {};

TEST_P(MeterFaults, EachFaultGivesTheMetersNumberOrAnErrorNeverAnother) {
  const std::string link = GetParam();
  const std::string model = link == "tcp" ? "34465A" : "34401A";
  for (const Fault& f : {
           Fault{"", 4321.5, nullptr, false},
           Fault{"split", 4321.5, nullptr, false},
           Fault{"slow", 4321.5, nullptr, false},
           Fault{"no-answer", 0, "did not answer in time", true},
           // A byte that is no character is shown as its value, so a NUL cannot end the words
           // short of what came.
           Fault{"garbage", 0, "answered READ? with \"+4.3#15E+0\\x7F\", which is no finite number",
                 false},
           Fault{"empty", 0, "answered READ? with \"\", which is no finite number", false},
           Fault{"infinite", 0,
                 "answered READ? with \"+1.00000000E+999\", which is no finite number", false},
           Fault{"overload", 0, "read overload (9.9E37)", false},
           // Over TCP the half answer arrives first ("... in the middle of an answer"); a
           // terminal's hang-up discards what the line still held.
           Fault{"hang-up", 0, "hung up", false},
           Fault{"error-queue", 0, "refused CONF:RES 10000: it says -222,\"Data out of range\"",
                 false},
           Fault{"wrong-identity", 0, "did not identify itself: *IDN? answered \"+4.32150000E+03\"",
                 false},
           // Beyond the range below zero is an overload too; SCPI's not-a-number is none.
           Fault{"negative-overload", 0, "read negative overload (-9.9E37)", false},
           Fault{"not-a-number", 0, "read not a number (9.91E37)", false},
           // An answer that is no number is told with what the meter's error queue says.
           Fault{"garbage-error", 0,
                 "which is no finite number; it says -230,\"Data corrupt or stale\"", false},
           // A meter holding the last client's error: *CLS at opening clears it.
           Fault{"stale-error", 4321.5, nullptr, false},
           // A second line nothing asked for never answers the next question.
           Fault{"two-lines", 4321.5, nullptr, false},
       }) {
    SCOPED_TRACE(std::string(f.name) + " over " + link);
    Emulator emulator(link, model, f.name);
    ASSERT_FALSE(emulator.resource().empty());
    std::string error;
    bool timed_out = false;
    std::optional<double> value;
    try {
      Meter meter(parse_resource(emulator.resource()), quick());
      EXPECT_EQ(meter.identity().model, model);
      value = meter.read().value;
      if (std::string(f.name) == "two-lines") {
        std::this_thread::sleep_for(50ms);  // the second line has come by now
        EXPECT_EQ(meter.read().value, 4321.5) << "the line nothing asked for was taken";
      }
    } catch (const MeterTimeout& e) {
      timed_out = true;
      error = e.what();
    } catch (const MeterError& e) {
      error = e.what();
    }
    if (f.error) {
      EXPECT_FALSE(value) << "a number the meter did not send: " << *value;
      EXPECT_THAT(error, HasSubstr(f.error));
      EXPECT_EQ(timed_out, f.timeout) << error;
    } else {
      EXPECT_EQ(error, "");
      EXPECT_EQ(value, f.reading);
    }
  }
}

// A meter set to 19200,7E1 that wants CR LF: asked at those settings it answers; at the 34401A's
// defaults it garbles or never hears a whole command, and no number comes of either.
TEST(Serial, AMeterIsAskedAtItsSettings) {
  {
    Emulator emulator("pty", "34401A", "", "19200,7E1,crlf");
    MeterOptions options = quick();
    options.serial = parse_serial("19200,7E1,crlf");
    Meter meter(parse_resource(emulator.resource()), options);
    EXPECT_EQ(meter.read().value, 4321.5);
  }
  // A pty keeps the baud rate and the stop bits a client sets, not its data bits or parity.
  for (const char* wrong : {"9600,7E1,crlf", "19200,7E2,crlf", "19200,7E1,lf"}) {
    SCOPED_TRACE(wrong);
    Emulator emulator("pty", "34401A", "", "19200,7E1,crlf");
    MeterOptions options = quick();
    options.serial = parse_serial(wrong);
    EXPECT_THROW(Meter(parse_resource(emulator.resource()), options), MeterError);
  }
}

// An answer that comes after the time limit is never taken for the next question's: the link is
// cleared (a new connection, or the serial device clear), and the next reading is fresh.
TEST_P(MeterFaults, ALateAnswerNeverAnswersTheNextQuestion) {
  const std::string link = GetParam();
  Emulator emulator(link, link == "tcp" ? "34465A" : "34401A", "late-once");
  Meter meter(parse_resource(emulator.resource()), quick());
  EXPECT_THROW(meter.read(), MeterTimeout);
  std::this_thread::sleep_for(1s);  // the late answer (1111) has been sent by now
  EXPECT_EQ(meter.read().value, 4321.5);
}

// A half answer cut off by a time-out is let go with the link's clear, never glued to the next.
TEST_P(MeterFaults, HalfAnAnswerIsNeverGluedToTheNext) {
  const std::string link = GetParam();
  Emulator emulator(link, link == "tcp" ? "34465A" : "34401A", "half-once");
  MeterOptions options = quick();
  options.timeout = 400ms;
  Meter meter(parse_resource(emulator.resource()), options);
  EXPECT_THROW(meter.read(), MeterTimeout);
  EXPECT_EQ(meter.read().value, 4321.5);
}

// Two threads reading one meter whose every answer differs: each answer once, to one thread.
TEST_P(MeterFaults, TwoThreadsEachGetWholeAnswersOfTheirOwn) {
  const std::string link = GetParam();
  Emulator emulator(link, link == "tcp" ? "34465A" : "34401A", "counting");
  Meter meter(parse_resource(emulator.resource()), quick());
  std::vector<double> first, second;
  std::thread other([&] {
    for (int i = 0; i < 40; ++i) second.push_back(meter.read().value);
  });
  for (int i = 0; i < 40; ++i) first.push_back(meter.read().value);
  other.join();
  std::vector<double> all = first;
  all.insert(all.end(), second.begin(), second.end());
  std::sort(all.begin(), all.end());
  std::vector<double> expected(80);
  std::iota(expected.begin(), expected.end(), 1000.0);
  EXPECT_EQ(all, expected) << "an answer lost, taken twice or garbled";
}

INSTANTIATE_TEST_SUITE_P(Links, MeterFaults, ::testing::Values("tcp", "pty"));

// Over RS-232 the 34401A takes commands in remote only (its manual's SYSTem:REMote): the meter is
// put there before it is configured, its error queue cleared, and given back to its front panel
// (SYSTem:LOCal) at the end; over a socket nothing of that.
TEST(Meter, ASerialMeterIsPutInRemoteBeforeItIsConfigured) {
  for (const std::string link : {"pty", "tcp"}) {
    SCOPED_TRACE(link);
    const std::string log = ::testing::TempDir() + "vx3071-meter-log-" + std::to_string(::getpid());
    std::remove(log.c_str());
    std::vector<std::string> told;
    const auto read_log = [&] {
      told.clear();
      std::ifstream in(log);
      for (std::string line; std::getline(in, line);) told.push_back(line);
    };
    {
      Emulator emulator(link, link == "tcp" ? "34465A" : "34401A", "", "", log);
      { Meter meter(parse_resource(emulator.resource()), quick()); }
      // The emulator takes the meter's last line a moment after the meter has gone.
      for (int i = 0; i < 30; ++i) {
        read_log();
        if (!told.empty() && told.back() == "SYST:LOC") break;
        std::this_thread::sleep_for(10ms);
      }
    }
    const auto at = [&](const std::string& command) {
      return std::find(told.begin(), told.end(), command) - told.begin();
    };
    ASSERT_LT(at("CONF:RES 10000"), static_cast<long>(told.size()));
    EXPECT_LT(at("*CLS"), at("CONF:RES 10000"));
    if (link == "pty") {
      EXPECT_LT(at("SYST:REM"), at("*CLS"));
      EXPECT_EQ(told.back(), "SYST:LOC") << "the front panel given back at the end";
    } else {
      EXPECT_EQ(at("SYST:REM"), static_cast<long>(told.size())) << "SYST:REM over a socket";
      EXPECT_EQ(at("SYST:LOC"), static_cast<long>(told.size())) << "SYST:LOC over a socket";
    }
    std::remove(log.c_str());
  }
}

// Keysight's telnet port (5024) greets and prompts: refused with the port to use instead. A
// meter that gives three *IDN? fields is taken, its serial number missing, what it said kept.
TEST(Meter, ATelnetSessionIsRefusedAndAShortIdentityTaken) {
  {
    Emulator emulator("tcp", "34465A", "telnet");
    try {
      Meter meter(parse_resource(emulator.resource()), quick());
      ADD_FAILURE() << "a telnet session was taken for a meter";
    } catch (const MeterError& e) {
      EXPECT_THAT(e.what(), HasSubstr("is a telnet session, not a SCPI socket"));
      EXPECT_THAT(e.what(), HasSubstr("5025"));
    }
  }
  Emulator emulator("tcp", "34465A", "short-identity");
  Meter meter(parse_resource(emulator.resource()), quick());
  EXPECT_EQ(meter.identity().maker, "GWInstek");
  EXPECT_EQ(meter.identity().model, "GDM8341");
  EXPECT_EQ(meter.identity().serial, "");
  EXPECT_EQ(meter.identity().firmware, "FW1.00");
  EXPECT_EQ(meter.identity().text, "GWInstek,GDM8341,FW1.00");
  EXPECT_EQ(meter.read().value, 4321.5);
}

TEST(Meter, ARefusedConnectionIsToldAtOnce) {
  // A port nobody listens on: bound, then let go.
  const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(probe);
  const std::string resource =
      "TCPIP::127.0.0.1::" + std::to_string(ntohs(address.sin_port)) + "::SOCKET";
  try {
    Meter meter(parse_resource(resource), quick());
    ADD_FAILURE() << "connected";
  } catch (const MeterError& e) {
    EXPECT_THAT(e.what(),
                HasSubstr("cannot connect to the meter at " + resource + ": Connection refused"));
  }
}

// --- The simulated part's analog side, shared across processes, and the `sim` meter -------------

TEST(Analog, OptionsAreReadAndWrongOnesNamed) {
  const sim::AnalogOptions o =
      sim::parse_analog("rab=5000,rw=50,seed=7,mismatch=0.2,step=128:-60,noise=0.5,settle_ms=2");
  EXPECT_EQ(o.rab, 5000);
  EXPECT_EQ(o.rw, 50);
  EXPECT_EQ(o.seed, 7u);
  EXPECT_EQ(o.mismatch, 0.2);
  ASSERT_EQ(o.steps.size(), 1u);
  EXPECT_EQ(o.steps[0], std::make_pair(128, -60.0));
  EXPECT_EQ(o.noise, 0.5);
  EXPECT_EQ(o.settle_ms, 2);
  for (const char* wrong :
       {"rab=0", "rab=x", "step=300:1", "step=12", "noise=-1", "volume=3", "rw", "mismatch=nan"}) {
    try {
      sim::parse_analog(wrong);
      ADD_FAILURE() << wrong;
    } catch (const std::invalid_argument& e) {
      EXPECT_THAT(e.what(), HasSubstr("VX3071_SIM_ANALOG is \"" + std::string(wrong) + "\""));
    }
  }
}

// R_WB(D) = D/256 R_AB + R_W, each code within its mismatch of that and the ends exact; a step
// from a code on; the same seed the same part.
TEST(Analog, ThePartIsThePotentiometerItsOptionsDescribe) {
  sim::AnalogOptions options;  // 10 kOhm, 75 Ohm, mismatch 0.3 LSB
  const sim::Potentiometer part(options);
  const double lsb = 10000.0 / 256;
  EXPECT_DOUBLE_EQ(part.resistance(0), 75);
  EXPECT_DOUBLE_EQ(part.resistance(255), 255 * lsb + 75);
  double largest = 0;
  for (int d = 0; d < 256; ++d) {
    const double error = part.resistance(d) - (d * lsb + 75);
    EXPECT_LE(std::abs(error), 0.3 * lsb + 1e-9) << d;
    largest = std::max(largest, std::abs(error));
  }
  EXPECT_GT(largest, 0.2 * lsb) << "the mismatch is there";
  EXPECT_EQ(sim::Potentiometer(options).resistance(100), part.resistance(100))
      << "one seed, one part";
  options.seed = 2;
  EXPECT_NE(sim::Potentiometer(options).resistance(100), part.resistance(100));
  options.mismatch = 0;
  options.steps = {{128, -60}};
  const sim::Potentiometer stepped(options);
  EXPECT_DOUBLE_EQ(stepped.resistance(128) - stepped.resistance(127), lsb - 60) << "backwards";
  EXPECT_DOUBLE_EQ(stepped.resistance(255), 255 * lsb + 75 - 60);
}

TEST(Analog, ReadingsCarryNoiseAndTheOldValueUntilSettled) {
  sim::AnalogOptions options;
  options.mismatch = 0;
  options.noise = 2;
  options.settle_ms = 5;
  const sim::Potentiometer part(options);
  std::mt19937 random(1);
  EXPECT_DOUBLE_EQ(sim::Potentiometer(sim::AnalogOptions{}).reading(10, 20, 1s, random),
                   sim::Potentiometer(sim::AnalogOptions{}).resistance(10))
      << "no noise by default";
  double sum = 0, squares = 0;
  const int n = 20000;
  for (int i = 0; i < n; ++i) {
    const double r = part.reading(200, 100, 1s, random) - part.resistance(200);
    sum += r;
    squares += r * r;
  }
  EXPECT_NEAR(sum / n, 0, 0.1);
  EXPECT_NEAR(std::sqrt(squares / n), 2, 0.1);
  options.noise = 0;
  const sim::Potentiometer settling(options);
  EXPECT_EQ(settling.reading(200, 100, 4ms, random), settling.resistance(100)) << "not settled yet";
  EXPECT_EQ(settling.reading(200, 100, 5ms, random), settling.resistance(200));
}

// The environment of a test, put back after it.
// A value as a meter sends it: nine significant digits ("+3.07956081E+03").
::testing::Matcher<double> Reads(double exact) {
  return ::testing::DoubleNear(exact, std::abs(exact) * 1e-8);
}

// Writes `code` with the slider's frame through a fresh `sim` port of this process.
void write_through_sim(int code) {
  const auto access = backends::make_port({"sim", "", ""});
  bus::LineDriver driver(*access);
  bus::Read_Write_Bits_to_Parallel_Port(driver, frame::fixed_address_frame_word(code));
}

// One part for several processes: a write in one lands in the file, and another process's part,
// and its meter, see it.
TEST(SharedPart, AWriteInOneProcessIsThePartOfAnother) {
  const std::string file = testing::TempDir() + "vx3071-part-" + std::to_string(::getpid());
  std::remove(file.c_str());
  const Environment state("VX3071_SIM_STATE", file);
  const pid_t child = ::fork();
  if (child == 0) {
    write_through_sim(77);
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const sim::PartState part = sim::SharedPart(file).load();
  EXPECT_EQ(part.setting, 77);
  EXPECT_EQ(part.before, 0x80);
  Meter meter(parse_resource("sim"), MeterOptions{});
  EXPECT_THAT(meter.read().value, Reads(sim::Potentiometer(sim::AnalogOptions{}).resistance(77)));
  std::remove(file.c_str());
}

// A meter on TCP and one on a serial line measure the part a write moved: the emulator follows the
// part in VX3071_SIM_STATE's file, so a reading taken before the write has settled shows the old
// value, as on the bench.
TEST(SharedPart, MetersOnTcpAndSerialFollowTheWrites) {
  const std::string file = testing::TempDir() + "vx3071-bench-" + std::to_string(::getpid());
  std::remove(file.c_str());
  const Environment state("VX3071_SIM_STATE", file);
  const Environment analog("VX3071_SIM_ANALOG", "settle_ms=400");
  sim::AnalogOptions options;
  options.settle_ms = 400;
  const sim::Potentiometer part(options);
  for (const char* link : {"tcp", "pty"}) {
    SCOPED_TRACE(link);
    Emulator emulator(link, "34465A", "");
    Meter meter(parse_resource(emulator.resource()), quick());
    write_through_sim(77);
    std::this_thread::sleep_for(450ms);
    EXPECT_THAT(meter.read().value, Reads(part.resistance(77)));
    write_through_sim(200);
    EXPECT_THAT(meter.read().value, Reads(part.resistance(77))) << "read before it settled";
    std::this_thread::sleep_for(450ms);
    EXPECT_THAT(meter.read().value, Reads(part.resistance(200)));
  }
  std::remove(file.c_str());
}

// The same with the part moved by the vx3071 program itself, as a script on the bench moves it.
TEST(SharedPart, AMeterFollowsVx3071Write) {
  const std::string file = testing::TempDir() + "vx3071-cli-part-" + std::to_string(::getpid());
  std::remove(file.c_str());
  const Environment state("VX3071_SIM_STATE", file);
  const sim::Potentiometer part{sim::AnalogOptions{}};
  Emulator emulator("tcp", "34465A", "");
  Meter meter(parse_resource(emulator.resource()), quick());
  for (const int code : {77, 200}) {
    const std::string command = std::string(VX3071_CLI) + " write " + std::to_string(code);
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    EXPECT_THAT(meter.read().value, Reads(part.resistance(code))) << code;
  }
  std::remove(file.c_str());
}

// The `sim` meter reads the part this process's `sim` port drives: resistance at its setting, the
// wiper's voltage as a divider from 5 V, and overload beyond its range.
TEST(SimulatedMeter, ReadsThePartAtItsSetting) {
  const sim::Potentiometer part{sim::AnalogOptions{}};
  const auto access = backends::make_port({"sim", "", ""});
  bus::LineDriver driver(*access);
  Meter ohms(parse_resource("sim"), MeterOptions{});
  EXPECT_EQ(ohms.identity().model, "simulated meter");
  for (const int code : {0, 1, 77, 128, 255}) {
    bus::Read_Write_Bits_to_Parallel_Port(driver, frame::fixed_address_frame_word(code));
    EXPECT_THAT(ohms.read().value, Reads(part.resistance(code))) << code;
  }
  MeterOptions voltage;
  voltage.function = Function::voltage;
  Meter volts(parse_resource("sim"), voltage);
  EXPECT_THAT(volts.read().value, Reads(5.0 * (part.resistance(255) - 75) / 10000));
  EXPECT_STREQ(volts.read().unit, "V");
  MeterOptions small;
  small.range = "1000";
  Meter overloaded(parse_resource("sim"), small);
  EXPECT_THROW(overloaded.read(), Overload);
}

}  // namespace
}  // namespace vx::meter
