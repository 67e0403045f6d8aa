#include <gtest/gtest.h>

#include <QApplication>

// The UI tests share one QApplication: widgets need one, and Qt allows only one per process.
int main(int argc, char** argv) {
    // No test window should appear on a developer's screen; CTest sets the same. An explicit
    // QT_QPA_PLATFORM (e.g. xcb, to watch a test) is left alone.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
