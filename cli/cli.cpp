#include "cli/cli.h"
#include "cli/characterise.h"
#include "cli/json.h"
#include "plot/plot.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <deque>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>
#include <string_view>

#include "backends/backends.h"
#include "backends/ports.h"
#include "bus/bring_up.h"
#include "frame/cell_register.h"
#include "frame/code_conversions.h"
#include "frame/device_address.h"
#include "meter/resource.h"
#include "meter/scpi.h"
#include "session/output.h"

namespace vx::cli {

namespace {

// After an error, one line that says where the whole usage is, not the usage itself.
constexpr const char* kUsageHint = "vx3071 --help lists the commands\n";

constexpr const char* kUsageText = R"(usage: vx3071 [--port PORT] [--trace FILE] [--json] COMMAND...

Sends the VX3071 bench panel's frames from a script: the same port accesses as the panel.
Commands run in order, in one run, against one port.

commands:
  write CODE [--verify]   send the frame the panel's slider sends for CODE (0..255); with
                          --verify, read the setting back and compare
  zero | mid | full       write 0, 128 or 255
  frame BITS              send 27 bits of 0 and 1, bit 26 first; the acknowledge slots
                          (bits 18, 9 and 0) are sent as 0, as the panel sends them
  read                    read the device's setting and print it, in decimal; 255 where
                          nothing acknowledges the VX3071's address fails (4)
  ports                   list the ports this machine offers and whether this user may
                          open them, with the VX3071_PORT value of each, and what opening each
                          kind does; opens none
  check [--thorough]      answer the bring-up questions, one line each (ok, FAIL or skip): does
                          the port open, do the lines pass the kernel's line test (high when
                          released, low only while pulled low), does the VX3071 acknowledge its
                          address (if not, who does), does it keep what it is given (read twice,
                          written back only when both agree), what timing is in force;
                          --thorough also writes 0x55 and 0xAA, which moves the device's output,
                          then restores the setting it found
  scan                    list the 7-bit addresses from 0x08 to 0x77 that acknowledge, one a
                          line, as i2cdetect does, and fail (4) without the VX3071; probing can
                          upset some devices (the writes carry no data; on an I2C adapter
                          0x30-0x37 and 0x50-0x5F are read, and every address where the adapter
                          offers no quick write)
  meter RESOURCE [--function resistance|voltage] [--range R] [--count N] [--settle MS]
        [--serial BAUD,FRAME[,lf|crlf]]
                          read a bench meter by its VISA address (TCPIP::host::5025::SOCKET,
                          TCPIP::host::INSTR, ASRL/dev/ttyUSB0::INSTR, or sim, wired to the
                          simulated part): the function and range set (10 kOhm or 10 V unless
                          told; AUTO only when asked), then N fresh readings, each MS after the
                          last, with units; a serial line at 9600,8N2 unless told; a stop
                          signal ends it at the next reading, or the exchange in progress
  meters [--lan]          list the serial ports and USBTMC instruments a meter may be on; with
                          --lan, also what answers a VXI-11 discovery broadcast (1 s)
  characterise --meter RESOURCE [FROM TO [STEP]] [--function resistance|voltage] [--range R]
        [--settle MS] [--average K] [--mode rheostat|divider] [--vh V --vl V] [--verify]
        [--serial BAUD,FRAME[,lf|crlf]] [--csv F] [--plot F.png|F.svg] [--report F.pdf]
                          write each code (0 255 1 unless told), wait MS (10 unless told),
                          take K fresh readings (1 unless told), then give the LSB, end-point
                          and best-fit INL, DNL with their worst codes, monotonicity, and R_W
                          and R_AB (rheostat: ohms) or the zero- and full-scale errors against
                          V_H and V_L (divider: volts); the readings as CSV, the plot, and a
                          one-page PDF report. The setting found is put back at the end. A
                          stop or a failing meter keeps the codes measured whole: the files
                          are written, marked partial, before the run ends (a meter's failure
                          is 3). Each file is written whole or not at all (an old one
                          survives a failed run); two outputs on one file, an empty path or a
                          report not F.pdf are usage errors. Progress goes to standard error
  sweep FROM TO [STEP] [--dwell MS]
                          write every STEP-th code from FROM to TO (either direction), waiting
                          MS milliseconds after each
  -                       read further commands from standard input, one per line (at most
                          4096 bytes; blank lines and lines starting with # are skipped)

options:
  --port PORT    sim (the simulated device), sim:absent (the simulated bus with no device:
                 every read gives 255), parport (the parallel port at 0x378),
                 parport:NAME, i2c:ADAPTER (an I2C adapter by bus number or name),
                 gpio:CHIP:SDA,SCL[,SENSE] (two GPIO lines) or ftdi[:SERIAL][:A|B|C|D]
                 (an FTDI chip in bit-bang mode, on interface A unless told); wins over
                 VX3071_PORT
  --trace FILE   record every port access (FILE.vcd: a logic-analyser dump); wins over
                 VX3071_TRACE
  --json         print one JSON object per command instead of one line per read; a command
                 that fails has its error and the exit status in it
  -h, --help     print this and exit
  --version      print the version and exit
  VX3071_MIN_PHASE_US sets the shortest time between port accesses, in microseconds, as
  for the panel: unset, 5 on bit-banged hardware (parport, gpio, ftdi), none elsewhere; 0 turns
  it off.

Options come before the commands; --verify, --thorough and --dwell belong to their command.
CODE, FROM, TO and STEP may be written in hex as 0x...; a leading zero (077) is refused.

exit status: 0 success, 2 usage error (also a port or phase that names nothing), 3 port error,
4 verify mismatch, 5 the trace file or standard output could not be written (the port worked);
check gives 3 when the port or its lines fail, 4 when the device is missing or answers wrongly;
scan gives 4 without the VX3071. SIGINT, SIGTERM and SIGHUP stop the run between two frames with
the trace whole, then end it by the same signal (a shell shows 130, 143 or 129)

example: step through every code, 200 ms apart, while a meter logs the output:
  vx3071 --port parport sweep 0 255 --dwell 200
)";

// Standard output could not be written: there is no one left to tell the results to.
class OutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

constexpr std::size_t kMaxLine = 4096;

// Options of the whole run, and options that belong to one command: each out of place gets its
// own advice.
bool is_run_option(const std::string& token) {
  for (const char* option : {"--port", "--trace", "--json", "--help", "--version"}) {
    if (token == option || token.rfind(std::string(option) + "=", 0) == 0) return true;
  }
  return false;
}

enum class Kind {
  write,
  frame,
  read,
  sweep,
  ports,
  check,
  scan,
  meter,
  meters,
  characterise,
  standard_input
};

struct Command {
  Kind kind = Kind::write;
  std::string name;  // as typed: write, zero, mid, full, frame, read, sweep, -
  int code = 0;      // write
  bool verify = false;
  std::uint32_t word = 0;  // frame
  std::string forced;      // frame: the acknowledge slots given as 1
  int from = 0, to = 0, step = 1;
  long dwell_ms = 0;
  bool thorough = false;  // check
  std::string resource;   // meter
  meter::MeterOptions meter;
  long count = 1;    // meter: readings
  bool lan = false;  // meters: also what answers a VXI-11 discovery
  long settle_ms = 0;
  CharacteriseOrder characterise;
};

// A check that found the port or the device wanting: the run's status, told by its steps.
class CheckFailed : public std::runtime_error {
 public:
  CheckFailed(const std::string& what, int status) : std::runtime_error(what), status(status) {}
  int status;
};

}  // namespace

namespace {

std::optional<long> whole_number(const std::string& text) {
  long value = 0;
  const char* first = text.data();
  const char* last = first + text.size();
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    first += 2;
    base = 16;
  }
  const auto [end, error] = std::from_chars(first, last, value, base);
  if (error != std::errc() || end != last || first == last) return std::nullopt;
  return value;
}

bool starts_with_digit(const std::string& text) {
  return !text.empty() && text[0] >= '0' && text[0] <= '9';
}

// A number where one comes, negative too ("-1" is a code out of range, not an option).
bool looks_numeric(const std::string& text) {
  return starts_with_digit(text) ||
         (text.size() > 1 && text[0] == '-' && starts_with_digit(text.substr(1)));
}

long number(const std::string& text, const std::string& what, long low, long high) {
  // 077 is 63 to i2cset and every strtol-based tool, 77 to others: neither is taken for granted.
  if (text.size() > 1 && text[0] == '0' && text[1] >= '0' && text[1] <= '9') {
    const std::size_t nonzero = text.find_first_not_of('0');
    const std::string digits = nonzero == std::string::npos ? "0" : text.substr(nonzero);
    throw UsageError(what + " " + port::quoted(text) +
                     ": a leading zero is ambiguous (octal to some tools, decimal to others): "
                     "write " +
                     digits + " for decimal, or 0x... for hex");
  }
  const auto value = whole_number(text);
  if (!value) session::out_of_range(text, what, low, high);
  return static_cast<long>(session::in_range(*value, what, low, high, text));
}

int code(const std::string& text, const std::string& what = "CODE") {
  return static_cast<int>(number(text, what, 0, 255));
}

// A meter's setting as `read` gives it; one that names nothing is a usage error, found before any
// work.
template <class Read>
auto meter_setting(Read&& read) {
  try {
    return read();
  } catch (const meter::MeterError& error) {
    throw UsageError(error.what());
  }
}

bool is_pdf(const std::string& path) {
  if (path.size() <= 4) return false;
  std::string extension = path.substr(path.size() - 4);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension == ".pdf";
}

// characterise's arguments: its options in any order, FROM TO [STEP] where a number comes.
void parse_characterise(const std::string& name, std::deque<std::string>& tokens,
                        CharacteriseOrder& order) {
  const auto value = [&](const std::string& option, const char* what) {
    if (tokens.empty() || tokens.front().rfind("--", 0) == 0) {
      throw UsageError(name + " " + option + " needs " + what);
    }
    std::string taken = tokens.front();
    tokens.pop_front();
    return taken;
  };
  const auto volts = [&](const std::string& option) {
    const std::string text = value(option, "a voltage");
    const auto number = meter::parse_number(text);
    if (!number) throw UsageError(option + " is a voltage in volts, not " + port::quoted(text));
    return *number;
  };
  std::vector<std::string> codes;
  std::optional<meter::Function> function;
  std::optional<analysis::Mode> mode;
  long long settle_ms = 10, average = 1;
  bool verify = false;
  while (!tokens.empty()) {
    const std::string option = tokens.front();
    if (looks_numeric(option) && codes.size() < 3) {
      codes.push_back(option);
      tokens.pop_front();
      continue;
    }
    static const std::set<std::string> options = {
        "--meter", "--function", "--range",  "--settle", "--average", "--mode",  "--vh",
        "--vl",    "--verify",   "--serial", "--csv",    "--plot",    "--report"};
    if (!options.count(option)) break;
    tokens.pop_front();
    if (option == "--meter") {
      order.resource = value(option, "a RESOURCE (TCPIP::host::5025::SOCKET, sim, ...)");
      meter_setting([&] { return meter::parse_resource(order.resource); });
    } else if (option == "--function") {
      function =
          meter_setting([&] { return meter::parse_function(value(option, "resistance|voltage")); });
    } else if (option == "--range") {
      order.meter.range = meter_setting([&] { return meter::checked_range(value(option, "R")); });
    } else if (option == "--settle") {
      settle_ms = number(value(option, "MS"), "MS", 0, session::kMaxDwellMs);
    } else if (option == "--average") {
      average = number(value(option, "K"), "K", 1, session::kMaxAverage);
    } else if (option == "--mode") {
      const std::string text = value(option, "rheostat|divider");
      if (text != "rheostat" && text != "divider") {
        throw UsageError("--mode is rheostat or divider, not " + port::quoted(text));
      }
      mode = text == "rheostat" ? analysis::Mode::rheostat : analysis::Mode::divider;
    } else if (option == "--vh") {
      order.analysis.v_high = volts(option);
    } else if (option == "--vl") {
      order.analysis.v_low = volts(option);
    } else if (option == "--verify") {
      verify = true;
    } else if (option == "--serial") {
      order.meter.serial =
          meter_setting([&] { return meter::parse_serial(value(option, "BAUD,FRAME[,lf|crlf]")); });
    } else if (option == "--csv") {
      order.csv = value(option, "a FILE");
      if (order.csv.empty()) throw UsageError("--csv needs a file name, not an empty one");
    } else if (option == "--plot") {
      order.plot = value(option, "F.png or F.svg");
      if (!plot::picture_format(order.plot)) {
        throw UsageError("--plot writes F.png or F.svg, not " + port::quoted(order.plot));
      }
    } else if (option == "--report") {
      order.report = value(option, "F.pdf");
      if (!is_pdf(order.report)) {
        throw UsageError("--report writes a PDF, F.pdf, not " + port::quoted(order.report));
      }
    }
  }
  if (order.resource.empty()) {
    throw UsageError(
        name +
        " needs --meter RESOURCE (TCPIP::host::5025::SOCKET, ASRL/dev/ttyUSB0::INSTR, or sim)");
  }
  if (codes.size() == 1) throw UsageError(name + " takes FROM and TO together, or neither");
  // Divider mode measures volts, rheostat mode ohms, unless told otherwise.
  if (!mode)
    mode =
        function == meter::Function::voltage ? analysis::Mode::divider : analysis::Mode::rheostat;
  if (!function)
    function =
        *mode == analysis::Mode::divider ? meter::Function::voltage : meter::Function::resistance;
  order.meter.function = *function;
  order.analysis.mode = *mode;
  order.analysis = session::checked_analysis(order.analysis, "--vh", "--vl");
  order.plan = session::plan_characterise(
      codes.empty() ? 0 : code(codes[0], "FROM"), codes.empty() ? 255 : code(codes[1], "TO"),
      codes.size() < 3 ? 1 : number(codes[2], "STEP", 1, 255), settle_ms, average, verify);
}

// Each output of a characterisation its own file, the trace's too: one written over another would
// lose it.
void distinct_outputs(const CharacteriseOrder& order, const std::string& trace) {
  const std::pair<const char*, const std::string*> outputs[] = {{"--csv", &order.csv},
                                                                {"--plot", &order.plot},
                                                                {"--report", &order.report},
                                                                {"the trace", &trace}};
  for (std::size_t i = 0; i < std::size(outputs); ++i) {
    for (std::size_t j = i + 1; j < std::size(outputs); ++j) {
      const std::string &a = *outputs[i].second, &b = *outputs[j].second;
      if (a.empty() || b.empty() || !session::same_file(a, b)) continue;
      throw UsageError(std::string(outputs[i].first) + " and " + outputs[j].first +
                       " name one file, " + port::quoted(b, 200) + ": each output needs its own");
    }
  }
}

// Takes one command off the front of `tokens`.
Command parse_command(std::deque<std::string>& tokens) {
  const std::string name = tokens.front();
  tokens.pop_front();
  auto argument = [&](const char* what) {
    if (tokens.empty() || (tokens.front().rfind("--", 0) == 0)) {
      throw UsageError(name + " needs " + what);
    }
    std::string value = tokens.front();
    tokens.pop_front();
    return value;
  };
  auto flag = [&](const char* option) {
    if (tokens.empty() || tokens.front() != option) return false;
    tokens.pop_front();
    return true;
  };

  Command command;
  command.name = name;
  if (name == "write") {
    command.code = code(argument("a CODE (0..255)"));
    command.verify = flag("--verify");
  } else if (name == "zero" || name == "mid" || name == "full") {
    command.code = name == "zero" ? 0 : name == "mid" ? 128 : 255;
  } else if (name == "frame") {
    command.kind = Kind::frame;
    command.word = session::frame_word(argument("27 BITS"), command.forced);
  } else if (name == "read") {
    command.kind = Kind::read;
  } else if (name == "sweep") {
    command.kind = Kind::sweep;
    command.from = code(argument("FROM and TO"), "FROM");
    command.to = code(argument("FROM and TO"), "TO");
    if (!tokens.empty() && starts_with_digit(tokens.front())) {
      command.step = static_cast<int>(number(argument("STEP"), "STEP", 1, 255));
    }
    if (flag("--dwell")) {
      command.dwell_ms = number(argument("--dwell MS"), "MS", 0, session::kMaxDwellMs);
    }
  } else if (name == "ports") {
    command.kind = Kind::ports;
  } else if (name == "check") {
    command.kind = Kind::check;
    command.thorough = flag("--thorough");
  } else if (name == "scan") {
    command.kind = Kind::scan;
  } else if (name == "meter") {
    command.kind = Kind::meter;
    command.resource =
        argument("a RESOURCE (TCPIP::host::5025::SOCKET, ASRL/dev/ttyUSB0::INSTR or sim)");
    meter_setting([&] { return meter::parse_resource(command.resource); });
    for (bool more = true; more;) {
      more = false;
      if (flag("--function")) {
        command.meter.function = meter_setting(
            [&] { return meter::parse_function(argument("--function resistance|voltage")); });
        more = true;
      }
      if (flag("--range")) {
        command.meter.range = meter_setting(
            [&] { return meter::checked_range(argument("--range R (ohms or volts, or AUTO)")); });
        more = true;
      }
      if (flag("--count")) {
        command.count = number(argument("--count N"), "N", 1, 1'000'000);
        more = true;
      }
      if (flag("--settle")) {
        command.settle_ms = number(argument("--settle MS"), "MS", 0, session::kMaxDwellMs);
        more = true;
      }
      if (flag("--serial")) {
        command.meter.serial = meter_setting(
            [&] { return meter::parse_serial(argument("--serial BAUD,FRAME[,lf|crlf]")); });
        more = true;
      }
    }
  } else if (name == "characterise") {
    command.kind = Kind::characterise;
    parse_characterise(name, tokens, command.characterise);
  } else if (name == "meters") {
    command.kind = Kind::meters;
    command.lan = flag("--lan");
  } else if (name == "-") {
    command.kind = Kind::standard_input;
  } else if (is_run_option(name)) {
    throw UsageError("option " + port::quoted(name) + " must come before the first command");
  } else if (name == "--verify") {
    throw UsageError("--verify goes right after write CODE, once");
  } else if (name == "--thorough") {
    throw UsageError("--thorough goes right after check, once");
  } else if (name == "--dwell") {
    throw UsageError("--dwell MS goes right after sweep FROM TO [STEP], once");
  } else if (name.rfind("--", 0) == 0) {
    throw UsageError("unknown option " + port::quoted(name));
  } else {
    throw UsageError("unknown command " + port::quoted(name));
  }
  return command;
}

std::deque<std::string> split(const std::string& line) {
  std::deque<std::string> tokens;
  std::istringstream words(line);
  for (std::string word; words >> word;) tokens.push_back(word);
  return tokens;
}

// Pads `line` with spaces to `column`, or by one space when it reaches past it: the next field.
void pad_to(std::string& line, std::size_t column) {
  line.append(line.size() < column ? column - line.size() : 1, ' ');
}

// One line of standard input, at most kMaxLine bytes before its newline.
enum class LineRead { line, end, too_long, failed };
LineRead read_line(std::istream& in, std::string& line) {
  line.clear();
  char c;
  while (in.get(c)) {
    if (c == '\n') return LineRead::line;
    if (line.size() == kMaxLine) return LineRead::too_long;
    line += c;
  }
  if (in.bad()) return LineRead::failed;
  return line.empty() ? LineRead::end : LineRead::line;
}

// The name of signal `number` as a shell would write it: SIGINT.
std::string signal_name(int number) {
  const char* abbreviation = sigabbrev_np(number);
  return abbreviation ? std::string("SIG") + abbreviation : "signal " + std::to_string(number);
}

class Runner {
 public:
  Runner(session::Device& device, bool json, Streams streams, const Signalled& signalled)
      : device_(device), json_(json), io_(streams), signalled_(signalled) {}

  void execute(const Command& command) {
    if (command.kind == Kind::standard_input) {
      if (reading_input_) {
        begin(command.name);
        throw UsageError("\"-\" on standard input: standard input is being read already");
      }
      reading_input_ = true;
      commands_from_input();
      reading_input_ = false;
      return;
    }
    begin(command.name);
    switch (command.kind) {
      case Kind::write:
        device_.write(command.code, command.verify);
        add(",\"code\":" + std::to_string(command.code));
        if (command.verify) add(",\"verified\":true,\"read\":" + std::to_string(command.code));
        break;
      case Kind::frame:
        if (!command.forced.empty()) {
          io_.err << "vx3071: acknowledge slot(s) " << command.forced
                  << " given as 1, sent as 0 as the panel sends them\n";
        }
        device_.frame(command.word);
        add(",\"word\":" + std::to_string(command.word));
        break;
      case Kind::read: {
        const int value = device_.read();
        if (!json_) print(std::to_string(value) + '\n');
        add(",\"value\":" + std::to_string(value));
        break;
      }
      case Kind::sweep:
        sweep(command);
        break;
      case Kind::ports:
        ports();
        break;
      case Kind::check:
        check(command);
        break;
      case Kind::scan:
        scan();
        break;
      case Kind::meter:
        read_meter(command);
        break;
      case Kind::meters:
        meters(command.lan);
        break;
      case Kind::characterise:
        characterise(command.characterise);
        break;
      case Kind::standard_input:
        break;
    }
    tell_trace_error();
    emit();
  }

  // The command that ended the run: its object, with `error` and `status`, after what the
  // command had found (a scan's addresses, a check's steps). Standard output itself failing
  // has no object: there is nowhere to print it.
  void failed(const std::string& error, int status) {
    tell_trace_error();
    if (!json_ || status == kWriteFailed || !open_) return;
    add(",\"error\":" + json_string(error));
    try {
      emit(status);
    } catch (const OutputError&) {  // standard output failed too: the status says it all
    }
  }

  // Ends the run whichever way it went: the trace complete and closed, its error told once.
  // Returns the run's status, 5 where it was 0 but the trace could not be written.
  int finish(int status) {
    device_.close();
    if (const auto error = tell_trace_error()) {
      // No command is left to hold it: the run's own object, as for a usage error.
      if (json_ && io_.out) {
        io_.out << "{\"trace_error\":" << json_string(*error) << ",\"status\":" << kWriteFailed
                << "}\n"
                << std::flush;
      }
    }
    return status == kOk && trace_failed_ ? kWriteFailed : status;
  }

 private:
  // A command starts: its JSON object is gathered until it ends.
  void begin(const std::string& name) {
    open_ = true;
    fields_ = "{\"command\":" + json_string(name);
    if (line_ > 0) fields_ += ",\"line\":" + std::to_string(line_);
    trace_error_told_ = false;
  }
  void add(const std::string& fields) { fields_ += fields; }
  // One object per command, everything it has to say in it; `status` when it failed, else 5
  // when the trace could not be written during it.
  void emit(std::optional<int> status = std::nullopt) {
    open_ = false;
    if (!json_) return;
    if (!status && trace_error_told_) status = kWriteFailed;
    if (status) add(",\"status\":" + std::to_string(*status));
    print(fields_ + "}\n");
  }

  void commands_from_input() {
    std::string line;
    for (long number = 1;; ++number) {
      // A signal before the wait stops here; one during it ends the program (main's handler).
      waiting_for_input = 1;
      if (signalled_ && signalled_() != 0) {
        waiting_for_input = 0;
        throw session::Interrupted("stopped at standard input");
      }
      const LineRead got = read_line(io_.in, line);
      waiting_for_input = 0;
      if (signalled_ && signalled_() != 0) throw session::Interrupted("stopped at standard input");
      if (got == LineRead::end) return;
      const std::string where = "standard input line " + std::to_string(number) + ": ";
      if (got == LineRead::failed) {
        throw UsageError("cannot read standard input after line " + std::to_string(number - 1) +
                         ": " + std::strerror(errno));
      }
      if (got == LineRead::too_long) {
        throw UsageError(where + "longer than " + std::to_string(kMaxLine) + " bytes");
      }
      std::deque<std::string> tokens = split(line);
      if (tokens.empty() || tokens.front().rfind('#', 0) == 0) continue;
      line_ = number;
      // The whole line is checked before any of it runs, as the command line is.
      std::vector<Command> commands;
      try {
        begin(tokens.front());
        while (!tokens.empty()) commands.push_back(parse_command(tokens));
        open_ = false;
        for (const Command& command : commands) execute(command);
      } catch (const UsageError& error) {
        throw UsageError(where + error.what());
      }
      line_ = 0;
    }
  }

  void sweep(const Command& command) {
    const session::SweepPlan plan =
        session::plan_sweep(command.from, command.to, command.step, command.dwell_ms);
    const int count = plan.count;
    std::size_t shown = 0;  // the progress line's length, to blank what a shorter one leaves
    for (int n = 0; n < count; ++n) {
      const int code = device_.sweep_code(plan, n);
      if (io_.err_is_terminal) {
        std::string progress = "sweep: code " + std::to_string(code) + " (" +
                               std::to_string(n + 1) + " of " + std::to_string(count) + ")";
        const std::size_t length = progress.size();
        progress.append(shown > length ? shown - length : 0, ' ');
        shown = length;
        io_.err << '\r' << progress << std::flush;
      }
      tell_trace_error();
    }
    if (io_.err_is_terminal) io_.err << '\n';
    add(",\"from\":" + std::to_string(command.from) + ",\"to\":" + std::to_string(command.to) +
        ",\"step\":" + std::to_string(command.step) + ",\"codes\":" + std::to_string(count));
  }

  // Readings of a bench meter, each fresh, each printed as it comes: "3079.56081 Ohm". A stop
  // signal ends the run at the next reading, or the exchange in progress at once.
  void read_meter(const Command& command) {
    meter::Meter meter(meter::parse_resource(command.resource), command.meter);
    meter.set_stop_check([this] { return stop_asked(); });
    const meter::Identity& id = meter.identity();
    add(",\"resource\":" + json_string(command.resource) + ",\"identity\":" + json_string(id.text));
    std::string readings;
    const auto stop_point = [this] {
      if (stop_asked()) throw session::Interrupted("stopped between two readings");
    };
    try {
      for (long n = 0; n < command.count; ++n) {
        stop_point();
        session::wait_stopping(command.settle_ms, stop_point);
        const meter::Reading reading = meter.read();
        char value[40];
        std::snprintf(value, sizeof value, "%.9g", reading.value);
        if (!json_) print(std::string(value) + " " + reading.unit + "\n");
        readings += (readings.empty() ? "{" : ",{") + std::string("\"value\":") + value +
                    ",\"unit\":" + json_string(reading.unit) + "}";
      }
    } catch (...) {
      add(",\"readings\":[" + readings + "]");  // what was read is kept, whatever ended it
      throw;
    }
    add(",\"readings\":[" + readings + "]");
  }

  bool stop_asked() const { return signalled_ && signalled_() != 0; }

  // Every code of the plan against the meter; the files asked for are written with whatever was
  // measured, also when the sweep ended early, before its error ends the run.
  void characterise(const CharacteriseOrder& order) {
    if (const std::string error = check_outputs(order); !error.empty()) throw OutputError(error);
    meter::Meter meter(meter::parse_resource(order.resource), order.meter);
    meter.set_stop_check([this] { return stop_asked(); });
    std::size_t shown = 0;  // the progress line's length, to blank what a shorter one leaves
    const auto progress = [&](const session::Characterisation& so_far) {
      const session::CodeReading& last = so_far.codes.back();
      const std::size_t done = so_far.codes.size();
      const auto count = static_cast<std::size_t>(so_far.plan.codes.count);
      const double left = session::seconds_left(so_far);
      char line[160];
      std::snprintf(line, sizeof line, "characterise: code %d (%zu of %zu), %.0f s left, %.9g %s",
                    last.code, done, count, left, last.mean, so_far.unit.c_str());
      if (!io_.err_is_terminal) {
        io_.err << line << '\n' << std::flush;
        return;
      }
      // On a terminal, a bar before the same words.
      constexpr std::size_t kBar = 20;
      const std::size_t filled = done * kBar / count;
      std::string text = "[" + std::string(filled, '#') + std::string(kBar - filled, '.') + "] " +
                         (line + std::strlen("characterise: "));
      const std::size_t length = text.size();
      text.append(shown > length ? shown - length : 0, ' ');
      shown = length;
      io_.err << '\r' << text << std::flush;
    };
    session::Characterisation result = device_.characterise(order.plan, meter, progress);
    if (io_.err_is_terminal && shown > 0) io_.err << '\n' << std::flush;
    result.resource = order.resource;
    const session::Analysed analysed = session::analyse(result, order.analysis);
    const std::string write_error = write_outputs(order, result, analysed);
    add(summary_fields(order, result, analysed));
    if (!json_) print(summary_text(result, analysed));
    if (!write_error.empty()) {
      if (!result.error) throw OutputError(write_error);
      io_.err << "vx3071: " << write_error << '\n';
    }
    if (result.error) std::rethrow_exception(result.error);
  }

  // The meters this machine may have, by resource string: serial ports where a USB serial adapter
  // or a meter's own USB port shows (ttyUSB, ttyACM), and USBTMC nodes.
  void meters(bool lan) {
    std::vector<std::string> found = meter::local_meters();
    if (lan) {
      const std::vector<std::string> on_lan = meter::discover_lan(1000);
      found.insert(found.end(), on_lan.begin(), on_lan.end());
    }
    std::string list;
    for (const std::string& resource : found) {
      if (!json_) print(resource + "\n");
      list += (list.empty() ? "" : ",") + json_string(resource);
    }
    if (!json_ && found.empty()) {
      print(
          "no serial port or USBTMC node found; a meter on the LAN is named by its address: "
          "TCPIP::192.168.1.20::5025::SOCKET\n");
    }
    add(",\"meters\":[" + list + "]");
  }

  // Every port this machine offers, one line each (with --json, one object holding them all);
  // touches none of them.
  void ports() {
    const std::vector<backends::OfferedPort> offered = backends::offered_ports();
    if (json_) {
      std::string list;
      for (const auto& port : offered) {
        list += list.empty() ? "{" : ",{";
        list += "\"port\":" + json_string(port.choice) + ",\"kind\":" + json_string(port.kind) +
                ",\"device\":" + json_string(port.device) +
                ",\"description\":" + json_string(port.what) +
                ",\"usable\":" + (port.usable ? "true" : "false");
        if (port.plain_i2c)
          list += ",\"plain_i2c\":" + std::string(*port.plain_i2c ? "true" : "false");
        if (!port.form.empty()) list += ",\"form\":" + json_string(port.form);
        if (port.lines) list += ",\"lines\":" + std::to_string(*port.lines);
        if (!port.fix.empty()) list += ",\"fix\":" + json_string(port.fix);
        list += ",\"opening\":" + json_string(opening_of(port.kind)) + "}";
      }
      add(",\"ports\":[" + list + "]");
      if (offered.empty()) add(",\"advice\":" + json_string(backends::kWhereWeLook));
      return;
    }
    if (offered.empty()) {
      print(std::string("no ports found: ") + backends::kWhereWeLook + "\n");
      return;
    }
    for (const auto& port : offered) {
      std::string line = port.choice;
      pad_to(line, 24);
      line += port.what;
      if (!port.form.empty()) line += ", " + port.form;
      line += port.usable ? "" : "; this user cannot open " + port.device;
      if (!port.fix.empty()) line += ": " + port.fix;
      print(line + "\n");
    }
    // What opening each kind listed does, once a kind, and what no test here can show.
    std::set<std::string> told;
    for (const auto& port : offered) {
      if (!told.insert(port.kind).second) continue;
      print("\nopening " + port.kind + ": " + opening_of(port.kind) + "\n");
    }
    print(std::string("\non real hardware, ") + backends::kOnlyHardwareShows + "\n");
  }

  static std::string opening_of(const std::string& kind) {
    for (const backends::BackEnd& back_end : backends::back_ends()) {
      if (back_end.name == kind) return back_end.opening;
    }
    return "";
  }

  // The bring-up check, a line a step (with --json, its steps in the command's object); a failed
  // step fails the run: 3 for the port or its lines, 4 for the device.
  void check(const Command& command) {
    const bus::CheckReport checked = device_.check(command.thorough);
    const char* const results[] = {"ok", "FAIL", "skip"};
    const bus::CheckStep* failed = nullptr;
    std::string steps;
    for (const bus::CheckStep& step : checked.steps) {
      const char* result = results[static_cast<int>(step.result)];
      if (step.result == bus::CheckStep::Result::fail && !failed) failed = &step;
      if (json_) {
        steps += (steps.empty() ? "{" : ",{") + std::string("\"step\":") + json_string(step.name) +
                 ",\"result\":" + json_string(result) + ",\"text\":" + json_string(step.text) +
                 ",\"fix\":" + json_string(step.fix) + "}";
        continue;
      }
      std::string line = step.name;
      pad_to(line, 10);
      line += result;
      pad_to(line, 16);
      print(line + step.text + (step.fix.empty() ? "" : ": " + step.fix) + "\n");
    }
    add(",\"steps\":[" + steps + "]");
    if (failed) {
      throw CheckFailed("check: " + failed->name + " failed",
                        checked.port_unusable ? kPortError : kVerifyMismatch);
    }
  }

  // Who answers on the bus, one address a line, the VX3071's own marked. Without the VX3071 the
  // run fails as check's presence does (4), after the list; an adapter that can ask no address
  // fails as a port does (3).
  void scan() {
    const bus::ScanResult scanned = device_.scan();
    if (!scanned.skipped.empty()) {
      throw CheckFailed("scan: cannot ask who is there: " + scanned.skipped, kPortError);
    }
    std::string list;
    bool vx3071 = false;
    for (const int address : scanned.found) {
      char text[24];
      std::snprintf(text, sizeof text, "0x%02x", address);
      vx3071 = vx3071 || address == frame::kDeviceAddress;
      if (json_) {
        list += (list.empty() ? "" : ",") + std::to_string(address);
      } else {
        print(std::string(text) + (address == frame::kDeviceAddress ? "  VX3071\n" : "\n"));
      }
    }
    add(",\"addresses\":[" + list + "]");
    if (vx3071) return;
    char own[8];
    std::snprintf(own, sizeof own, "0x%02X", frame::kDeviceAddress);
    throw CheckFailed("scan: no acknowledge at " + std::string(own) +
                          (scanned.found.empty() ? "; nothing answers on this bus"
                                                 : "; the addresses above answer"),
                      kVerifyMismatch);
  }

  // Each result goes out at once, so a reader that has gone away stops the run at once.
  void print(const std::string& text) {
    io_.out << text << std::flush;
    if (!io_.out) {
      const int error = errno;
      throw OutputError(std::string("cannot write standard output: ") + std::strerror(error));
    }
  }

  // The trace's first error, told once on standard error, and put in the command's object; the
  // run goes on. Gives the error, if there was one.
  std::optional<std::string> tell_trace_error() {
    auto error = device_.take_trace_error();
    if (!error) return error;
    io_.err << "vx3071: " << *error << '\n';
    if (open_) add(",\"trace_error\":" + json_string(*error));
    trace_error_told_ = open_;
    trace_failed_ = true;
    return error;
  }

  session::Device& device_;
  bool json_;
  Streams io_;
  const Signalled& signalled_;
  std::string fields_;             // the JSON object of the command running, so far
  bool open_ = false;              // a command is running: its object is not printed yet
  bool trace_error_told_ = false;  // during the command running
  long line_ = 0;                  // standard input's line of the command running, or 0
  bool reading_input_ = false;
  bool trace_failed_ = false;
};

}  // namespace

volatile std::sig_atomic_t waiting_for_input = 0;

int run(const std::vector<std::string>& args, Streams streams, backends::Settings settings,
        const PortMaker& make_port, const Signalled& signalled) {
  bool json = false;
  bool port_given = false;
  std::vector<Command> commands;
  std::unique_ptr<session::Device> device;
  try {
    std::deque<std::string> tokens(args.begin(), args.end());
    while (!tokens.empty() && (tokens.front().rfind("--", 0) == 0 || tokens.front() == "-h")) {
      std::string option = tokens.front() == "-h" ? "--help" : tokens.front();
      tokens.pop_front();
      std::optional<std::string> value;
      if (const auto equals = option.find('='); equals != std::string::npos) {
        value = option.substr(equals + 1);
        option.erase(equals);
      }
      auto take = [&] {
        if (value) return *value;
        if (tokens.empty()) throw UsageError(option + " needs a value");
        std::string next = tokens.front();
        tokens.pop_front();
        return next;
      };
      if (option == "--help") {
        streams.out << kUsageText << std::flush;
        return streams.out ? kOk : kWriteFailed;
      } else if (option == "--version") {
        streams.out << "vx3071 " << VX3071_VERSION << '\n' << std::flush;
        return streams.out ? kOk : kWriteFailed;
      } else if (option == "--port") {
        settings.port = take();
        port_given = true;
      } else if (option == "--trace") {
        settings.trace = take();
      } else if (option == "--json" && !value) {
        json = true;
      } else if (option == "--verify" || option == "--dwell") {
        throw UsageError(option +
                         " belongs to its command: write CODE --verify, sweep FROM TO "
                         "--dwell MS");
      } else {
        throw UsageError("unknown option " + port::quoted(option));
      }
    }
    if (tokens.empty()) throw UsageError("no command given");
    while (!tokens.empty()) commands.push_back(parse_command(tokens));
    for (const Command& command : commands) {
      if (command.kind == Kind::characterise)
        distinct_outputs(command.characterise, settings.trace);
    }
    // The port and the phase are checked now, before any port work; nothing is opened yet.
    device = std::make_unique<session::Device>(settings, port_given, make_port);
  } catch (const UsageError& error) {
    streams.err << "vx3071: " << error.what() << '\n' << kUsageHint;
    if (json) {
      streams.out << "{\"error\":" << json_string(error.what()) << ",\"status\":" << kUsage << "}\n"
                  << std::flush;
    }
    return kUsage;
  }

  Runner runner(*device, json, streams, signalled);
  device->set_stop_check([&signalled] { return signalled && signalled() != 0; });
  int status = kOk;
  // One line on standard error; with --json the error goes in the command's object, so that a
  // script that reads JSON sees why.
  const auto fail = [&](int code, const std::string& error) {
    streams.err << "vx3071: " << error << '\n';
    if (code == kUsage) streams.err << kUsageHint;
    runner.failed(error, code);
    status = code;
  };
  try {
    for (const Command& command : commands) runner.execute(command);
  } catch (const UsageError& error) {  // a bad line on standard input
    fail(kUsage, error.what());
  } catch (const session::Interrupted&) {
    const int number = signalled ? signalled() : 0;
    status = 128 + number;
    runner.failed("stopped by " + signal_name(number) + " between two frames", status);
  } catch (const meter::Stopped&) {
    // The run was stopped, the meter did not fail: its link is cleared for whoever asks next.
    const int number = signalled ? signalled() : 0;
    status = 128 + number;
    runner.failed("stopped by " + signal_name(number) + " during a meter exchange", status);
  } catch (const session::VerifyError& error) {
    fail(kVerifyMismatch, error.what());
  } catch (const CheckFailed& error) {
    fail(error.status, error.what());
  } catch (const OutputError& error) {
    fail(kWriteFailed, error.what());
  } catch (const port::TraceError& error) {
    fail(kWriteFailed, error.what());
  } catch (const std::exception& error) {
    fail(kPortError, error.what());
  }
  return runner.finish(status);
}

}  // namespace vx::cli
