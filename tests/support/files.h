#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vx::test {

// The whole of a file, as text.
std::string slurp(const std::filesystem::path& path);

// Whether sigrok-cli is installed; script/bootstrap installs it.
bool have_sigrok();

// Runs sigrok's I2C decoder over a VCD trace and returns its annotations, one a line ("Start",
// "Address write: 2C", "ACK"...), without the R/W bit's own "Read" or "Write".
std::vector<std::string> sigrok_i2c(const std::filesystem::path& vcd);

}  // namespace vx::test
