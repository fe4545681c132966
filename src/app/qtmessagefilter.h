#pragma once

// Keeps out of standard error (a service's journal) the messages of Qt's
// own that say nothing to whoever reads it; Qt's handler gets the rest.
void installQtMessageFilter();
