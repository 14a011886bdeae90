#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vx::port {

// Records every port access of a run to a file: a Value Change Dump of the bus lines when the name
// ends in ".vcd" (in any case), otherwise one text line per access ("W 378 F3", "R 379 7F").
// Recording never throws: the first failure to write (a full disk, a file system gone read-only)
// ends the trace and is kept, naming the file, until taken. The records are buffered here and
// written with write(2), not stdio: a process forked from the writer (which shares the buffer)
// never writes it, not even as it exits, so the file keeps one writer.
class TraceRecorder {
 public:
  // What the file is for, which its messages tell: the live trace of a session, or accesses saved
  // afterwards.
  enum class Use { live, saved };

  // Creates (or empties) the file, or opens the FIFO, without blocking; throws TraceError when it
  // cannot, a FIFO that nobody reads included.
  static std::unique_ptr<TraceRecorder> create(const std::string& path, Use use = Use::live);
  virtual ~TraceRecorder();
  TraceRecorder(const TraceRecorder&) = delete;
  TraceRecorder& operator=(const TraceRecorder&) = delete;

  // `bus_sda` is the back end's view of the SDA line after the access, where it has one.
  virtual void record_write(std::int16_t address, std::int16_t value,
                            std::optional<bool> bus_sda) = 0;
  virtual void record_read(std::int16_t address, std::int32_t value,
                           std::optional<bool> bus_sda) = 0;
  // Makes the file read whole as it stands.
  void flush();
  // Flushes and closes the file; nothing is recorded after.
  void close();
  // The error that ended the trace, once.
  std::optional<std::string> take_error();

 protected:
  TraceRecorder(int fd, std::string path, bool fifo, Use use);

  // Lets a format close what it has so far, so the file reads whole at every flush.
  virtual void mark_end() {}
  // printf to the buffer while the file is good; a failure to write it ends the trace.
  [[gnu::format(printf, 2, 3)]] void print(const char* format, ...);
  bool writing() const;

 private:
  void fail(int error, const char* doing);
  // Writes the buffer out whole; false (the trace failed) when it cannot.
  bool write_out();

  int fd_;
  unsigned writer_;  // the fork generation that opened the file: the only one that writes it
  std::string buffer_;
  std::string path_;
  bool fifo_;
  Use use_;
  bool failed_ = false;
  std::optional<std::string> error_;
};

}  // namespace vx::port
