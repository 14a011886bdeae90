#pragma once

namespace vx::test {

// Runs the GoogleTest suites of a window test on Qt's offscreen platform, with the panel's style,
// and quiet about what that platform says of every message box.
int run_offscreen(int argc, char** argv);

}  // namespace vx::test
