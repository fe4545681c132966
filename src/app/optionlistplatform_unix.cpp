#include "app/optionlistplatform.h"

// X11 and Wayland need a display, which a board with no screen lacks;
// offscreen lists the same options.
const char *optionListPlatform()
{
    return "offscreen";
}
