// `import vx3071`: the binding of the device layer, so that a script makes exactly the port
// accesses the command line makes for the same commands. No command logic lives here.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include <unistd.h>

#include "backends/backends.h"
#include "backends/ports.h"
#include "meter/resource.h"
#include "meter/scpi.h"
#include "session/characterise.h"
#include "session/device.h"
#include "session/process.h"

namespace py = pybind11;
using namespace pybind11::literals;

namespace vx::python {

namespace {

// Never destroyed: the process may end with a daemon thread still inside a call, after the
// interpreter has gone.
py::handle error_type, port_error_type, verify_error_type, no_device_error_type, trace_error_type;
py::handle meter_error_type, meter_timeout_type, sweep_interrupted_type;

// The main thread: the only one where Python runs signal handlers.
unsigned long main_thread = 0;

// A signal Python saw while the port worked, as the exception its handler raised
// (KeyboardInterrupt for SIGINT), to be raised once the call has ended between frames.
thread_local std::exception_ptr pending_signal;

// Set, without the GIL, by a signal handler of ours that runs before Python's own for each stop
// signal Python handles; the call then asks Python, between two frames, whether to stop.
std::atomic<bool> signal_seen{false};
struct sigaction chained[NSIG];  // Python's handler, which ours calls after noting the signal

extern "C" void note_signal(int number, siginfo_t* info, void* context) {
  signal_seen.store(true);
  const struct sigaction& next = chained[number];
  if ((next.sa_flags & SA_SIGINFO) != 0) {
    if (next.sa_sigaction) next.sa_sigaction(number, info, context);
  } else if (next.sa_handler != SIG_DFL && next.sa_handler != SIG_IGN && next.sa_handler) {
    next.sa_handler(number);
  }
}

// Puts our handler in front of Python's for each stop signal Python handles now; with the GIL,
// on the main thread. Python puts its own back whenever a script sets a handler, so this looks
// again before a call once 50 ms have passed since it last looked (asking the kernel costs system
// calls a quick write should not pay). A signal left at its default, or ignored, is left so.
void note_signals_before_python() {
  constexpr long long kLookAgainMs = 50;
  static long long looked_ms = -kLookAgainMs;  // under the GIL
  const long long now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count();
  if (now_ms - looked_ms < kLookAgainMs) return;
  looked_ms = now_ms;
  for (const int number : session::kStopSignals) {
    struct sigaction current {};
    if (::sigaction(number, nullptr, &current) != 0) continue;
    const bool siginfo = (current.sa_flags & SA_SIGINFO) != 0;
    if (siginfo && current.sa_sigaction == note_signal) continue;
    if (!siginfo && (current.sa_handler == SIG_DFL || current.sa_handler == SIG_IGN)) continue;
    chained[number] = current;
    struct sigaction ours = current;
    ours.sa_sigaction = note_signal;
    ours.sa_flags = current.sa_flags | SA_SIGINFO;
    ::sigaction(number, &ours, nullptr);
  }
}

// Python ends a thread that takes the GIL back once it has begun to finalise (pthread_exit in
// take_gil), and the unwinding frees pybind11's Python objects without the GIL (a keyword
// argument's dict copy), which aborts. So from the moment Python runs its atexit functions, a
// thread other than the main one never takes the GIL back after a call: it waits there until the
// process ends. Threads already taking it back are let through first. Never destroyed: threads
// may still use them as the process ends.
struct Exiting {
  std::mutex mutex;
  std::condition_variable taken_back;
  bool exiting = false;
  int taking_back = 0;
};
Exiting& exiting = *new Exiting;

[[noreturn]] void wait_for_the_end() {
  for (;;) ::pause();
}

// Registered with atexit at import; runs on the main thread with the GIL.
void on_python_exit() {
  {
    const std::lock_guard lock(exiting.mutex);
    exiting.exiting = true;
  }
  py::gil_scoped_release unlocked;
  std::unique_lock lock(exiting.mutex);
  exiting.taken_back.wait(lock, [] { return exiting.taking_back == 0; });
}

// Runs `work` with the GIL released, and gives what it threw.
template <class Work>
std::exception_ptr without_gil(Work&& work) {
  std::exception_ptr thrown;
  PyThreadState* state = PyEval_SaveThread();
  try {
    work();
  } catch (...) {
    thrown = std::current_exception();
  }
  const bool main = PyThread_get_thread_ident() == main_thread;
  if (!main) {
    std::unique_lock lock(exiting.mutex);
    if (exiting.exiting) {
      lock.unlock();
      wait_for_the_end();
    }
    ++exiting.taking_back;
  }
  PyEval_RestoreThread(state);
  if (!main) {
    const std::lock_guard lock(exiting.mutex);
    --exiting.taking_back;
    exiting.taken_back.notify_all();
  }
  return thrown;
}

// A whole number as Python's index protocol gives it (an int, a numpy integer; not a float nor a
// Decimal, which raise TypeError), from `low` to `high`, else ValueError in vx3071's words.
long long whole(const py::handle& value, const char* what, long long low, long long high) {
  PyObject* index = PyNumber_Index(value.ptr());
  if (!index) throw py::error_already_set();
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(index, &overflow);
  Py_DECREF(index);
  if (overflow != 0) session::out_of_range(py::str(value), what, low, high);
  return session::in_range(number, what, low, high);
}

// Sets Python's error for what the library threw (pybind11's translator for this module).
void set_error(std::exception_ptr thrown) {
  try {
    if (thrown) std::rethrow_exception(thrown);
  } catch (const session::UsageError& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
  } catch (const meter::MeterTimeout& error) {
    PyErr_SetString(meter_timeout_type.ptr(), error.what());
  } catch (const meter::MeterError& error) {
    PyErr_SetString(meter_error_type.ptr(), error.what());
  } catch (const session::NoDevice& error) {
    py::object raised = no_device_error_type(error.what());
    raised.attr("wrote") = error.wrote < 0 ? py::object(py::none()) : py::int_(error.wrote);
    raised.attr("read") = error.read;
    PyErr_SetObject(no_device_error_type.ptr(), raised.ptr());
  } catch (const session::VerifyError& error) {
    py::object raised = verify_error_type(error.what());
    raised.attr("wrote") = error.wrote;
    raised.attr("read") = error.read;
    PyErr_SetObject(verify_error_type.ptr(), raised.ptr());
  } catch (const session::Closed& error) {
    PyErr_SetString(error_type.ptr(), error.what());
  } catch (const meter::Stopped& error) {
    PyErr_SetString(error_type.ptr(), error.what());
  } catch (const port::TraceError& error) {
    PyErr_SetString(trace_error_type.ptr(), error.what());
  } catch (const port::PortError& error) {
    PyErr_SetString(port_error_type.ptr(), error.what());
  }
}

// One device, its calls made with the GIL released, so other threads run while the port works;
// the device itself lets one call at a time through. The lock order of session/device.h holds: no
// call waits for the device's lock with the GIL, and the stop check never waits for the GIL: it
// reads a flag, and only when a signal came does the main thread take the GIL to run Python's
// handlers, with the device's lock released.
class Device {
 public:
  explicit Device(const backends::Settings& settings, bool port_given)
      : device_(std::make_unique<session::Device>(settings, port_given)) {
    device_->set_stop_check(
        [] { return PyThread_get_thread_ident() == main_thread && signal_seen.exchange(false); },
        [] {
          py::gil_scoped_acquire held;
          if (PyErr_CheckSignals() == 0) return false;
          pending_signal = std::make_exception_ptr(py::error_already_set());
          return true;
        });
  }

  template <class Work>
  auto call(Work&& work) {
    using Result = decltype(work());
    std::optional<std::conditional_t<std::is_void_v<Result>, bool, Result>> result;
    if (PyThread_get_thread_ident() == main_thread) note_signals_before_python();
    const std::exception_ptr thrown = without_gil([&] {
      try {
        if constexpr (std::is_void_v<Result>) {
          work();
          result = true;
        } else {
          result = work();
        }
      } catch (const session::Interrupted&) {
      }
    });
    if (thrown) std::rethrow_exception(thrown);
    if (!result) {
      if (pending_signal) std::rethrow_exception(std::exchange(pending_signal, nullptr));
      throw session::Closed("the call was stopped");
    }
    raise_trace_error();
    if constexpr (!std::is_void_v<Result>) return std::move(*result);
  }

  session::Device& operator*() { return *device_; }

  void close() {
    if (const std::exception_ptr thrown = without_gil([&] { device_->close(); })) {
      std::rethrow_exception(thrown);
    }
    raise_trace_error();
  }

  std::string repr() const {
    return "<vx3071.Device port='" + device_->port_name() + "'" +
           (device_->closed() ? " closed>" : ">");
  }

 private:
  // take_trace_error never waits for a call, so it is asked with the GIL held.
  void raise_trace_error() {
    if (auto error = device_->take_trace_error()) {
      PyErr_SetString(trace_error_type.ptr(), error->c_str());
      throw py::error_already_set();
    }
  }

  std::unique_ptr<session::Device> device_;
};

// Writes each code of a sweep as it is asked for, and gives it after the write and the dwell.
class Sweep {
 public:
  Sweep(Device& device, session::SweepPlan plan) : device_(device), plan_(plan) {}

  int next() {
    if (done_ == plan_.count) throw py::stop_iteration();
    const int n = done_++;
    return device_.call([&] { return (*device_).sweep_code(plan_, n); });
  }

 private:
  Device& device_;
  session::SweepPlan plan_;
  int done_ = 0;
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

// A characterisation's readings and figures for Python: sequences of floats, numpy arrays where
// numpy is installed. The codes are in ascending order, each with its mean reading, INL and DNL.
class Characterised {
 public:
  Characterised(session::Characterisation result, const analysis::Options& options)
      : result_(std::move(result)),
        analysed_(session::analyse(result_, options)),
        mode_(options.mode) {
    result_.error = nullptr;  // raised by whoever holds this; not kept beside the readings
    points_ = analysed_.figures ? analysed_.figures->points : session::points_of(result_);
  }

  py::object codes() const {
    py::list list;
    for (const auto& point : points_) list.append(point.code);
    return list;
  }
  py::object readings() const {
    std::vector<double> values;
    for (const auto& point : points_) values.push_back(point.value);
    return floats(values);
  }
  py::object spreads() const {
    // By code, the last measurement of a code standing, as in the analysis.
    std::map<int, double> by_code;
    for (const auto& code : result_.codes) by_code[code.code] = code.spread;
    std::vector<double> values;
    for (const auto& point : points_) values.push_back(by_code[point.code]);
    return floats(values);
  }
  py::object inl() const {
    return figure([](const analysis::Figures& f) { return f.inl; });
  }
  py::object inl_best_fit() const {
    return figure([](const analysis::Figures& f) { return f.inl_best; });
  }
  py::object dnl() const {
    // The lowest code has no step below it.
    return figure([](const analysis::Figures& f) {
      std::vector<double> dnl = f.dnl;
      if (!dnl.empty()) dnl.front() = std::nan("");
      return dnl;
    });
  }

  // The figures by name, or None with no_figures saying why.
  py::object figures() const {
    if (!analysed_.figures) return py::none();
    const analysis::Figures& f = *analysed_.figures;
    const auto extreme = [](const analysis::Extreme& e) { return py::make_tuple(e.value, e.code); };
    const auto optional = [](const std::optional<double>& v) {
      return v ? py::object(py::float_(*v)) : py::object(py::none());
    };
    py::dict d;
    d["lsb"] = f.lsb;
    d["inl_max"] = extreme(f.inl_max);
    d["inl_min"] = extreme(f.inl_min);
    d["inl_best_fit_max"] = extreme(f.inl_best_max);
    d["inl_best_fit_min"] = extreme(f.inl_best_min);
    d["dnl_max"] = extreme(f.dnl_max);
    d["dnl_min"] = extreme(f.dnl_min);
    d["fit_offset"] = f.fit_offset;
    d["fit_slope"] = f.fit_slope;
    d["monotonic"] = f.monotonic();
    d["not_monotonic"] = f.not_monotonic;
    if (mode_ == analysis::Mode::rheostat) {
      d["wiper_resistance"] = optional(f.wiper_resistance);
      d["r_ab"] = optional(f.r_ab);
    } else {
      d["ideal_lsb"] = optional(f.ideal_lsb);
      d["zero_scale_error"] = optional(f.zero_scale_error);
      d["full_scale_error"] = optional(f.full_scale_error);
    }
    return d;
  }

  const session::Characterisation& result() const { return result_; }
  const session::Analysed& analysed() const { return analysed_; }
  std::string csv() const { return session::csv_text(result_); }
  std::string repr() const {
    return "<vx3071.Characterisation " + std::to_string(result_.codes.size()) + " codes" +
           (result_.partial ? ", partial>" : ">");
  }

 private:
  static py::object floats(const std::vector<double>& values) {
    py::list list;
    for (const double v : values) list.append(v);
    // numpy where it is there, never required.
    try {
      return py::module_::import("numpy").attr("asarray")(list, "dtype"_a = "float64");
    } catch (const py::error_already_set& error) {
      if (!error.matches(PyExc_ImportError)) throw;
      return list;
    }
  }
  template <class Take>
  py::object figure(Take&& take) const {
    if (!analysed_.figures) return floats({});
    return floats(take(*analysed_.figures));
  }

  session::Characterisation result_;
  session::Analysed analysed_;
  analysis::Mode mode_;
  std::vector<analysis::Point> points_;
};

// A path as os.fspath takes it (str, bytes, pathlib.Path), as text.
std::string path_text(const py::handle& path) {
  return py::str(py::module_::import("os").attr("fsdecode")(path));
}

constexpr const char* kOpenDoc = R"(Opens the VX3071 on a port, at once, and gives the device.

port: as VX3071_PORT names one: "sim" (the simulated device), "sim:absent" (the simulated bus
  with no device), "parport" or "parport:NAME", "i2c:ADAPTER" (a bus number, an adapter's name,
  or the start of exactly one adapter's name), "gpio:CHIP:SDA,SCL[,SENSE]", "ftdi" or
  "ftdi:[SERIAL][:A|B|C|D]"; vx3071.ports() lists what this machine has.
trace: a file (str, bytes or os.PathLike) that records every port access, as VX3071_TRACE.
min_phase_us: the shortest time between port accesses, 0 to 1000000, as VX3071_MIN_PHASE_US.
None takes the environment's value, or its default.

Raises ValueError for a port that names nothing (an empty one included), a phase out of range
or a NUL in a port or path, and TypeError for a port that is not a str,
before anything is opened; PortError when the port cannot be opened; TraceError when the trace
cannot be started, at the first call (the port works on without it). Use it in a with block, or
close() it.)";

}  // namespace

}  // namespace vx::python

namespace vx::python {
namespace {

// A bench meter, its exchanges made with the GIL released, one at a time (the meter's own lock):
// never waiting for that lock with the GIL held.
class Meter {
 public:
  Meter(const std::string& resource, const std::string& function, const py::object& range,
        double timeout_s, const std::string& serial) {
    if (!(timeout_s > 0 && timeout_s <= 3600)) {
      throw session::UsageError("timeout is from 0 to 3600 seconds, above 0");
    }
    meter::MeterOptions options;
    meter::Resource parsed;
    // Arguments that name nothing are ValueError, before the meter is asked anything.
    try {
      options.function = meter::parse_function(function);
      if (!range.is_none()) options.range = meter::checked_range(py::str(range));
      if (!serial.empty()) options.serial = meter::parse_serial(serial);
      parsed = meter::parse_resource(resource);
    } catch (const meter::MeterError& error) {
      throw session::UsageError(error.what());
    }
    options.timeout = std::chrono::milliseconds(static_cast<long long>(timeout_s * 1000));
    unit_ = options.function == meter::Function::voltage ? "V" : "Ohm";
    if (const auto thrown =
            without_gil([&] { meter_ = std::make_shared<meter::Meter>(parsed, options); })) {
      std::rethrow_exception(thrown);
    }
    // Never waits for the GIL: a flag our signal handler sets (note_signal), on the main thread,
    // where Python runs its handlers.
    meter_->set_stop_check(
        [] { return PyThread_get_thread_ident() == main_thread && signal_seen.load(); });
  }

  // A signal Python handles (Ctrl-C) ends the exchange at once, the link cleared; its handler then
  // runs, and the reading is taken afresh when the handler returns instead of raising.
  double read() {
    const std::shared_ptr<meter::Meter> meter = checked();
    for (;;) {
      double value = 0;
      bool stopped = false;
      const auto thrown = without_gil([&] {
        try {
          value = meter->read().value;
        } catch (const meter::Stopped&) {
          stopped = !meter->closed();
          if (!stopped) throw;
        }
      });
      if (thrown) std::rethrow_exception(thrown);
      if (!stopped) return value;
      signal_seen.store(false);
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
  }

  py::tuple identity() {
    const meter::Identity& id = checked()->identity();
    return py::make_tuple(id.maker, id.model, id.serial, id.firmware);
  }

  const std::string& unit() const { return unit_; }
  void close() {
    if (!meter_) return;
    std::shared_ptr<meter::Meter> closing = std::move(meter_);
    // Another thread's exchange (a read, a sweep's reading) ends at once, and none follows.
    closing->close();
    without_gil([&] { closing.reset(); });
  }
  bool closed() const { return !meter_; }

  // Held by whoever uses it, with the GIL: a close from another thread meanwhile lets it go only
  // once that use has ended.
  std::shared_ptr<meter::Meter> checked() {
    if (!meter_) throw session::Closed("the meter was closed");
    return meter_;
  }

 private:
  std::shared_ptr<meter::Meter> meter_;
  std::string unit_;
};

// Raises the Python error set now, with `partial` as its `partial`; with `message`, that is its
// message instead.
[[noreturn]] void attach_partial(const py::object& partial, const std::string& message = "") {
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  PyErr_NormalizeException(&type, &value, &trace);
  if (value && PyObject_SetAttrString(value, "partial", partial.ptr()) != 0) PyErr_Clear();
  if (value && !message.empty()) {
    const py::tuple args = py::make_tuple(message);
    if (PyObject_SetAttrString(value, "args", args.ptr()) != 0) PyErr_Clear();
  }
  PyErr_Restore(type, value, trace);
  throw py::error_already_set();
}

// Raises `error`, what ended a sweep early, as Python knows it, with the readings measured whole
// as its `partial` and `message` as its words.
[[noreturn]] void raise_with_partial(const std::exception_ptr& error, const py::object& partial,
                                     const std::string& message) {
  try {
    set_error(error);
  } catch (py::error_already_set& python_error) {
    python_error.restore();
  } catch (const std::exception& other) {
    PyErr_SetString(PyExc_RuntimeError, other.what());
  }
  if (!PyErr_Occurred()) PyErr_SetString(error_type.ptr(), "the sweep ended early");
  attach_partial(partial, message);
}

py::object characterise(Device& d, Meter& meter, py::handle start, py::handle stop, py::handle step,
                        py::handle settle_ms, py::handle average, const py::object& mode,
                        bool verify, const py::object& v_high, const py::object& v_low,
                        const py::object& progress) {
  const session::CharacterisePlan plan = session::plan_characterise(
      whole(start, "FROM", 0, 255), whole(stop, "TO", 0, 255), whole(step, "STEP", 1, 255),
      whole(settle_ms, "settle_ms", 0, session::kMaxDwellMs),
      whole(average, "average", 1, session::kMaxAverage), verify);
  const std::shared_ptr<meter::Meter> used = meter.checked();
  analysis::Options options;
  if (mode.is_none()) {
    options.mode =
        std::string(used->unit()) == "V" ? analysis::Mode::divider : analysis::Mode::rheostat;
  } else {
    const std::string name = py::str(mode);
    if (name != "rheostat" && name != "divider") {
      throw session::UsageError("mode is \"rheostat\" or \"divider\", not \"" + name + "\"");
    }
    options.mode = name == "rheostat" ? analysis::Mode::rheostat : analysis::Mode::divider;
  }
  if (!v_high.is_none()) options.v_high = v_high.cast<double>();
  if (!v_low.is_none()) options.v_low = v_low.cast<double>();
  options = session::checked_analysis(options, "v_high", "v_low");
  session::Progress told;
  if (!progress.is_none()) {
    // With the device's lock let go (session/device.h), so taking the GIL here cannot deadlock.
    told = [&progress](const session::Characterisation& so_far) {
      py::gil_scoped_acquire held;
      const session::CodeReading& last = so_far.codes.back();
      progress(last.code, last.mean, so_far.codes.size(), so_far.plan.codes.count);
    };
  }
  std::optional<session::Characterisation> result;
  d.call([&] { result = (*d).characterise(plan, *used, told); });
  const std::exception_ptr error = result->error;
  // What the progress callback raised, said as Python says it ("KeyboardInterrupt", "ValueError:
  // bad"), not with pybind11's traceback text.
  try {
    if (error) std::rethrow_exception(error);
  } catch (py::error_already_set& raised) {
    const std::string& why = result->why;
    const std::size_t at = why.rfind("at code ", 0) == 0 ? why.find(": ") : std::string::npos;
    std::string said = py::str(raised.type().attr("__name__"));
    if (const std::string words = py::str(raised.value()); !words.empty()) said += ": " + words;
    result->why =
        (at == std::string::npos ? "" : why.substr(0, at + 2)) + said + " in the progress callback";
  } catch (...) {
  }
  const std::size_t measured = result->codes.size();
  const int planned = result->plan.codes.count;
  const std::string why = result->why;
  py::object partial = py::cast(Characterised(std::move(*result), options));
  if (!error) return partial;
  // What Python raised: the signal handler's exception (a stop between frames), or the progress
  // callback's own, Ctrl-C in it included.
  std::exception_ptr raised_in_python;
  try {
    std::rethrow_exception(error);
  } catch (const session::Interrupted&) {
    raised_in_python = std::exchange(pending_signal, nullptr);
  } catch (const meter::Stopped&) {
    // A signal in a meter exchange: Python's handler says what it raises.
    if (!used->closed()) {
      signal_seen.store(false);
      if (PyErr_CheckSignals() != 0)
        raised_in_python = std::make_exception_ptr(py::error_already_set());
    }
  } catch (const py::error_already_set&) {
    raised_in_python = error;
  } catch (...) {
  }
  if (raised_in_python) {
    try {
      std::rethrow_exception(raised_in_python);
    } catch (py::error_already_set& raised) {
      // Ctrl-C: a KeyboardInterrupt that carries what was measured. Another exception is raised
      // as it is, with the same.
      if (raised.matches(PyExc_KeyboardInterrupt)) {
        PyErr_SetString(sweep_interrupted_type.ptr(),
                        (why + "; " + std::to_string(measured) + " of " + std::to_string(planned) +
                         " codes measured, in .partial")
                            .c_str());
        attach_partial(partial);
      }
      raised.restore();
      attach_partial(partial);
    }
  }
  // Said with the code it ended at.
  raise_with_partial(error, partial, why);
}

constexpr const char* kCharacteriseDoc = R"(Measures every step-th code from start to stop with
meter (a vx3071.Meter): writes it (with verify, reads it back), waits settle_ms, takes average
fresh readings; then puts back the setting found, and gives a Characterisation: the codes, their
mean readings, INL, DNL and figures.

mode: "rheostat" (ohms: wiper resistance and R_AB) or "divider" (volts: zero- and full-scale
  errors against v_high and v_low, when given); None takes it from the meter's function.
progress: called after each code as progress(code, reading, done, total).
A stop keeps the codes measured whole and puts the setting back: Ctrl-C raises SweepInterrupted
(a KeyboardInterrupt), a failing meter MeterError, a close() from another thread Error; each
carries the Characterisation so far as .partial. A reading that is overload or no number is taken
once more before the sweep ends. The GIL is released while the sweep runs.)";

}  // namespace
}  // namespace vx::python

PYBIND11_MODULE(vx3071, m) {
  using namespace vx;
  using python::Device;
  m.doc() =
      "The VX3071 on its two-wire bus, from Python: the frames of the bench panel and of the "
      "vx3071 command, through the same libraries and the same port accesses.";

  // Before anything can be opened: a trace must never become standard output or error.
  session::hold_standard_descriptors();
  python::main_thread =
      py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
  py::module_::import("atexit").attr("register")(py::cpp_function(&python::on_python_exit));

  python::error_type = py::exception<void>(m, "Error", PyExc_Exception).release();
  python::port_error_type = py::exception<void>(m, "PortError", python::error_type.ptr()).release();
  python::verify_error_type =
      py::exception<void>(m, "VerifyError", python::error_type.ptr()).release();
  python::no_device_error_type =
      py::exception<void>(m, "NoDeviceError", python::verify_error_type.ptr()).release();
  python::trace_error_type =
      py::exception<void>(m, "TraceError", python::error_type.ptr()).release();
  python::meter_error_type =
      py::exception<void>(m, "MeterError", python::error_type.ptr()).release();
  {
    // A time-out is both: a meter's failure, and what Python calls a time-out.
    py::tuple bases = py::make_tuple(python::meter_error_type, py::handle(PyExc_TimeoutError));
    python::meter_timeout_type = PyErr_NewException("vx3071.MeterTimeout", bases.ptr(), nullptr);
    m.attr("MeterTimeout") = python::meter_timeout_type;
  }
  python::sweep_interrupted_type =
      PyErr_NewException("vx3071.SweepInterrupted", PyExc_KeyboardInterrupt, nullptr);
  m.attr("SweepInterrupted") = python::sweep_interrupted_type;
  python::sweep_interrupted_type.attr("__doc__") =
      "Ctrl-C stopped a characterisation: the setting was put back, and the codes measured whole "
      "are in .partial.";
  python::meter_error_type.attr("__doc__") =
      "A meter could not be reached, did not answer, or answered wrongly; the message says "
      "which, with what the meter said.";
  python::meter_timeout_type.attr("__doc__") =
      "A meter did not answer within its time limit; also a TimeoutError.";
  python::error_type.attr("__doc__") =
      "Every error of this module; also a closed device's, and one used in a forked process.";
  python::port_error_type.attr("__doc__") =
      "The port could not be used; the message is the one the panel shows.";
  python::verify_error_type.attr("__doc__") =
      "A read-back differed from what was written, or nothing acknowledged it; `wrote` and "
      "`read` hold both values.";
  python::no_device_error_type.attr("__doc__") =
      "255 was read where a missing device reads so, and nothing acknowledges the VX3071's "
      "address: nothing answers there. `wrote` is None after a read.";
  python::trace_error_type.attr("__doc__") =
      "The trace file could not be written; the port work went on.";
  py::register_exception_translator(&python::set_error);

  py::class_<python::Characterised>(
      m, "Characterisation",
      "A characterisation's readings and figures, by code in ascending order: sequences of "
      "floats, numpy arrays where numpy is installed.")
      .def_property_readonly("codes", &python::Characterised::codes)
      .def_property_readonly("readings", &python::Characterised::readings,
                             "the mean reading at each code, in unit")
      .def_property_readonly("spreads", &python::Characterised::spreads,
                             "the readings' standard deviation at each code (0 for one)")
      .def_property_readonly("inl", &python::Characterised::inl, "end-point INL, in LSB")
      .def_property_readonly("inl_best_fit", &python::Characterised::inl_best_fit,
                             "INL against the least-squares line, in LSB")
      .def_property_readonly("dnl", &python::Characterised::dnl,
                             "DNL of each step, in LSB; nan at the lowest code")
      .def_property_readonly("figures", &python::Characterised::figures,
                             "lsb, the extremes as (value, code), monotonic, not_monotonic, and "
                             "the mode's figures; None without two codes that differ")
      .def_property_readonly(
          "no_figures", [](const python::Characterised& c) { return c.analysed().why_none; },
          "why there are no figures, or empty")
      .def_property_readonly("monotonic",
                             [](const python::Characterised& c) -> py::object {
                               if (!c.analysed().figures) return py::none();
                               return py::bool_(c.analysed().figures->monotonic());
                             })
      .def_property_readonly("unit", [](const python::Characterised& c) { return c.result().unit; })
      .def_property_readonly("partial",
                             [](const python::Characterised& c) { return c.result().partial; })
      .def_property_readonly(
          "why", [](const python::Characterised& c) { return c.result().why; },
          "what ended it early, or empty")
      .def_property_readonly(
          "setting_before",
          [](const python::Characterised& c) { return c.result().setting_before; })
      .def_property_readonly("restored",
                             [](const python::Characterised& c) { return c.result().restored; })
      .def_property_readonly("meter",
                             [](const python::Characterised& c) {
                               const meter::Identity& id = c.result().meter;
                               return py::make_tuple(id.maker, id.model, id.serial, id.firmware);
                             })
      .def("csv", &python::Characterised::csv,
           "The readings as CSV, as vx3071 characterise --csv writes them.")
      .def("__repr__", &python::Characterised::repr);

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
      .def_readonly("form", &backends::OfferedPort::form,
                    "i2c: how frames go out on it (plain I2C, or SMBus commands); else empty")
      .def("__repr__", [](const backends::OfferedPort& p) { return "<Port " + p.choice + ">"; });

  py::class_<python::Sweep>(m, "Sweep", "The codes of a sweep, each written as it is asked for.")
      .def("__iter__", [](python::Sweep& s) -> python::Sweep& { return s; })
      .def("__next__", &python::Sweep::next);

  py::class_<Device>(m, "Device",
                     "The VX3071 on one port. Calls from several threads run one at a time, each "
                     "whole; the GIL is released while the port works, so other threads run "
                     "meanwhile. A signal Python handles (Ctrl-C) stops a call of the main thread "
                     "between two frames (a dwell within 50 ms) and its handler runs: "
                     "KeyboardInterrupt is raised, or the call goes on if the handler returns. "
                     "close() from another thread waits for the frame in progress. A process "
                     "forked from the one that opened the device gets Error on use.")
      .def(
          "write",
          [](Device& d, py::handle code, bool verify) {
            const long long checked = python::whole(code, "CODE", 0, 255);
            d.call([&] { (*d).write(checked, verify); });
          },
          py::arg("code"), py::arg("verify") = false,
          "Sends the slider's frame for code (0..255); with verify, reads the setting back and "
          "raises VerifyError when it differs, or when it reads 255 and nothing acknowledges the "
          "VX3071's address.")
      .def(
          "zero", [](Device& d) { d.call([&] { (*d).write(0, false); }); }, "Writes 0.")
      .def(
          "mid", [](Device& d) { d.call([&] { (*d).write(128, false); }); }, "Writes 128.")
      .def(
          "full", [](Device& d) { d.call([&] { (*d).write(255, false); }); }, "Writes 255.")
      .def(
          "frame",
          [](Device& d, const std::string& bits) {
            std::string forced;
            const std::uint32_t word = session::frame_word(bits, forced);
            d.call([&] { (*d).frame(word); });
          },
          py::arg("bits"),
          "Sends 27 characters of 0 and 1, bit 26 first; the acknowledge slots go out as 0.")
      .def(
          "read", [](Device& d) { return d.call([&] { return (*d).read(); }); },
          "Reads the device's setting, 0..255; NoDeviceError for a 255 where nothing "
          "acknowledges the VX3071's address.")
      .def(
          "sweep",
          [](Device& d, py::handle from, py::handle to, py::handle step, py::handle dwell_ms) {
            return python::Sweep(
                d, session::plan_sweep(python::whole(from, "FROM", 0, 255),
                                       python::whole(to, "TO", 0, 255),
                                       python::whole(step, "STEP", 1, 255),
                                       python::whole(dwell_ms, "MS", 0, session::kMaxDwellMs)));
          },
          py::arg("start"), py::arg("stop"), py::arg("step") = 1, py::arg("dwell_ms") = 0,
          py::keep_alive<0, 1>(),
          "Writes every step-th code from start to stop (either way), waiting dwell_ms after each, "
          "and yields each code once it is written.")
      .def("characterise", &python::characterise, py::arg("meter"), py::arg("start") = 0,
           py::arg("stop") = 255, py::arg("step") = 1, py::kw_only(), py::arg("settle_ms") = 10,
           py::arg("average") = 1, py::arg("mode") = py::none(), py::arg("verify") = false,
           py::arg("v_high") = py::none(), py::arg("v_low") = py::none(),
           py::arg("progress") = py::none(), python::kCharacteriseDoc)
      .def(
          "check",
          [](Device& d, bool thorough) {
            return d.call([&] { return (*d).check(thorough).steps; });
          },
          py::arg("thorough") = false,
          "The steps of vx3071 check; thorough also writes 0x55 and 0xAA, then restores the "
          "setting found.")
      .def(
          "scan",
          [](Device& d) {
            const bus::ScanResult scanned = d.call([&] { return (*d).scan(); });
            if (!scanned.skipped.empty()) {
              throw port::PortError("cannot ask who is there: " + scanned.skipped);
            }
            return scanned.found;
          },
          "The 7-bit addresses from 0x08 to 0x77 that acknowledge, asked as i2cdetect asks; "
          "PortError on an I2C adapter that can ask no address.")
      .def("close", &Device::close,
           "Releases the port and completes the trace, once the call another thread makes has "
           "ended its frame; twice is harmless. The device then raises Error on use.")
      .def_property_readonly(
          "port", [](Device& d) { return (*d).port_name(); }, "the port, as it was named")
      .def_property_readonly(
          "closed", [](Device& d) { return (*d).closed(); }, "whether close() has been called")
      .def("__repr__", &Device::repr)
      .def("__enter__", [](Device& d) -> Device& { return d; })
      .def("__exit__", [](Device& d, py::args) { d.close(); });

  m.def(
      "open",
      [](py::object port, py::object trace, py::object min_phase_us) {
        backends::Settings settings = backends::settings_from_environment();
        const bool port_given = !port.is_none();
        if (port_given && !py::isinstance<py::str>(port)) {
          throw py::type_error("port must be a str, such as \"sim\" or \"i2c:1\", not " +
                               std::string(py::str(py::type::handle_of(port).attr("__name__"))));
        }
        if (port_given) settings.port = port.cast<std::string>();
        if (!trace.is_none()) settings.trace = python::path_text(trace);
        if (!min_phase_us.is_none()) {
          settings.min_phase_us = std::to_string(
              python::whole(min_phase_us, "min_phase_us", 0, backends::kMaxMinPhaseUs));
        }
        auto device = std::make_unique<Device>(settings, port_given);
        // A trace that cannot start is raised at the first call, which the script can catch
        // with its device in hand.
        if (const std::exception_ptr thrown = python::without_gil([&] { (**device).open(); })) {
          std::rethrow_exception(thrown);
        }
        return device;
      },
      py::arg("port") = py::none(), py::arg("trace") = py::none(),
      py::arg("min_phase_us") = py::none(), python::kOpenDoc);
  m.def("ports", &backends::offered_ports, "The ports this machine offers; opens none.");
  m.def("meters", &meter::local_meters,
        "The serial ports and USBTMC nodes a meter may be on, as resource strings; asks no "
        "network.");

  py::class_<python::Meter>(
      m, "Meter",
      R"(A bench multimeter by its VISA resource string, opened at once: its identity asked
(*IDN?), its function and range set, each read() a fresh reading (READ?). Safe from several
threads; the GIL is released while the meter works.

resource: "TCPIP::host::5025::SOCKET", "ASRL/dev/ttyUSB0::INSTR", or "sim" (the simulated part:
  this process's, or VX3071_SIM_STATE's).
function: "resistance" (ohms) or "voltage" (volts, DC).
range: ohms or volts, or "AUTO"; None: 10 kOhm or 10 V, never autoranged unless asked.
timeout: seconds each exchange may take.
serial: for a serial meter, "BAUD,FRAME[,lf|crlf]" ("19200,7E1,crlf"); empty: 9600,8N2, the
  34401A's factory RS-232 settings, lines ending in a line feed.
Raises ValueError for arguments that name nothing, MeterError when the meter fails, MeterTimeout
(also a TimeoutError) when it does not answer in time.)")
      .def(py::init<const std::string&, const std::string&, const py::object&, double,
                    const std::string&>(),
           py::arg("resource"), py::arg("function") = "resistance", py::arg("range") = py::none(),
           py::arg("timeout") = 3.0, py::arg("serial") = "")
      .def("read", &python::Meter::read,
           "A fresh reading, in the function's unit: MeterError for overload or an answer that is "
           "no number, never a value the meter did not send.")
      .def_property_readonly("identity", &python::Meter::identity,
                             "(maker, model, serial, firmware), as *IDN? said")
      .def_property_readonly("unit", &python::Meter::unit, "\"Ohm\" or \"V\"")
      .def_property_readonly("closed", &python::Meter::closed)
      .def("close", &python::Meter::close, "Lets go of the meter; twice is harmless.")
      .def("__enter__", [](python::Meter& meter) -> python::Meter& { return meter; })
      .def("__exit__", [](python::Meter& meter, const py::args&) { meter.close(); });
}
