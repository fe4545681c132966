#include "app/optionlistplatform.h"

// Windows' own platform needs no display server, and is the only one the
// program ships with.
const char *optionListPlatform()
{
    return nullptr;
}
