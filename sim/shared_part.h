#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vx::sim {

class Device;

// The simulated part as a bench has one chip: VX3071_SIM_STATE=FILE keeps its setting in FILE, so
// that several runs, a script and a meter emulator see one part. The file holds three numbers:
// the setting, the one before it, and when it was written (nanoseconds of CLOCK_MONOTONIC, which
// every process on the machine shares); every access holds flock on it.
struct PartState {
  int setting = 0x80;  // the part's power-up setting, mid scale
  int before = 0x80;
  std::int64_t written_ns = 0;
};

class SharedPart {
 public:
  explicit SharedPart(std::string path);
  // The state in the file, or the power-up one when there is none yet. Throws port::PortError
  // naming the file when it cannot be read.
  PartState load() const;
  // A write of `setting` landed now. PortError when another process's sweep holds the part.
  void store(int setting) const;
  // Holds the part for a sweep while the result lives: flock on FILE.sweep, which names this
  // process; another process's store is refused meanwhile, its load is not. PortError naming the
  // holder when another process holds it already.
  std::shared_ptr<void> hold() const;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// VX3071_SIM_STATE's file, or none when it is unset.
std::shared_ptr<SharedPart> shared_part_from_environment();

// The simulated part the process's `sim` port made last, for the `sim` meter; none before.
void publish(const std::shared_ptr<Device>& device);
std::shared_ptr<Device> published();

// Nanoseconds of CLOCK_MONOTONIC now.
std::int64_t monotonic_ns();

}  // namespace vx::sim
