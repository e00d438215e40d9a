// GoogleTest entry point for tests that need a Qt application object (the QML engine
// does). gtest takes its flags out of argv before Qt keeps a reference to it.
#include <QtCore/QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
