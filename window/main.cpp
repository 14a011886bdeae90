// vx3071-panel: the bench panel on the port that VX3071_PORT names (the simulated device by
// default).
#include "window/program.h"

int main(int argc, char** argv) {
  return vx::panel::run_panel(argc, argv);
}
