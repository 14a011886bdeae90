// `import vx3071`: the device from Python, through the libraries vx3071 is built from, so that a
// script makes exactly the port accesses the command line makes for the same commands.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "backends/backends.h"
#include "backends/ports.h"
#include "bus/bring_up.h"
#include "bus/line_driver.h"
#include "bus/read_back.h"
#include "bus/write_transaction.h"
#include "cli/cli.h"
#include "frame/code_conversions.h"

namespace py = pybind11;

namespace vx::python {

namespace {

py::object error_type, port_error_type, verify_error_type, trace_error_type;

[[noreturn]] void raise_verify(int wrote, int read) {
  py::object error = verify_error_type("verify failed: wrote " + std::to_string(wrote) +
                                       ", read back " + std::to_string(read));
  error.attr("wrote") = wrote;
  error.attr("read") = read;
  PyErr_SetObject(verify_error_type.ptr(), error.ptr());
  throw py::error_already_set();
}

// One device on one port, used from one thread at a time. The port opens at the first call and
// after a port error the next call opens it again, with a bus clear first, as in the programs.
class Device {
 public:
  explicit Device(const backends::Settings& settings)
      : access_(backends::make_port(settings)), driver_(*access_) {}

  void write(long code, bool verify) {
    if (code < 0 || code > 255) cli::out_of_range(std::to_string(code), "CODE", 0, 255);
    const int checked = static_cast<int>(code);
    int back = checked;
    command([&] {
      bus::Read_Write_Bits_to_Parallel_Port(driver_, frame::fixed_address_frame_word(checked));
      if (verify) back = bus::read_transaction(driver_, bus::standard_read_frame());
    });
    if (back != checked) raise_verify(checked, back);
  }

  void frame(const std::string& bits) {
    std::string forced;
    const std::uint32_t word = cli::frame_word(bits, forced);
    command([&] { bus::Read_Write_Bits_to_Parallel_Port(driver_, word); });
  }

  int read() {
    int value = 0;
    command([&] { value = bus::read_transaction(driver_, bus::standard_read_frame()); });
    return value;
  }

  // One code of a sweep: written, then the dwell; the trace is completed where the command line
  // completes it, after each code when it dwells and at the end of the sweep.
  void sweep_step(int code, long dwell_ms, bool last) {
    access();
    {
      py::gil_scoped_release unlocked;
      bus::Read_Write_Bits_to_Parallel_Port(driver_, frame::fixed_address_frame_word(code));
      if (dwell_ms > 0) {
        access_->flush();
        std::this_thread::sleep_for(std::chrono::milliseconds(dwell_ms));
      }
      if (last) access_->flush();
    }
    raise_trace_error();
  }

  std::vector<bus::CheckStep> check(bool thorough) {
    bus::CheckReport report;
    command([&] { report = bus::check(*access_, driver_, thorough); });
    return report.steps;
  }

  std::vector<int> scan() {
    bus::ScanResult scanned;
    command([&] { scanned = bus::scan(*access_, driver_); });
    if (!scanned.skipped.empty())
      throw port::PortError("cannot ask who is there: " + scanned.skipped);
    return scanned.found;
  }

  void close() {
    if (!access_) return;
    access_->close_trace();
    const auto error = access_->take_trace_error();
    access_.reset();
    if (error) throw_trace(*error);
  }

 private:
  port::PortAccess& access() {
    if (!access_) {
      PyErr_SetString(error_type.ptr(), "the device is closed: open another with vx3071.open()");
      throw py::error_already_set();
    }
    return *access_;
  }

  // A command as the command line runs one: its port work with the GIL released, then the trace
  // completed; a trace error is raised after the work, which went on.
  template <class Work>
  void command(Work&& work) {
    access();
    {
      py::gil_scoped_release unlocked;
      try {
        work();
      } catch (...) {
        access_->flush();
        throw;
      }
      access_->flush();
    }
    raise_trace_error();
  }

  void raise_trace_error() {
    if (auto error = access_->take_trace_error()) throw_trace(*error);
  }
  [[noreturn]] static void throw_trace(const std::string& message) {
    PyErr_SetString(trace_error_type.ptr(), message.c_str());
    throw py::error_already_set();
  }

  std::unique_ptr<port::PortAccess> access_;
  bus::LineDriver driver_;
};

// Writes each code of a sweep as it is asked for, and gives it after the write and the dwell.
class Sweep {
 public:
  Sweep(Device& device, long from, long to, long step, long dwell_ms)
      : device_(device),
        from_(static_cast<int>(cli::in_range(from, "FROM", 0, 255))),
        to_(static_cast<int>(cli::in_range(to, "TO", 0, 255))),
        step_(static_cast<int>(cli::in_range(step, "STEP", 1, 255))),
        dwell_ms_(cli::in_range(dwell_ms, "MS", 0, 3'600'000)),
        count_(std::abs(to_ - from_) / step_ + 1) {}

  int next() {
    if (done_ == count_) throw py::stop_iteration();
    const int code = from_ + (to_ >= from_ ? 1 : -1) * done_ * step_;
    ++done_;
    device_.sweep_step(code, dwell_ms_, done_ == count_);
    return code;
  }

 private:
  Device& device_;
  int from_, to_, step_;
  long dwell_ms_;
  int count_, done_ = 0;
};

std::string result_name(bus::CheckStep::Result result) {
  switch (result) {
    case bus::CheckStep::Result::ok:
      return "ok";
    case bus::CheckStep::Result::fail:
      return "FAIL";
    case bus::CheckStep::Result::skip:
      return "skip";
  }
  return "";
}

}  // namespace

}  // namespace vx::python

PYBIND11_MODULE(vx3071, m) {
  using namespace vx;
  using python::Device;
  m.doc() =
      "The VX3071 on its two-wire bus, from Python: the frames of the bench panel and of the "
      "vx3071 command, through the same libraries and the same port accesses.";

  python::error_type = py::exception<void>(m, "Error", PyExc_Exception);
  python::port_error_type = py::exception<void>(m, "PortError", python::error_type.ptr());
  python::verify_error_type = py::exception<void>(m, "VerifyError", python::error_type.ptr());
  python::trace_error_type = py::exception<void>(m, "TraceError", python::error_type.ptr());
  python::error_type.attr("__doc__") = "Every error of this module.";
  python::port_error_type.attr("__doc__") =
      "The port could not be used; the message is the one the panel shows.";
  python::verify_error_type.attr("__doc__") =
      "A read-back differed from what was written; `wrote` and `read` hold both.";
  python::trace_error_type.attr("__doc__") =
      "The trace file could not be written; the port work went on.";
  py::register_exception_translator([](std::exception_ptr thrown) {
    try {
      if (thrown) std::rethrow_exception(thrown);
    } catch (const cli::UsageError& error) {
      PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const port::PortError& error) {
      PyErr_SetString(python::port_error_type.ptr(), error.what());
    }
  });

  py::class_<bus::CheckStep>(m, "CheckStep", "One step of a bring-up check.")
      .def_readonly("name", &bus::CheckStep::name, "port, lines, presence, read-back or timing")
      .def_property_readonly(
          "result", [](const bus::CheckStep& s) { return python::result_name(s.result); },
          "ok, FAIL or skip")
      .def_readonly("text", &bus::CheckStep::text, "what was seen")
      .def_readonly("fix", &bus::CheckStep::fix, "for a failure, what to do; else empty")
      .def("__repr__", [](const bus::CheckStep& s) {
        return "<CheckStep " + s.name + " " + python::result_name(s.result) + ": " + s.text + ">";
      });

  py::class_<backends::OfferedPort>(m, "Port",
                                    "A port this machine offers, as vx3071 ports lists it.")
      .def_readonly("port", &backends::OfferedPort::choice, "the value that selects it")
      .def_readonly("kind", &backends::OfferedPort::kind, "parport, i2c, gpio or ftdi")
      .def_readonly("description", &backends::OfferedPort::what)
      .def_readonly("device", &backends::OfferedPort::device, "its node under /dev")
      .def_readonly("usable", &backends::OfferedPort::usable, "this user may open it")
      .def_readonly("fix", &backends::OfferedPort::fix, "what to do when not usable")
      .def("__repr__", [](const backends::OfferedPort& p) { return "<Port " + p.choice + ">"; });

  py::class_<python::Sweep>(m, "Sweep", "The codes of a sweep, each written as it is asked for.")
      .def("__iter__", [](python::Sweep& s) -> python::Sweep& { return s; })
      .def("__next__", &python::Sweep::next);

  py::class_<Device>(m, "Device",
                     "The VX3071 on one port. Use it from one thread at a time; the GIL is "
                     "released while the port works, so other threads run meanwhile.")
      .def("write", &Device::write, py::arg("code"), py::arg("verify") = false,
           "Sends the slider's frame for code (0..255); with verify, reads the setting back and "
           "raises VerifyError when it differs.")
      .def(
          "zero", [](Device& d) { d.write(0, false); }, "Writes 0.")
      .def(
          "mid", [](Device& d) { d.write(128, false); }, "Writes 128.")
      .def(
          "full", [](Device& d) { d.write(255, false); }, "Writes 255.")
      .def("frame", &Device::frame, py::arg("bits"),
           "Sends 27 characters of 0 and 1, bit 26 first; the acknowledge slots go out as 0.")
      .def("read", &Device::read, "Reads the device's setting, 0..255.")
      .def(
          "sweep",
          [](Device& d, long from, long to, long step, long dwell_ms) {
            return python::Sweep(d, from, to, step, dwell_ms);
          },
          py::arg("start"), py::arg("stop"), py::arg("step") = 1, py::arg("dwell_ms") = 0,
          py::keep_alive<0, 1>(),
          "Writes every step-th code from start to stop (either way), waiting dwell_ms after each, "
          "and yields each code once it is written.")
      .def("check", &Device::check, py::arg("thorough") = false,
           "The steps of vx3071 check; thorough also writes 0x55 and 0xAA, then restores the "
           "setting found.")
      .def("scan", &Device::scan,
           "The 7-bit addresses from 0x08 to 0x77 that acknowledge, asked as i2cdetect asks; "
           "PortError on an I2C adapter that can ask no address.")
      .def("close", &Device::close, "Releases the port and completes the trace.")
      .def("__enter__", [](Device& d) -> Device& { return d; })
      .def("__exit__", [](Device& d, py::args) { d.close(); });

  m.def(
      "open",
      [](std::optional<std::string> port, std::optional<std::string> trace,
         std::optional<long> min_phase_us) {
        backends::Settings settings = backends::settings_from_environment();
        if (port) settings.port = *port;
        if (trace) settings.trace = *trace;
        if (min_phase_us) settings.min_phase_us = std::to_string(*min_phase_us);
        return std::make_unique<Device>(settings);
      },
      py::arg("port") = py::none(), py::arg("trace") = py::none(),
      py::arg("min_phase_us") = py::none(),
      "A device on the port named as VX3071_PORT names one; trace and min_phase_us as "
      "VX3071_TRACE and VX3071_MIN_PHASE_US. None takes the environment's value, or its default. "
      "Nothing is opened before the first call.");
  m.def("ports", &backends::offered_ports, "The ports this machine offers; opens none.");
}
