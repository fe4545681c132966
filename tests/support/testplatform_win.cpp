#include "support/testplatform.h"

void chooseTestPlatform() {}
