#include "port/trace.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <utility>

#include <strings.h>

#include "frame/line_protocol.h"
#include "port/port.h"

namespace vx::port {

namespace {

bool ends_with_vcd(const std::string& path) {
  constexpr std::size_t kLength = 4;
  return path.size() >= kLength && ::strcasecmp(path.c_str() + path.size() - kLength, ".vcd") == 0;
}

class TextTrace final : public TraceRecorder {
 public:
  TextTrace(std::FILE* file, std::string path) : TraceRecorder(file, std::move(path)) {}

  void record_write(std::int16_t address, std::int16_t value, std::optional<bool>) override {
    print("W %X %X\n", static_cast<unsigned>(static_cast<std::uint16_t>(address)),
          static_cast<unsigned>(static_cast<std::uint16_t>(value)));
  }
  void record_read(std::int16_t address, std::int32_t value, std::optional<bool>) override {
    print("R %X %X\n", static_cast<unsigned>(static_cast<std::uint16_t>(address)),
          static_cast<unsigned>(static_cast<std::uint32_t>(value)));
  }
};

// Single-bit wires only: common logic-analyser tools read no vectors. Each access is one
// microsecond after the previous one; the lines start idle (pulled high).
class VcdTrace final : public TraceRecorder {
 public:
  VcdTrace(std::FILE* file, std::string path) : TraceRecorder(file, std::move(path)) {
    print(
        "$comment VX3071 bench panel: one port access per microsecond $end\n"
        "$timescale 1 us $end\n"
        "$scope module vx3071 $end\n"
        "$var wire 1 ! SCL $end\n"
        "$var wire 1 \" SDA $end\n"
        "$var wire 1 # SDA_OUT $end\n"
        "$upscope $end\n"
        "$enddefinitions $end\n"
        "#0\n"
        "$dumpvars\n1!\n1\"\n1#\n$end\n");
  }

  void record_write(std::int16_t, std::int16_t value, std::optional<bool> bus_sda) override {
    const bool scl = frame::scl_of(value);
    const bool sda_out = frame::sda_drive_of(value);
    // Without the back end's view, the bus shows what the panel drives.
    step(scl, bus_sda.value_or(sda_out), sda_out);
  }

  void record_read(std::int16_t, std::int32_t value, std::optional<bool> bus_sda) override {
    step(scl_, bus_sda.value_or(frame::sda_of_status(value)), sda_out_);
  }

 private:
  // A reader takes the last change as lasting only up to the last timestamp in the file, so one
  // more timestamp, that of the next access, makes the closing STOP readable. The next access's
  // changes then follow it.
  void mark_end() override {
    if (marked_ != time_ + 1) print("#%llu\n", time_ + 1);
    marked_ = time_ + 1;
  }

  void step(bool scl, bool sda, bool sda_out) {
    ++time_;
    if (scl == scl_ && sda == sda_ && sda_out == sda_out_) return;
    if (marked_ != time_) print("#%llu\n", time_);
    marked_ = time_;
    if (scl != scl_) print("%d!\n", scl ? 1 : 0);
    if (sda != sda_) print("%d\"\n", sda ? 1 : 0);
    if (sda_out != sda_out_) print("%d#\n", sda_out ? 1 : 0);
    scl_ = scl;
    sda_ = sda;
    sda_out_ = sda_out;
  }

  unsigned long long time_ = 0;
  unsigned long long marked_ = 0;  // the last timestamp written
  bool scl_ = true;
  bool sda_ = true;
  bool sda_out_ = true;
};

}  // namespace

std::unique_ptr<TraceRecorder> TraceRecorder::create(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (!file) {
    throw TraceError("cannot write the trace file " + path + ": " + std::strerror(errno) +
                     " (check VX3071_TRACE or --trace)");
  }
  if (ends_with_vcd(path)) return std::make_unique<VcdTrace>(file, path);
  return std::make_unique<TextTrace>(file, path);
}

TraceRecorder::TraceRecorder(std::FILE* file, std::string path)
    : file_(file), path_(std::move(path)) {}

TraceRecorder::~TraceRecorder() {
  if (file_) std::fclose(file_);
}

void TraceRecorder::print(const char* format, ...) {
  if (!writing()) return;
  std::va_list arguments;
  va_start(arguments, format);
  const int written = std::vfprintf(file_, format, arguments);
  const int error = errno;
  va_end(arguments);
  if (written < 0) fail(error, "writing");
}

void TraceRecorder::flush() {
  if (!writing()) return;
  mark_end();
  if (writing() && std::fflush(file_) != 0) fail(errno, "writing");
}

void TraceRecorder::close() {
  flush();
  if (!file_) return;
  const bool was_good = !failed_;
  const int result = std::fclose(file_);
  const int error = errno;
  file_ = nullptr;
  if (result != 0 && was_good) fail(error, "closing");
}

std::optional<std::string> TraceRecorder::take_error() {
  return std::exchange(error_, std::nullopt);
}

void TraceRecorder::fail(int error, const char* doing) {
  failed_ = true;
  error_ = std::string(doing) + " the trace file " + path_ + " failed: " + std::strerror(error) +
           "; the trace stops here, the port goes on";
}

}  // namespace vx::port
