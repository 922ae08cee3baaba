#pragma once
// Shared helpers of the green-screen tests: a Qt application, a temporary
// home, and constructed images.
#include <gtest/gtest.h>

#include <QApplication>
#include <QColor>
#include <QImage>
#include <QPainter>

#include <cmath>
#include <string>

#include "TempDir.h"

inline QApplication& testApp() {
    static int argc = 1;
    static char name[] = "test_greenscreen";
    static char* argv[] = {name, nullptr};
    static QApplication* app = qApp ? static_cast<QApplication*>(qApp) : new QApplication(argc, argv);
    return *app;
}

inline QImage flatImage(int w, int h, QColor color, QImage::Format format = QImage::Format_RGB32) {
    QImage image(w, h, format);
    image.fill(color);
    return image;
}

// Left half one colour, right half another.
inline QImage splitImage(int w, int h, QColor left, QColor right) {
    QImage image(w, h, QImage::Format_RGB32);
    QPainter p(&image);
    p.fillRect(0, 0, w / 2, h, left);
    p.fillRect(w / 2, 0, w - w / 2, h, right);
    return image;
}

// Channel distance of two colours (0..255), alpha included.
inline int colorDistance(QRgb a, QRgb b) {
    return std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)), std::abs(qBlue(a) - qBlue(b)),
                     std::abs(qAlpha(a) - qAlpha(b))});
}

#define EXPECT_COLOR_NEAR(actual, expected, tolerance)                                                   \
    EXPECT_LE(colorDistance((actual), (expected)), (tolerance))                                         \
        << "actual " << std::hex << (actual) << " expected " << (expected) << std::dec

class GreenScreenTest : public ::testing::Test {
protected:
    void SetUp() override { testApp(); }
    testsupport::ScopedHome home;
    testsupport::TempDir dir;
};
