// Entry point of the test programs that need a QApplication.
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
