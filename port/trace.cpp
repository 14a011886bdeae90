#include "port/trace.h"

#include <cerrno>
#include <cstring>

#include "port/port.h"

namespace vx::port {

namespace {

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class TextTrace final : public TraceRecorder {
 public:
  TextTrace(std::FILE* file, std::string path) : TraceRecorder(file, std::move(path)) {}

  void record_write(std::int16_t address, std::int16_t value, std::optional<bool>) override {
    std::fprintf(file_, "W %X %X\n", static_cast<unsigned>(static_cast<std::uint16_t>(address)),
                 static_cast<unsigned>(static_cast<std::uint16_t>(value)));
  }
  void record_read(std::int16_t address, std::int32_t value, std::optional<bool>) override {
    std::fprintf(file_, "R %X %X\n", static_cast<unsigned>(static_cast<std::uint16_t>(address)),
                 static_cast<unsigned>(static_cast<std::uint32_t>(value)));
  }
};

// Single-bit wires only: common logic-analyser tools read no vectors. Each access is one
// microsecond after the previous one; the lines start idle (pulled high).
class VcdTrace final : public TraceRecorder {
 public:
  VcdTrace(std::FILE* file, std::string path) : TraceRecorder(file, std::move(path)) {
    std::fputs(
        "$comment VX3071 bench panel: one port access per microsecond $end\n"
        "$timescale 1 us $end\n"
        "$scope module vx3071 $end\n"
        "$var wire 1 ! SCL $end\n"
        "$var wire 1 \" SDA $end\n"
        "$var wire 1 # SDA_OUT $end\n"
        "$upscope $end\n"
        "$enddefinitions $end\n"
        "#0\n"
        "$dumpvars\n1!\n1\"\n1#\n$end\n",
        file_);
  }

  void record_write(std::int16_t, std::int16_t value, std::optional<bool> bus_sda) override {
    const bool scl = (value & 0x02) != 0;
    const bool sda_out = (value & 0x01) != 0;
    // Without the back end's view, the bus shows what the panel drives.
    step(scl, bus_sda.value_or(sda_out), sda_out);
  }

  void record_read(std::int16_t, std::int32_t value, std::optional<bool> bus_sda) override {
    step(scl_, bus_sda.value_or((value & 0x08) != 0), sda_out_);
  }

 private:
  // A reader takes the last change as lasting only up to the last timestamp in the file, so one
  // more timestamp, that of the next access, makes the closing STOP readable. The next access's
  // changes then follow it.
  void mark_end() override {
    if (marked_ != time_ + 1) std::fprintf(file_, "#%llu\n", time_ + 1);
    marked_ = time_ + 1;
  }

  void step(bool scl, bool sda, bool sda_out) {
    ++time_;
    if (scl == scl_ && sda == sda_ && sda_out == sda_out_) return;
    if (marked_ != time_) std::fprintf(file_, "#%llu\n", time_);
    marked_ = time_;
    if (scl != scl_) std::fprintf(file_, "%d!\n", scl ? 1 : 0);
    if (sda != sda_) std::fprintf(file_, "%d\"\n", sda ? 1 : 0);
    if (sda_out != sda_out_) std::fprintf(file_, "%d#\n", sda_out ? 1 : 0);
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
    throw PortError("cannot write the trace file " + path + ": " + std::strerror(errno) +
                    " (check VX3071_TRACE)");
  }
  if (ends_with(path, ".vcd")) return std::make_unique<VcdTrace>(file, path);
  return std::make_unique<TextTrace>(file, path);
}

TraceRecorder::TraceRecorder(std::FILE* file, std::string path)
    : file_(file), path_(std::move(path)) {}

TraceRecorder::~TraceRecorder() {
  std::fclose(file_);
}

void TraceRecorder::flush() {
  mark_end();
  if (std::fflush(file_) != 0 || std::ferror(file_)) {
    std::clearerr(file_);
    throw PortError("writing the trace file " + path_ + " failed: " + std::strerror(errno));
  }
}

}  // namespace vx::port
