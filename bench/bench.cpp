// The program's own time per transaction, and per user action from input to painted window, with
// a port that does nothing; its heap over many actions; each figure printed beside its target.
#include <benchmark/benchmark.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QAbstractButton>
#include <QApplication>
#include <QPixmapCache>
#include <QScrollBar>
#include <QStyleOptionSlider>
#include <QTest>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "backends/backends.h"
#include "backends/ftdi.h"
#include "backends/i2c.h"
#include "bus/read_back.h"
#include "bus/write_transaction.h"
#include "frame/code_conversions.h"
#include "frame/line_protocol.h"
#include "heap_count.h"
#include "meter/resource.h"
#include "meter/scpi.h"
#include "null_port.h"
#include "session/characterise.h"
#include "session/device.h"
#include "window/bus_monitor.h"
#include "window/main_window.h"
#include "window/widgets.h"

namespace {

using namespace vx;

// A port that does nothing, so only the program's own work is measured.
port::PortAccess::Opener null_opener() {
  return [] { return bench::make_null_port(); };
}

// --- The bus --------------------------------------------------------------------------------

void write_transaction(benchmark::State& state) {
  port::PortAccess access(null_opener());
  bus::LineDriver driver(access);
  const double word = frame::fixed_address_frame_word(0xA5);
  for (auto _ : state) bus::Read_Write_Bits_to_Parallel_Port(driver, word);
}

// The same write as `vx3071 write` and the Python module make it: on the simulated bus with
// nothing on it, the trace completed after the command. Python's rows compare against this.
void simulated_write(benchmark::State& state) {
  port::PortAccess access(backends::opener_for("sim:absent"));
  bus::LineDriver driver(access);
  for (auto _ : state) {
    bus::Read_Write_Bits_to_Parallel_Port(driver, frame::fixed_address_frame_word(0xA5));
    access.flush();
  }
}

void read_back_bus_work(benchmark::State& state) {
  port::PortAccess access(null_opener());
  bus::LineDriver driver(access);
  const frame::CellRegister cells = bus::standard_read_frame();
  const double word = frame::fixed_address_frame_word(0xA5);
  for (auto _ : state) {
    bus::Read_Write_Bits_to_Parallel_Port(driver, word);
    benchmark::DoNotOptimize(bus::read_transaction(driver, cells));
  }
}

// A frame through the I2C back end, which follows the lines and hands the frame to a transport
// that does nothing here.
void i2c_frame(benchmark::State& state) {
  struct NullTransport final : backends::I2cTransport {
    void transfer(backends::I2cMessage&) override {}
  };
  port::PortAccess access(
      [] { return std::make_unique<backends::I2cPort>(std::make_unique<NullTransport>()); });
  bus::LineDriver driver(access);
  const double word = frame::fixed_address_frame_word(0xA5);
  for (auto _ : state) bus::Read_Write_Bits_to_Parallel_Port(driver, word);
}

// A batched transaction through the FTDI back end: the bytes and echoes of a whole write frame,
// with a library stand-in that takes every write and echoes it at once.
void ftdi_transaction(benchmark::State& state) {
  struct NullLibrary final : backends::FtdiCalls {
    int find_all(std::vector<backends::FtdiChip>& chips) override {
      chips = {{"BENCH", "no chip", -1, -1}};
      return 1;
    }
    int open(const std::string&, int) override { return 0; }
    int chip_type() override { return 3; }  // an FT232R
    backends::FtdiClock clock_for(int baudrate) override { return {baudrate * 4, false}; }
    int set_bitmode(unsigned char, unsigned char) override { return 0; }
    int set_latency_timer(unsigned char) override { return 0; }
    int set_baudrate(int) override { return 0; }
    int write(const unsigned char*, int size) override { return size; }
    int read(unsigned char* data, int size) override {
      std::fill(data, data + size, 0xFF);
      return size;
    }
    int purge() override { return 0; }
    void close() override {}
    std::string error_string() override { return {}; }
    std::chrono::nanoseconds now() override { return {}; }  // nothing measured: the fastest
  };
  port::PortAccess access([] {
    return backends::open_ftdi("", std::chrono::microseconds(5), std::make_unique<NullLibrary>());
  });
  bus::LineDriver driver(access);
  const double word = frame::fixed_address_frame_word(0xA5);
  for (auto _ : state) bus::Read_Write_Bits_to_Parallel_Port(driver, word);
}

// The same number of calls straight into the back end: what the driver adds is the difference.
void bare_calls(benchmark::State& state) {
  const std::unique_ptr<port::Port> owned = bench::make_null_port();
  port::Port* port = owned.get();
  const auto writes = state.range(0), reads = state.range(1);
  for (auto _ : state) {
    for (auto i = 0; i < writes; ++i) port->write16(frame::kDataRegister, 0xF3);
    for (auto i = 0; i < reads; ++i) benchmark::DoNotOptimize(port->read32(frame::kStatusRegister));
  }
}

// --- User actions through the window ------------------------------------------------------------

// Lets the window finish everything the last input set off, painting included.
void settle() {
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents();
}

// Where a user's click lands: a widget and a point in it, worked out before any timing.
struct Spot {
  QWidget* widget;
  QPoint at;
  void click() const {
    QTest::mouseClick(widget, Qt::LeftButton, Qt::NoModifier, at);
    settle();
  }
};

// The panel window shown on the offscreen platform, as a user has it.
struct Panel {
  port::PortAccess access{null_opener()};
  panel::PanelLogic logic{access};
  panel::Form1 form{logic};

  Panel() {
    form.show();
    if (!QTest::qWaitForWindowExposed(&form)) std::abort();
    settle();
  }

  QScrollBar* bar(const QString& name) { return form.findChild<QScrollBar*>(name); }
  QScrollBar* cell(int i) { return bar(QString("vsbBit(%1)").arg(i)); }
  QScrollBar* slider() { return bar("vsbInputCode1"); }
  Spot button(const char* name) {
    auto* widget = form.findChild<QAbstractButton*>(name);
    return {widget, widget->rect().center()};
  }
  // A scroll bar's down arrow (its bottom end, towards Max) or up arrow.
  static Spot arrow(QScrollBar* bar, bool down) {
    return {bar, QPoint(bar->width() / 2, down ? bar->height() - 4 : 4)};
  }
  // Drags the slider's handle to the far end of its track: one change, on release.
  void drag_slider(bool to_bottom) {
    QScrollBar* bar = slider();
    QStyleOptionSlider option;
    option.initFrom(bar);
    option.orientation = bar->orientation();
    option.minimum = bar->minimum();
    option.maximum = bar->maximum();
    option.sliderPosition = bar->sliderPosition();
    option.sliderValue = bar->value();
    option.singleStep = bar->singleStep();
    option.pageStep = bar->pageStep();
    const QRect handle = bar->style()->subControlRect(QStyle::CC_ScrollBar, &option,
                                                      QStyle::SC_ScrollBarSlider, bar);
    const QPoint end(handle.center().x(), to_bottom ? bar->height() + 40 : -40);
    QTest::mousePress(bar, Qt::LeftButton, Qt::NoModifier, handle.center());
    QTest::mouseMove(bar, end);
    QTest::mouseRelease(bar, Qt::LeftButton, Qt::NoModifier, end);
    settle();
  }
};

// The bus monitor open beside the panel, as F2 opens it.
struct MonitoredPanel : Panel {
  panel::BusMonitor monitor{access};
  MonitoredPanel() {
    monitor.show();
    if (!QTest::qWaitForWindowExposed(&monitor)) std::abort();
    settle();
  }
};

void monitor_slider_step(benchmark::State& state) {
  MonitoredPanel p;
  p.button("cmdMS").click();
  const Spot down = Panel::arrow(p.slider(), true), up = Panel::arrow(p.slider(), false);
  bool going_down = true;
  for (auto _ : state) {
    (going_down ? down : up).click();
    going_down = !going_down;
  }
}

// Draws the last Read whole: the diagram of its 107 accesses and their decoded frames.
void monitor_draw_read(benchmark::State& state) {
  MonitoredPanel p;
  p.button("cmdMS").click();
  p.button("cmdRead").click();
  panel::BusDiagram& diagram = p.monitor.diagram();
  diagram.show_last_action();
  for (auto _ : state) diagram.repaint();
}

// Clicks one arrow of a scroll bar, alternating down and up.
void scroll_bar_clicks(benchmark::State& state, QScrollBar* (*which)(Panel&), bool only_down) {
  Panel p;
  p.button("cmdMS").click();
  QScrollBar* bar = which(p);
  const Spot down = Panel::arrow(bar, true), up = Panel::arrow(bar, false);
  bool going_down = true;
  for (auto _ : state) {
    (going_down ? down : up).click();
    going_down = only_down || !going_down;
  }
}

void slider_drag(benchmark::State& state) {
  Panel p;
  for (auto _ : state) {
    p.drag_slider(true);
    state.PauseTiming();
    if (p.logic.slider() != 255) state.SkipWithError("the drag did not reach 255");
    p.drag_slider(false);
    state.ResumeTiming();
  }
}

// A preset pressed from a state where it changes something.
void preset(benchmark::State& state, const char* name, const char* from) {
  Panel p;
  const Spot press = p.button(name), before = p.button(from);
  for (auto _ : state) {
    state.PauseTiming();
    before.click();
    state.ResumeTiming();
    press.click();
  }
}

// --- Floors: what this machine takes for the least a window does ---------------------------------

// The whole panel drawn again, every control of it.
void full_repaint(benchmark::State& state) {
  Panel p;
  p.button("cmdMS").click();
  for (auto _ : state) {
    p.form.repaint();
    settle();
  }
}

// A click that changes nothing: the up arrow of a read cell already at 0.
void idle_click(benchmark::State& state) {
  Panel p;
  const Spot up = Panel::arrow(p.cell(30), false);
  for (auto _ : state) up.click();
  if (p.logic.cell(30) != 0) state.SkipWithError("the click changed the cell");
}

void button(benchmark::State& state, const char* name) {
  Panel p;
  p.button("cmdMS").click();
  const Spot press = p.button(name);
  for (auto _ : state) press.click();
}

// --- The worker: the window beside long port work ---------------------------------------------

constexpr auto kLongPhase = std::chrono::milliseconds(20);  // a long bus: Full Scale takes 2.4 s

// The panel on its worker, on a port that does nothing but is paced at 20 ms an access.
struct WorkingPanel {
  port::PortAccess access{null_opener(), "", kLongPhase};
  panel::PanelLogic logic{access};
  panel::Form1 form{logic};
  WorkingPanel() {
    form.use_worker();
    form.show();
    if (!QTest::qWaitForWindowExposed(&form)) std::abort();
    settle();
  }
  ~WorkingPanel() { form.finish_work(); }
  void full_scale() { form.findChild<QAbstractButton*>("cmdFS")->click(); }
};

// Notes when a widget was last painted.
struct PaintClock : QObject {
  explicit PaintClock(QWidget* widget) { widget->installEventFilter(this); }
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) painted = true;
    return false;
  }
  bool painted = false;
};

// From an update the window asks for to its paint event, with Full Scale's frames running on the
// worker (`busy`) or with nothing running.
void update_to_paint(benchmark::State& state, bool busy) {
  WorkingPanel p;
  PaintClock clock(&p.form);
  for (auto _ : state) {
    if (busy && p.form.pending() == 0) {
      state.PauseTiming();
      p.full_scale();
      settle();
      state.ResumeTiming();
    }
    clock.painted = false;
    p.form.update();
    while (!clock.painted) QCoreApplication::processEvents(QEventLoop::AllEvents);
  }
  if (busy && p.form.pending() == 0) state.SkipWithError("the frames were not running");
}

// From Exit to the end of the work, with a frame running: the frame in progress ends, and no more.
void exit_while_a_frame_runs(benchmark::State& state) {
  std::mt19937 random(5);
  for (auto _ : state) {
    state.PauseTiming();
    auto p = std::make_unique<WorkingPanel>();
    p->full_scale();
    // Somewhere in the first frame, of 59 accesses.
    QTest::qWait(std::uniform_int_distribution<int>(50, 1000)(random));
    state.ResumeTiming();
    p->form.findChild<QAbstractButton*>("cmdExit")->click();
    p->form.finish_work();
    p->access.close_trace();
    state.PauseTiming();
    p.reset();
    state.ResumeTiming();
  }
}

// --- A meter reading ----------------------------------------------------------------------------

// A SCPI meter on 127.0.0.1 that answers at once, one client at a time: what a reading costs the
// tool, without a meter's own measuring time.
class PromptMeter {
 public:
  PromptMeter() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 4);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~PromptMeter() {
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    thread_.join();
  }
  int port() const { return port_; }

 private:
  void serve() {
    for (;;) {
      const int client = ::accept(listener_, nullptr, nullptr);
      if (client < 0) return;
      const int one = 1;
      ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      std::string pending;
      char buffer[512];
      for (ssize_t n; (n = ::recv(client, buffer, sizeof buffer, 0)) > 0;) {
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
          const std::string line = pending.substr(0, end);
          pending.erase(0, end + 1);
          const char* answer = line == "*IDN?"       ? "Keysight Technologies,34465A,MY1,A.1\n"
                               : line == "SYST:ERR?" ? "+0,\"No error\"\n"
                               : line == "READ?"     ? "+1.00000000E+04\n"
                                                     : nullptr;
          if (answer) ::send(client, answer, std::strlen(answer), MSG_NOSIGNAL);
        }
      }
      ::close(client);
    }
  }
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

// READ? and its answer on a bare socket to a prompt meter, nothing else.
class BareSocket {
 public:
  explicit BareSocket(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~BareSocket() { ::close(fd_); }
  void read() {
    ::send(fd_, "READ?\n", 6, MSG_NOSIGNAL);
    for (ssize_t got = 0; got == 0 || buffer_[got - 1] != '\n';) {
      const ssize_t n =
          ::recv(fd_, buffer_ + got, sizeof buffer_ - static_cast<std::size_t>(got), 0);
      if (n <= 0) break;
      got += n;
    }
  }

 private:
  int fd_;
  char buffer_[64];
};

// The floor: READ? and its answer on a bare socket, nothing else.
void bare_round_trip(benchmark::State& state) {
  PromptMeter meter;
  BareSocket socket(meter.port());
  for (auto _ : state) socket.read();
}

// The floor of a characterisation: each code's write frame (on the simulated part) and a bare
// READ? round trip, 256 times.
void writes_and_bare_readings(benchmark::State& state) {
  PromptMeter meter;
  BareSocket socket(meter.port());
  session::Device device({"sim", "", ""}, true);
  for (auto _ : state) {
    for (int code = 0; code < 256; ++code) {
      device.write(code, false);
      socket.read();
    }
  }
}

// A whole characterisation through the tool, settle time 0, against a meter that answers at once:
// what the sweep itself adds to the frames and the readings.
void characterise_sweep(benchmark::State& state) {
  PromptMeter prompt;
  meter::Meter meter(
      meter::parse_resource("TCPIP::127.0.0.1::" + std::to_string(prompt.port()) + "::SOCKET"),
      meter::MeterOptions{});
  session::Device device({"sim", "", ""}, true);
  const session::CharacterisePlan plan = session::plan_characterise(0, 255, 1, 0, 1);
  for (auto _ : state) benchmark::DoNotOptimize(device.characterise(plan, meter).codes.size());
}

// A reading through the tool: READ?, the answer framed, the number checked.
void meter_reading(benchmark::State& state) {
  PromptMeter prompt;
  meter::Meter meter(
      meter::parse_resource("TCPIP::127.0.0.1::" + std::to_string(prompt.port()) + "::SOCKET"),
      meter::MeterOptions{});
  for (auto _ : state) benchmark::DoNotOptimize(meter.read().value);
}

// --- Memory -------------------------------------------------------------------------------------

double resident_mib() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

// Random user actions through the window: clicks on every kind of control, drags of the slider.
class RandomUser {
 public:
  explicit RandomUser(Panel& p) : panel_(p) {
    for (int i = 0; i < 45; ++i) {
      spots_.push_back(Panel::arrow(p.cell(i), true));
      spots_.push_back(Panel::arrow(p.cell(i), false));
    }
    for (bool down : {true, false}) spots_.push_back(Panel::arrow(p.slider(), down));
    for (const char* name : {"cmdZS", "cmdMS", "cmdFS", "cmdRun", "cmdRead"}) {
      for (int weight = 0; weight < 8; ++weight) spots_.push_back(p.button(name));
    }
  }

  // Shows every code once in each box: the text layout caches glyphs by where they fall, so a
  // number first drawn late would count as growth although nothing leaks.
  void show_every_code() {
    const Spot down = Panel::arrow(panel_.slider(), true),
               up = Panel::arrow(panel_.slider(), false);
    const Spot read = panel_.button("cmdRead");
    for (const Spot& step : {down, up}) {
      for (int code = 0; code <= panel::PanelLogic::kSliderMax; ++code) {
        step.click();
        read.click();
      }
    }
  }

  void act(long count) {
    std::uniform_int_distribution<std::size_t> pick(0, spots_.size());
    for (long i = 0; i < count; ++i) {
      const std::size_t k = pick(random_);
      if (k == spots_.size()) {
        panel_.drag_slider(panel_.logic.slider() < 128);
      } else {
        spots_[k].click();
      }
    }
  }

 private:
  Panel& panel_;
  std::vector<Spot> spots_;
  std::mt19937 random_{20261210};
};

void memory(benchmark::State& state) {
  for (auto _ : state) {
    Panel p;
    RandomUser user(p);
    user.show_every_code();
    // The style's pixmap cache is Qt's own, bounded and emptied by a timer: what it happens to
    // hold at a count says nothing of growth, so it is emptied before each.
    const bench::HeapGrowth growth = bench::heap_growth(
        [&](long n) {
          user.act(n);
          QPixmapCache::clear();
          settle();
        },
        1'000, 99'000);
    state.counters["heap_blocks_growth"] = static_cast<double>(growth.blocks());
    state.counters["heap_bytes_growth"] = static_cast<double>(growth.bytes());
    state.counters["heap_blocks_1k"] = static_cast<double>(growth.after_warmup.blocks);
    state.counters["heap_bytes_1k"] = static_cast<double>(growth.after_warmup.bytes);
    state.counters["rss_MiB"] = resident_mib();
  }
}

// --- The table ----------------------------------------------------------------------------------

// A figure's target, as a ratio to a floor measured in the same run, so that a slower machine
// passes or fails for the same reason as a fast one; every action also within one frame at 60 Hz.
struct Target {
  const char* floor;  // the row it is measured against; null: a floor itself, for comparison
  double ratio;       // the most it may be, in floors
  double outer;       // the most it may be, absolutely, in `unit`; negative: no bound
  const char* unit;
};

constexpr const char* kRepaint = "floor: full repaint of the shown panel";
constexpr const char* kIdlePaint = "floor: update to paint, nothing running";
constexpr const char* kBareRoundTrip = "floor: READ? on a bare socket to a prompt meter";
constexpr const char* kBareSweep = "floor: 256 write frames and bare READ? round trips";
constexpr const char* kIdleClick = "floor: a click that changes nothing";
constexpr const char* kBare59 = "bus: 59 bare back-end calls";
constexpr const char* kBare107 = "bus: 107 bare back-end calls";
constexpr const char* kSimulatedWrite = "bus: write transaction on the simulated bus, no device";
constexpr double kFrame = 16'700;  // us: one frame at 60 Hz
constexpr const char* kHeapBlocks = "memory: heap blocks added from 1,000 to 100,000 actions";
constexpr const char* kHeapBytes = "memory: heap bytes added from 1,000 to 100,000 actions";

// The ratios follow what each action must redraw, with room of two to three times what was
// measured: a bus row is its back-end calls and the driver's work between them; a cell click
// redraws one scroll bar and its texts, a slider step the slider and the write row, a preset two
// frames' worth of cells, up to the whole panel; Run redraws its button, as a click that changes
// nothing does.
const std::map<std::string, Target>& targets() {
  static const std::map<std::string, Target> table = {
      {kRepaint, {nullptr, 0, -1, "us"}},
      {kIdleClick, {nullptr, 0, -1, "us"}},
      {kBare59, {nullptr, 0, -1, "us"}},
      {kBare107, {nullptr, 0, -1, "us"}},
      {"bus: write transaction", {kBare59, 10, -1, "us"}},
      {kSimulatedWrite, {nullptr, 0, -1, "us"}},
      {"bus: read-back bus work (write + read)", {kBare107, 10, -1, "us"}},
      {"bus: write frame through the i2c back end", {kBare59, 10, -1, "us"}},
      {"bus: batched write transaction through the ftdi back end", {kBare59, 10, -1, "us"}},
      {"action: write cell click", {kRepaint, 0.15, kFrame, "us"}},
      {"action: acknowledge cell click", {kRepaint, 0.15, kFrame, "us"}},
      {"action: read cell click", {kRepaint, 0.15, kFrame, "us"}},
      {"action: slider step (arrow click)", {kRepaint, 0.5, kFrame, "us"}},
      {"action: slider drag 0 to 255", {kRepaint, 0.75, kFrame, "us"}},
      {"monitor: slider step with the monitor open", {kRepaint, 0.75, kFrame, "us"}},
      {"monitor: drawing a Read's 107 accesses whole", {kRepaint, 0.25, kFrame, "us"}},
      {"action: Zero Scale after Full Scale", {kRepaint, 1, kFrame, "us"}},
      {"action: Mid Scale after Full Scale", {kRepaint, 1, kFrame, "us"}},
      {"action: Full Scale after Zero Scale", {kRepaint, 1, kFrame, "us"}},
      {"action: Run", {kIdleClick, 2, kFrame, "us"}},
      {"action: Read", {kRepaint, 0.5, kFrame, "us"}},
      {kIdlePaint, {nullptr, 0, -1, "us"}},
      {kBareRoundTrip, {nullptr, 0, -1, "us"}},
      {"meter: a reading through the tool, TCP on 127.0.0.1", {kBareRoundTrip, 2, -1, "us"}},
      {kBareSweep, {nullptr, 0, -1, "us"}},
      {"characterise: a 256-code sweep through the tool, settle 0", {kBareSweep, 1.5, -1, "us"}},
      {"worker: update to paint, Full Scale running at 20 ms a phase",
       {kIdlePaint, 2, kFrame, "us"}},
      // At most the rest of the frame in progress: 59 accesses of 20 ms.
      {"worker: Exit to the end of the work, a frame running at 20 ms a phase",
       {nullptr, 0, 59 * 20'000, "us"}},
      {kHeapBlocks, {nullptr, 0, 0, "blocks"}},
      // Qt's containers settle their capacity over a long run, by a few hundred bytes either
      // way; a leak of one byte per Read would add some 6,000 blocks and 140 KiB.
      {kHeapBytes, {nullptr, 0, 4096, "bytes"}},
  };
  return table;
}

// Prints what the console reporter prints, and keeps each benchmark's median (or its only run).
[[gnu::format(printf, 1, 2)]] std::string format(const char* pattern, ...) {
  char text[160];
  std::va_list arguments;
  va_start(arguments, pattern);
  std::vsnprintf(text, sizeof text, pattern, arguments);
  va_end(arguments);
  return text;
}

class TableReporter final : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const std::string name = run.run_name.function_name;
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      if (name.rfind("memory", 0) == 0) {
        if (run.counters.count("heap_blocks_growth") == 0) continue;
        figures_[kHeapBlocks] = run.counters.at("heap_blocks_growth").value;
        figures_[kHeapBytes] = run.counters.at("heap_bytes_growth").value;
        heap_blocks_1k_ = run.counters.at("heap_blocks_1k").value;
        heap_bytes_1k_ = run.counters.at("heap_bytes_1k").value;
        rss_ = run.counters.at("rss_MiB").value;
        continue;
      }
      // Real time per iteration, in microseconds.
      figures_[name] =
          run.GetAdjustedRealTime() * 1e6 / benchmark::GetTimeUnitMultiplier(run.time_unit);
    }
  }

  int print_table() const {
    int misses = 0;
    std::printf(
        "\n| measurement | median | in floors | target | absolute bound | |\n"
        "|---|---:|---:|---|---:|---|\n");
    for (const auto& [name, figure] : figures_) {
      const auto found = targets().find(name);
      if (found == targets().end()) continue;
      const Target& target = found->second;
      const int decimals = std::string(target.unit) == "us" ? 3 : 0;
      std::string ratio = "", limit = "(for comparison)", outer = "";
      bool ok = true;
      if (target.floor) {
        const auto floor = figures_.find(target.floor);
        const double floors = floor == figures_.end() ? 0 : figure / floor->second;
        ok = floor != figures_.end() && floors <= target.ratio;
        ratio = floor == figures_.end() ? "(no floor)" : format("%.2f", floors);
        limit = format("<= %g x %s", target.ratio, target.floor);
      } else if (target.outer >= 0) {
        limit = "";
      }
      if (target.outer >= 0) {
        ok = ok && figure <= target.outer;
        outer = format("<= %g %s", target.outer, target.unit);
      }
      const bool judged = target.floor || target.outer >= 0;
      misses += judged && !ok;
      std::printf("| %s | %.*f %s | %s | %s | %s | %s |\n", name.c_str(), decimals, figure,
                  target.unit, ratio.c_str(), limit.c_str(), outer.c_str(),
                  judged ? (ok ? "ok" : "MISS") : "");
    }
    if (rss_ > 0) {
      std::printf(
          "\nlive heap after 1,000 actions: %.0f blocks, %.0f bytes; resident size after 100,000: "
          "%.1f MiB\n",
          heap_blocks_1k_, heap_bytes_1k_, rss_);
    }
    return misses;
  }

 private:
  std::map<std::string, double> figures_;
  double heap_blocks_1k_ = 0, heap_bytes_1k_ = 0, rss_ = 0;
};

QScrollBar* write_cell(Panel& p) {
  return p.cell(5);
}
QScrollBar* ack_cell(Panel& p) {
  return p.cell(9);
}
QScrollBar* read_cell(Panel& p) {
  return p.cell(30);
}
QScrollBar* slider(Panel& p) {
  return p.slider();
}

void register_all() {
  using benchmark::RegisterBenchmark;
  RegisterBenchmark("bus: write transaction", write_transaction);
  RegisterBenchmark(kSimulatedWrite, simulated_write);
  RegisterBenchmark("bus: read-back bus work (write + read)", read_back_bus_work);
  RegisterBenchmark("bus: write frame through the i2c back end", i2c_frame);
  RegisterBenchmark("bus: batched write transaction through the ftdi back end", ftdi_transaction);
  RegisterBenchmark(kBare59, bare_calls)->Args({59, 0});
  RegisterBenchmark(kBare107, bare_calls)->Args({99, 8});
  RegisterBenchmark(kRepaint, full_repaint);
  RegisterBenchmark(kIdleClick, idle_click);
  RegisterBenchmark("action: write cell click", scroll_bar_clicks, write_cell, false);
  // It falls back to 0 every time, so every click is a change.
  RegisterBenchmark("action: acknowledge cell click", scroll_bar_clicks, ack_cell, true);
  RegisterBenchmark("action: read cell click", scroll_bar_clicks, read_cell, false);
  RegisterBenchmark("action: slider step (arrow click)", scroll_bar_clicks, slider, false);
  RegisterBenchmark("action: slider drag 0 to 255", slider_drag);
  RegisterBenchmark("monitor: slider step with the monitor open", monitor_slider_step);
  RegisterBenchmark("monitor: drawing a Read's 107 accesses whole", monitor_draw_read);
  RegisterBenchmark("action: Zero Scale after Full Scale", preset, "cmdZS", "cmdFS");
  RegisterBenchmark("action: Mid Scale after Full Scale", preset, "cmdMS", "cmdFS");
  RegisterBenchmark("action: Full Scale after Zero Scale", preset, "cmdFS", "cmdZS");
  RegisterBenchmark("action: Run", button, "cmdRun");
  RegisterBenchmark("action: Read", button, "cmdRead");
  RegisterBenchmark(kBareRoundTrip, bare_round_trip);
  RegisterBenchmark("meter: a reading through the tool, TCP on 127.0.0.1", meter_reading);
  RegisterBenchmark(kBareSweep, writes_and_bare_readings);
  RegisterBenchmark("characterise: a 256-code sweep through the tool, settle 0",
                    characterise_sweep);
  RegisterBenchmark(kIdlePaint, update_to_paint, false);
  RegisterBenchmark("worker: update to paint, Full Scale running at 20 ms a phase", update_to_paint,
                    true);
  RegisterBenchmark("worker: Exit to the end of the work, a frame running at 20 ms a phase",
                    exit_while_a_frame_runs)
      ->Iterations(5)
      ->Unit(benchmark::kMicrosecond);
  RegisterBenchmark("memory: 1,000 then 100,000 random actions", memory)
      ->Iterations(1)
      ->Repetitions(1);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setStyle(new vx::panel::PanelStyle);

  register_all();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  TableReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return reporter.print_table() == 0 ? 0 : 1;
}
