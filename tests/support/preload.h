#pragma once

// Runs this program again with the line-state library preloaded, unless it
// is loaded already; returns only then. The library must come in before the
// program starts, so that every ioctl of Qt's and the program's goes to it.
void ensureFakeSerialPreloaded(char **argv);
