#pragma once

#include <functional>

// Runs the event loop until the condition holds or the time is up.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 5000);

// Runs the event loop for the given time.
void runEventLoop(int ms);
