#include "support/testplatform.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char *argv[])
{
    chooseTestPlatform();
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
