#include <gtest/gtest.h>

#include <QCoreApplication>

// Qt's event loops, timers and sockets want an application object in the process.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
