// What comes out of the printer: the page turned to the print's shape.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QRegularExpression>

#include "BoothTestApp.h"
#include "TempDir.h"
#include "booth/BoothPrinter.h"

namespace {

// The first page's size in points, from the PDF's MediaBox.
QSizeF pageSize(const QString& pdf) {
    QFile file(pdf);
    if (!file.open(QIODevice::ReadOnly)) return {};
    const auto m = QRegularExpression(R"(/MediaBox\s*\[\s*([\d.]+)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)\s*\])")
                       .match(QString::fromLatin1(file.readAll()));
    if (!m.hasMatch()) return {};
    return {m.captured(3).toDouble() - m.captured(1).toDouble(), m.captured(4).toDouble() - m.captured(2).toDouble()};
}

class BoothPrinterTest : public ::testing::Test {
protected:
    void SetUp() override { app(); }
    void TearDown() override { BoothPrinter::setOutputFile({}); }
    QString print(QSize size, const QString& name) {
        QImage image(size, QImage::Format_RGB32);
        image.fill(Qt::darkCyan);
        const QString path = QString::fromStdString(dir.file(name.toStdString() + ".jpg"));
        EXPECT_TRUE(image.save(path));
        const QString pdf = QString::fromStdString(dir.file(name.toStdString() + ".pdf"));
        BoothPrinter::setOutputFile(pdf);
        QString error;
        EXPECT_TRUE(BoothPrinter::printImage(path, &error)) << error.toStdString();
        return pdf;
    }
    testsupport::TempDir dir;
};

TEST_F(BoothPrinterTest, TheSheetTurnsToTheShapeOfThePrint) {
    const QSizeF wide = pageSize(print({1800, 1200}, "postcard"));
    ASSERT_FALSE(wide.isEmpty());
    EXPECT_GT(wide.width(), wide.height()) << "a postcard is printed across the sheet";
    const QSizeF tall = pageSize(print({600, 1800}, "strip"));
    ASSERT_FALSE(tall.isEmpty());
    EXPECT_LT(tall.width(), tall.height());
}

}  // namespace
