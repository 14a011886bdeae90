#pragma once

namespace vx::panel {

// `vx3071-panel --help`.
extern const char* const kPanelUsage;
// The version, from the one place it is kept.
extern const char* const kVersion;

// The application as a desktop presents it: its name and version, the icon every window carries,
// and the desktop file (org.vx3071.panel) by which docks and task bars group its windows with the
// menu entry. Call once the QApplication exists.
void present_application();

}  // namespace vx::panel
