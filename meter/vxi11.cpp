#include <lxi.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "meter/transport.h"

namespace vx::meter {

namespace {

// VXI-11 through liblxi: an RPC link to the instrument's device (inst0), each message whole (the
// instrument ends it with END), so no framing of our own. liblxi gives no device clear, so a
// time-out is cleared by a new link.
class Vxi11 final : public Transport {
 public:
  Vxi11(const Resource& resource, Clock::time_point deadline) : resource_(resource) {
    static std::once_flag started;
    std::call_once(started, [] { lxi_init(); });
    connect(deadline);
  }
  ~Vxi11() override {
    if (device_ >= 0) lxi_disconnect(device_);
  }

  void send(const std::string& line, Clock::time_point deadline) override {
    const std::string message = line + "\n";
    if (lxi_send(device_, message.c_str(), static_cast<int>(message.size()),
                 milliseconds_left(deadline, 1)) < 0) {
      throw MeterTimeout(where() + " took nothing for \"" + line +
                         "\" in time, or the link failed");
    }
  }

  std::string receive(Clock::time_point deadline) override {
    std::string message(64 * 1024, '\0');
    const int n = lxi_receive(device_, message.data(), static_cast<int>(message.size()),
                              milliseconds_left(deadline, 1));
    if (n < 0) throw MeterTimeout(where() + " did not answer in time, or the link failed");
    message.resize(static_cast<std::size_t>(n));
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
      message.pop_back();
    }
    return message;
  }

  void clear() override {
    lxi_disconnect(device_);
    device_ = -1;
    connect(Clock::now() + std::chrono::seconds(5));
  }

  std::string where() const override { return "the meter at " + resource_.text; }

 private:
  void connect(Clock::time_point deadline) {
    device_ = lxi_connect(resource_.host.c_str(), 0, resource_.device.c_str(),
                          milliseconds_left(deadline, 1), VXI11);
    if (device_ < 0) {
      throw MeterError("cannot reach " + where() +
                       " by VXI-11 (is it on, and does it offer VXI-11? LXI meters also take "
                       "TCPIP::host::5025::SOCKET)");
    }
  }

  Resource resource_;
  int device_ = -1;
};

}  // namespace

std::unique_ptr<Transport> open_vxi11(const Resource& resource, Clock::time_point deadline) {
  return std::make_unique<Vxi11>(resource, deadline);
}

}  // namespace vx::meter

namespace vx::meter {

namespace {

std::mutex discovered_mutex;
std::vector<std::string>* discovered = nullptr;

void on_device(const char* address, const char* id) {
  const std::lock_guard lock(discovered_mutex);
  if (discovered) discovered->push_back(std::string("TCPIP::") + address + "::INSTR  " + id);
}

void on_broadcast(const char*, const char*) {}

}  // namespace

// liblxi's VXI-11 discovery: a broadcast on every interface, answers gathered for `timeout_ms`.
std::vector<std::string> discover_lan(int timeout_ms) {
  static std::once_flag started;
  std::call_once(started, [] { lxi_init(); });
  std::vector<std::string> found;
  {
    const std::lock_guard lock(discovered_mutex);
    discovered = &found;
  }
  lxi_info_t info{};
  info.broadcast = on_broadcast;
  info.device = on_device;
  lxi_discover(&info, timeout_ms, DISCOVER_VXI11);
  const std::lock_guard lock(discovered_mutex);
  discovered = nullptr;
  return found;
}

}  // namespace vx::meter
