#pragma once

#include <functional>
#include <string>

namespace vx::session {

// Why `path` cannot be written, as "cannot write PATH: why", or empty; creates and truncates
// nothing, so a run refused later costs no file.
std::string cannot_write(const std::string& path);

// Whether two paths name one file: the same device and inode where both exist, else the same path
// once resolved (a file still to be made, or made through another name).
bool same_file(const std::string& a, const std::string& b);

// Writes `path` whole or not at all. A regular file, or one still to be made, is written by
// `write` to a temporary file beside it (its name ends as `path` ends, so an extension still says
// the format), given the old file's mode (a new one's: 0666 less the umask) and renamed over it
// once complete; an old file survives any failure byte for byte. Anything else (a FIFO,
// /dev/stdout, a symbolic link, whose target is written) is handed to `write` as it is. What
// `write` throws is rethrown naming `path`, not the temporary file.
void write_whole(const std::string& path, const std::function<void(const std::string&)>& write);

}  // namespace vx::session
