#pragma once

#include <memory>

#include "port/port.h"

namespace vx::bench {

// A port back end that does nothing, defined apart so that calls into it stay real virtual calls
// wherever it is used, as they are with any back end.
std::unique_ptr<port::Port> make_null_port();

}  // namespace vx::bench
