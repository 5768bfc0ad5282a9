// SPDX-License-Identifier: GPL-3.0-or-later
// GoogleTest on real widgets: one QApplication for the whole program.
#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    // Tests close windows at will; that must not end anything.
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
