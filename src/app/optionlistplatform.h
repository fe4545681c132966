#pragma once

// The Qt platform a QApplication is made on only to list Qt's own options
// (--help-all), which needs no window: one that works without a display,
// or null for the default. One source file per platform.
const char *optionListPlatform();
