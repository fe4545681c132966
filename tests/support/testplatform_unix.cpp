#include "support/testplatform.h"

#include <QByteArray>

void chooseTestPlatform()
{
    // Set, not passed as -platform: the programs the tests start inherit it.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("offscreen"));
}
