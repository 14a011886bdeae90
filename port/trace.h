#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace vx::port {

// Records every port access of a run to a file: a Value Change Dump of the bus lines when the name
// ends in ".vcd", otherwise one text line per access ("W 378 F3", "R 379 7F").
class TraceRecorder {
 public:
  // Creates (or empties) the file; throws PortError when it cannot.
  static std::unique_ptr<TraceRecorder> create(const std::string& path);
  virtual ~TraceRecorder();

  // `bus_sda` is the back end's view of the SDA line after the access, where it has one.
  virtual void record_write(std::int16_t address, std::int16_t value,
                            std::optional<bool> bus_sda) = 0;
  virtual void record_read(std::int16_t address, std::int32_t value,
                           std::optional<bool> bus_sda) = 0;
  void flush();

 protected:
  // Lets a format close what it has so far, so the file reads whole at every flush.
  virtual void mark_end() {}

  TraceRecorder(std::FILE* file, std::string path);
  std::FILE* file_;

 private:
  std::string path_;
};

}  // namespace vx::port
