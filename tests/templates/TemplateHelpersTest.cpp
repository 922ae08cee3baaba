#include <gtest/gtest.h>

#include <QBuffer>
#include <QDateTime>
#include <QImageWriter>

#include <filesystem>

#include "TempDir.h"
#include "base/Files.h"
#include "core/UserDefaults.h"
#include "templates/ImageUtils.h"
#include "templates/TEUtils.h"

namespace fs = std::filesystem;

namespace {

// A JPEG of `image` carrying an EXIF orientation tag.
QByteArray jpegWithOrientation(const QImage& image, quint16 orientation) {
    QByteArray jpeg;
    QBuffer buf(&jpeg);
    buf.open(QIODevice::WriteOnly);
    QImageWriter(&buf, "jpeg").write(image);
    // APP1 "Exif", big-endian TIFF header, one IFD entry: 0x0112 SHORT 1 <orientation>.
    QByteArray tiff = QByteArray::fromHex("4d4d002a00000008" "0001" "0112000300000001");
    tiff.append(char(orientation >> 8)).append(char(orientation & 0xff)).append(QByteArray::fromHex("0000" "00000000"));
    QByteArray payload = QByteArray("Exif\0\0", 6) + tiff;
    quint16 len = static_cast<quint16>(payload.size() + 2);
    QByteArray app1 = QByteArray::fromHex("ffe1");
    app1.append(char(len >> 8)).append(char(len & 0xff)).append(payload);
    return jpeg.left(2) + app1 + jpeg.mid(2);
}

}  // namespace

TEST(TEUtils, SettingsRoundTripThroughTheStore) {
    testsupport::ScopedHome home;
    TEUtils::setUserSetting(QStringLiteral("Custom"), "AUDIO_VOICE");
    TEUtils::saveUserSetting(42, "NUMBER_OF_PRINTS");
    TEUtils::saveUserSetting(true, "GREEN_SCREEN_AUTO");
    TEUtils::saveUserSetting(QVariantMap{{"name", "Booth"}, {"n", 2}}, "DICT");
    TEUtils::saveUserSetting(QByteArray("\x00\x01\xff", 3), "TOKEN");

    // A fresh store over the same file sees what was written (once it is on disk).
    ASSERT_TRUE(UserDefaults::standard().synchronize());
    UserDefaults reread(UserDefaults::standard().path());
    EXPECT_EQ(reread.string("AUDIO_VOICE"), "Custom");
    EXPECT_EQ(reread.integer("NUMBER_OF_PRINTS"), 42);
    EXPECT_TRUE(reread.boolean("GREEN_SCREEN_AUTO"));

    EXPECT_EQ(TEUtils::getUserSettingForKey("NUMBER_OF_PRINTS").toInt(), 42);
    EXPECT_EQ(TEUtils::getUserSettingForKey("GREEN_SCREEN_AUTO").typeId(), QMetaType::Bool);
    EXPECT_EQ(TEUtils::getUserSettingForKey("DICT").toMap().value("name").toString(), "Booth");
    EXPECT_EQ(TEUtils::getUserSettingForKey("TOKEN").toByteArray(), QByteArray("\x00\x01\xff", 3));
    EXPECT_FALSE(TEUtils::getUserSettingForKey("MISSING").isValid());
    EXPECT_EQ(TEUtils::getUserSettingForKey("IS_INTERNET_RECHABLE").toString(), "NO");  // registered default

    TEUtils::saveUserSetting(QVariant(), "NUMBER_OF_PRINTS");  // none removes
    EXPECT_FALSE(TEUtils::getUserSettingForKey("NUMBER_OF_PRINTS").isValid());
}

TEST(TEUtils, HexColours) {
    EXPECT_EQ(TEUtils::getColorFromHexString("#FF8000"), QColor(255, 128, 0));
    EXPECT_EQ(TEUtils::getColorFromHexString("00ff7f"), QColor(0, 255, 127));
    for (const char* bad : {"", "#12345", "#1234567", "zzzzzz", "#-12345"})
        EXPECT_FALSE(TEUtils::getColorFromHexString(bad).isValid()) << bad;
}
TEST(ImageUtils, OrientationFromExifIsApplied) {
    testsupport::TempDir dir;
    QImage wide(40, 20, QImage::Format_RGB32);
    wide.fill(Qt::red);
    for (int y = 0; y < 20; ++y)
        for (int x = 20; x < 40; ++x) wide.setPixel(x, y, qRgb(0, 0, 255));
    std::string path = dir.file("rotated.jpg");
    QByteArray bytes = jpegWithOrientation(wide, 6);  // 90 degrees clockwise
    base::writeFileAtomically(path, std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
    QImage img = ImageUtils::loadImage(QString::fromStdString(path));
    ASSERT_FALSE(img.isNull());
    EXPECT_EQ(img.size(), QSize(20, 40));
    // The left (red) half is now on top.
    EXPECT_GT(qRed(img.pixel(10, 5)), 200);
    EXPECT_GT(qBlue(img.pixel(10, 35)), 200);
    EXPECT_TRUE(ImageUtils::loadImage(QString::fromStdString(dir.file("missing.jpg"))).isNull());
}

TEST(ImageUtils, FiftyMegapixelPhotoLoads) {
    testsupport::TempDir dir;
    QString path = QString::fromStdString(dir.file("big.jpg"));
    {
        QImage big(8660, 5800, QImage::Format_RGB32);
        big.fill(QColor(20, 160, 40));
        QImageWriter w(path, "jpeg");
        w.setQuality(5);
        ASSERT_TRUE(w.write(big));
    }
    QImage img = ImageUtils::loadImage(path);
    ASSERT_FALSE(img.isNull());
    EXPECT_EQ(img.size(), QSize(8660, 5800));
}

TEST(ImageUtils, JpegIsWrittenAtFullQualityAndAtomically) {
    testsupport::TempDir dir;
    // Sharp grey stripes: at quality 90 they are off by up to 36, at 100 by a few.
    QImage gradient(256, 64, QImage::Format_RGB32);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 256; ++x) {
            int v = (x * 37 + y * 91) % 256;
            gradient.setPixel(x, y, qRgb(v, v, v));
        }
    QString path = QString::fromStdString(dir.file("out.jpg"));
    ASSERT_TRUE(saveImageAtURLAsJPEG(gradient, path));
    QImage back = ImageUtils::loadImage(path);
    ASSERT_EQ(back.size(), gradient.size());
    int worst = 0;
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 256; ++x) {
            QRgb a = gradient.pixel(x, y), b = back.pixel(x, y);
            worst = std::max({worst, std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)), std::abs(qBlue(a) - qBlue(b))});
        }
    EXPECT_LE(worst, 8);

    // A file URL works too; a failed write leaves the old file as it was.
    ASSERT_TRUE(saveImageAtURLAsJPEG(gradient, "file://" + path));
    EXPECT_FALSE(saveImageAtURLAsJPEG(QImage(), path));
    EXPECT_FALSE(saveImageAtURLAsJPEG(gradient, path + "/under-a-file.jpg"));
    int files = 0;
    for (auto& e : fs::directory_iterator(dir.path())) files += e.is_regular_file();
    EXPECT_EQ(files, 1);
}

