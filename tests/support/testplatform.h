#pragma once

// Lets a test program make its windows on a machine without a screen when
// the run names no platform (plain ctest, ctest -N): call it before the
// QApplication is made. Windows' own platform needs no choosing.
void chooseTestPlatform();
