#pragma once

namespace vx::port {

// How many forks lie between the program and this process: a child sees one more than its parent
// saw when it forked. Asking costs no system call, so a call can check it every time: what a
// process opened is its own only while this has not changed since.
unsigned fork_generation();

}  // namespace vx::port
