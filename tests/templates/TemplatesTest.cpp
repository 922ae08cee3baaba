#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QBuffer>
#include <QImageReader>
#include <QPainter>

#include "TempDir.h"
#include "core/UserDefaults.h"
#include "core/WrenUtils.h"
#include "templates/LayoutEngine.h"
#include "templates/TETemplateDocument.h"
#include "templates/TETemplateLibrary.h"

namespace {

QGuiApplication& app() {
    static int argc = 1;
    static char name[] = "test_templates";
    static char* argv[] = {name, nullptr};
    // Other test files of this program may have made it already.
    static QGuiApplication* instance = [] {
        if (auto* existing = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return existing;
        return new QGuiApplication(argc, argv);
    }();
    return *instance;
}

class TemplatesTest : public ::testing::Test {
protected:
    void SetUp() override {
        app();
        UserDefaults::standard().set("DATA_DIRECTORY", root() + "/data/");
        UserDefaults::standard().remove("SELECTED_TEMPLATE");
        UserDefaults::standard().remove("SELECTED_TEMPLATE_PATH");
    }
    std::string root() const { return home.path(); }
    QString folder(const QString& name) const { return QString::fromStdString(dir.path()) + "/" + name; }

    // A template folder holding `xml` as its template.xml.
    QString makeTemplate(const QString& name, const QString& xml) {
        const QString path = folder(name);
        QDir().mkpath(path);
        QFile file(path + "/template.xml");
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(xml.toUtf8());
        return path;
    }
    QString makePhoto(const QString& name, QColor color, QSize size = {400, 300}) {
        QImage image(size, QImage::Format_RGB32);
        image.fill(color);
        const QString path = folder(name);
        EXPECT_TRUE(image.save(path));
        return path;
    }

    testsupport::ScopedHome home;
    testsupport::TempDir dir;
};

const char* kTwoSlots = R"(<?xml version="1.0"?>
<template name="Two" width="200" height="420" background="#00ff00">
  <layer type="photo" x="10" y="10" width="180" height="190"/>
  <layer type="photo" x="10" y="220" width="180" height="190"/>
</template>)";

TEST_F(TemplatesTest, ShippedTemplatesLoad) {
    const QString shipped = TETemplateLibrary::shippedTemplatesFolder();
    QString error;
    auto strip = TETemplateDocument::loadFromFolder(shipped + "/Classic Strip", &error);
    ASSERT_TRUE(strip) << error.toStdString();
    EXPECT_EQ(strip->name, "Classic Strip");
    EXPECT_EQ(strip->numberOfPhotos(), 4);
    EXPECT_FALSE(strip->hasQRCodeLayer());
    EXPECT_TRUE(QFile::exists(strip->previewPath()));
    auto card = TETemplateDocument::loadFromFolder(shipped + "/Postcard", &error);
    ASSERT_TRUE(card) << error.toStdString();
    EXPECT_EQ(card->numberOfPhotos(), 1);
    EXPECT_TRUE(card->hasQRCodeLayer());
}

TEST_F(TemplatesTest, BadTemplatesAreRefusedWithAReason) {
    const QList<std::pair<QString, QString>> cases = {
        {"truncated", R"(<template width="10" height="10"><layer type="photo" x="0" y="0" width="5" )"},
        {"wrong-root", R"(<print width="10" height="10"/>)"},
        {"no-size", R"(<template><layer type="photo" x="0" y="0" width="5" height="5"/></template>)"},
        {"huge", R"(<template width="90000" height="10"><layer type="photo" x="0" y="0" width="5" height="5"/></template>)"},
        {"empty-layer", R"(<template width="10" height="10"><layer type="photo" x="0" y="0" width="0" height="5"/></template>)"},
        {"escaping", R"(<template width="10" height="10"><layer type="photo" x="0" y="0" width="5" height="5"/><layer type="image" file="../../etc/passwd" x="0" y="0" width="5" height="5"/></template>)"},
        {"missing-image", R"(<template width="10" height="10"><layer type="photo" x="0" y="0" width="5" height="5"/><layer type="image" file="gone.png" x="0" y="0" width="5" height="5"/></template>)"},
        {"unknown-type", R"(<template width="10" height="10"><layer type="video" x="0" y="0" width="5" height="5"/></template>)"},
        {"no-photos", R"(<template width="10" height="10"><layer type="qrcode" x="0" y="0" width="5" height="5"/></template>)"},
        {"twice-the-same-photo", R"(<template width="10" height="10"><layer type="photo" index="0" x="0" y="0" width="5" height="5"/><layer type="photo" index="0" x="5" y="0" width="5" height="5"/></template>)"},
        {"bad-colour", R"(<template width="10" height="10" background="nope"><layer type="photo" x="0" y="0" width="5" height="5"/></template>)"},
    };
    for (const auto& [name, xml] : cases) {
        QString error;
        EXPECT_FALSE(TETemplateDocument::loadFromFolder(makeTemplate(name, xml), &error)) << name.toStdString();
        EXPECT_FALSE(error.isEmpty()) << name.toStdString();
    }
    QString error;
    EXPECT_FALSE(TETemplateDocument::loadFromFolder(folder("nowhere"), &error));
    EXPECT_TRUE(error.contains("Unable to read template"));
    // A template.xml of megabytes is no template: refused unread, whatever
    // it holds (here a good one padded with a comment).
    const QString padded = QString::fromUtf8(kTwoSlots) + "<!--" + QString(5 << 20, ' ') + "-->";
    EXPECT_FALSE(TETemplateDocument::loadFromFolder(makeTemplate("oversized", padded), &error));
    EXPECT_TRUE(error.contains("larger than")) << error.toStdString();

    // Something other than a file in its place is refused unread, at once.
    const QString pipe = makeTemplate("pipe", "");
    const std::string xml = (pipe + "/template.xml").toStdString();
    std::filesystem::remove(xml);
    ASSERT_EQ(::mkfifo(xml.c_str(), 0600), 0);
    auto loading = std::async(std::launch::async, [&] { return TETemplateDocument::loadFromFolder(pipe, &error); });
    if (loading.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ::close(::open(xml.c_str(), O_WRONLY | O_NONBLOCK));  // lets the stuck reader go
        FAIL() << "a named pipe as the template hangs the library";
    }
    EXPECT_FALSE(loading.get());
    EXPECT_TRUE(error.contains("named pipe")) << error.toStdString();
}

// A print is drawn whole in memory: a side past the bound would ask for
// gigabytes, and a size that is not a number would pass every comparison.
TEST_F(TemplatesTest, PrintAndLayerSizesBeyondTheBoundAreRefused) {
    const QString photo = R"(<layer type="photo" x="0" y="0" width="5" height="5"/>)";
    for (const char* size : {R"(width="12001" height="10")", R"(width="10" height="20000")",
                             R"(width="nan" height="10")", R"(width="10" height="inf")"}) {
        QString error;
        EXPECT_FALSE(TETemplateDocument::loadFromFolder(
            makeTemplate("big", QString("<template %1>%2</template>").arg(size, photo)), &error)) << size;
        EXPECT_TRUE(error.contains("from 1 to 12000")) << error.toStdString();
    }
    for (const char* frame : {R"(x="nan" y="0" width="5" height="5")", R"(x="0" y="0" width="inf" height="5")",
                              R"(x="0" y="-1e300" width="5" height="5")", R"(x="0" y="0" width="5" height="1e12")"}) {
        QString error;
        EXPECT_FALSE(TETemplateDocument::loadFromFolder(
            makeTemplate("frame", QString(R"(<template width="10" height="10"><layer type="photo" %1/></template>)").arg(frame)),
            &error)) << frame;
        EXPECT_FALSE(error.isEmpty());
    }
    QString error;
    auto largest = TETemplateDocument::loadFromFolder(
        makeTemplate("largest", QString(R"(<template width="12000" height="12000">%1</template>)").arg(photo)), &error);
    ASSERT_TRUE(largest) << error.toStdString();
    EXPECT_EQ(largest->size, QSize(12000, 12000));
}

TEST_F(TemplatesTest, PrintAndThumbnailGoToPrintsAndThumbUnderOneName) {
    auto doc = TETemplateDocument::loadFromFolder(makeTemplate("two", kTwoSlots));
    ASSERT_TRUE(doc);
    LayoutEngine engine(doc);
    QString error;
    const QString prints = folder("prints");
    auto result = engine.layoutPhotos({makePhoto("red.jpg", Qt::red), makePhoto("blue.png", Qt::blue)}, &error, prints);
    ASSERT_TRUE(result) << error.toStdString();
    EXPECT_EQ(QFileInfo(result->printPath).dir().absolutePath(), QDir(prints).absolutePath());
    EXPECT_EQ(QFileInfo(result->thumbPath).dir().absolutePath(), QDir(prints + "/thumb").absolutePath());
    EXPECT_EQ(QFileInfo(result->printPath).fileName(), QFileInfo(result->thumbPath).fileName());

    const QImage print(result->printPath);
    ASSERT_EQ(print.size(), QSize(200, 420));
    EXPECT_GT(print.pixelColor(100, 100).red(), 200);   // first slot
    EXPECT_GT(print.pixelColor(100, 300).blue(), 200);  // second slot
    EXPECT_GT(print.pixelColor(2, 2).green(), 200);     // background
    EXPECT_EQ(QImage(result->thumbPath).size(), QSize(200, 420)) << "a small print is its own thumbnail";

    // A second print never overwrites the first.
    auto again = engine.layoutPhotos({makePhoto("red2.jpg", Qt::red)}, &error, prints);
    ASSERT_TRUE(again);
    EXPECT_NE(again->printPath, result->printPath);
    EXPECT_GT(QImage(again->printPath).pixelColor(100, 300).red(), 200) << "fewer photos than slots are reused";
}

TEST_F(TemplatesTest, LargePrintsGetASmallThumbnailAndPhotosFillTheirSlots) {
    auto doc = TETemplateDocument::loadFromFolder(TETemplateLibrary::shippedTemplatesFolder() + "/Postcard");
    ASSERT_TRUE(doc);
    LayoutEngine engine(doc);
    // A tall photo in a wide slot: cropped to cover it, never letter-boxed.
    QImage tall(300, 900, QImage::Format_RGB32);
    tall.fill(Qt::blue);
    const QString path = folder("tall.jpg");
    ASSERT_TRUE(tall.save(path));
    QString error;
    auto result = engine.layoutPhotos({path}, &error, folder("prints"));
    ASSERT_TRUE(result) << error.toStdString();
    const QImage print(result->printPath);
    // The Postcard's paper (#f4efe6) is bright in blue too: only blue without
    // red is the photo, at both ends of the slot and not beyond it.
    auto isPhoto = [&](int x, int y) {
        const QColor c = print.pixelColor(x, y);
        return c.blue() > 200 && c.red() < 60 && c.green() < 60;
    };
    EXPECT_TRUE(isPhoto(70, 600));
    EXPECT_TRUE(isPhoto(1370, 600));
    EXPECT_TRUE(isPhoto(700, 70));
    EXPECT_FALSE(isPhoto(40, 600));
    EXPECT_EQ(QImage(result->thumbPath).width(), LayoutEngine::kThumbnailWidth);

    // The second layout carries the QR code in its layer.
    QImage qr(100, 100, QImage::Format_RGB32);
    qr.fill(Qt::black);
    ASSERT_TRUE(engine.layoutWithQRCode(qr, folder("with-qr.jpg"), &error)) << error.toStdString();
    const QImage withQr(folder("with-qr.jpg"));
    EXPECT_LT(withQr.pixelColor(1590, 930).lightness(), 40);
    EXPECT_GT(print.pixelColor(1590, 930).lightness(), 150);
}

// A print whose name is already taken in the prints folder gets the next
// free one there; the print already there stays as it was.
TEST_F(TemplatesTest, APrintWhoseNameIsTakenGetsANewNameInThePrintsFolder) {
    auto doc = TETemplateDocument::loadFromFolder(makeTemplate("two", kTwoSlots));
    ASSERT_TRUE(doc);
    const QString prints = folder("prints");
    ASSERT_TRUE(QDir().mkpath(prints));
    // Names come from the clock: a moment no earlier name has used.
    const QDateTime moment = QDateTime::currentDateTime().addDays(1);
    WrenUtils::setFileNameClock([&] { return moment.toMSecsSinceEpoch(); });
    const QString taken = moment.toString("yyyy-MM-dd_HH-mm-ss-zzz") + ".jpg";
    QFile(prints + "/" + taken).open(QIODevice::WriteOnly);
    QString error;
    auto result = LayoutEngine(doc).layoutPhotos({makePhoto("red.jpg", Qt::red)}, &error, prints);
    WrenUtils::setFileNameClock(nullptr);
    ASSERT_TRUE(result) << error.toStdString();
    const QFileInfo print(result->printPath);
    EXPECT_EQ(print.fileName(), QString(taken).replace(".jpg", "_1.jpg"));
    EXPECT_EQ(print.dir().absolutePath(), QDir(prints).absolutePath());
    EXPECT_GT(print.size(), 0);
    EXPECT_EQ(QFileInfo(prints + "/" + taken).size(), 0) << "the print already there is left alone";
}

// Photos are decoded shrunk for their slot, but never below the slot's own
// size: fine detail at the slot's resolution reaches the print. And a photo
// of another shape covers its slot, cropped, with no bars.
TEST_F(TemplatesTest, APhotoIsDecodedAtLeastAtItsSlotsSizeAndCoversIt) {
    auto doc = TETemplateDocument::loadFromFolder(makeTemplate("square", R"(
<template width="300" height="300" background="#00ff00">
  <layer type="photo" x="0" y="0" width="300" height="300"/>
</template>)"));
    ASSERT_TRUE(doc);
    // 1200 x 600, black and white bands two rows high: at the slot's height
    // (300 rows) each band is one row; any smaller decode blurs them to grey.
    QImage bands(1200, 600, QImage::Format_RGB32);
    for (int y = 0; y < bands.height(); ++y)
        for (int x = 0; x < bands.width(); ++x) bands.setPixel(x, y, (y / 2) % 2 ? 0xffffffff : 0xff000000);
    const QString path = folder("bands.jpg");
    ASSERT_TRUE(bands.save(path, "JPG", 100));
    QString error;
    auto result = LayoutEngine(doc).layoutPhotos({path}, &error, folder("prints"));
    ASSERT_TRUE(result) << error.toStdString();
    const QImage print(result->printPath);
    ASSERT_EQ(print.size(), QSize(300, 300));
    double contrast = 0;
    int pairs = 0;
    for (int y = 100; y < 200; ++y, ++pairs)
        contrast += std::abs(qGray(print.pixel(150, y)) - qGray(print.pixel(150, y + 1)));
    EXPECT_GT(contrast / pairs, 120) << "the bands were blurred: decoded below the slot's size";
    for (QPoint corner : {QPoint(1, 1), QPoint(298, 1), QPoint(1, 298), QPoint(298, 298)}) {
        const QColor c = print.pixelColor(corner);
        EXPECT_FALSE(c.green() > 150 && c.red() < 100 && c.blue() < 100) << "background shows at " << corner.x()
                                                                          << "," << corner.y();
    }
}

TEST_F(TemplatesTest, ExplicitPhotoIndexesChooseTheSlot) {
    auto doc = TETemplateDocument::loadFromFolder(makeTemplate("swapped", R"(
<template width="200" height="100">
  <layer type="photo" index="1" x="0" y="0" width="100" height="100"/>
  <layer type="photo" index="0" x="100" y="0" width="100" height="100"/>
</template>)"));
    ASSERT_TRUE(doc);
    const QImage print = LayoutEngine(doc).composePrint({QImage(makePhoto("r.png", Qt::red)), QImage(makePhoto("b.png", Qt::blue))});
    EXPECT_GT(print.pixelColor(50, 50).blue(), 200);
    EXPECT_GT(print.pixelColor(150, 50).red(), 200);
}

TEST_F(TemplatesTest, PhotosAreLaidOutUprightByTheirOrientationTag) {
    // A camera held sideways: stored wide, tagged to be turned a quarter.
    QImage stored(400, 200, QImage::Format_RGB32);
    stored.fill(Qt::red);
    QPainter(&stored).fillRect(200, 0, 200, 200, Qt::blue);
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    ASSERT_TRUE(buffer.open(QIODevice::WriteOnly));
    ASSERT_TRUE(stored.save(&buffer, "JPG", 95));
    // An EXIF block right after the start marker: orientation 6, turn right.
    const char exif[] = "\xFF\xE1\x00\x22" "Exif\0\0" "MM\x00\x2A\x00\x00\x00\x08" "\x00\x01"
                        "\x01\x12\x00\x03\x00\x00\x00\x01\x00\x06\x00\x00" "\x00\x00\x00\x00";
    jpeg.insert(2, QByteArray(exif, sizeof(exif) - 1));
    const QString path = folder("sideways.jpg");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(jpeg);
    file.close();
    ASSERT_EQ(QImageReader(path).transformation(), QImageIOHandler::TransformationRotate90);

    auto doc = TETemplateDocument::loadFromFolder(makeTemplate("tall", R"(
<template width="100" height="200"><layer type="photo" x="0" y="0" width="100" height="200"/></template>)"));
    ASSERT_TRUE(doc);
    QString error;
    auto result = LayoutEngine(doc).layoutPhotos({path}, &error, folder("prints"));
    ASSERT_TRUE(result) << error.toStdString();
    const QImage print(result->printPath);
    EXPECT_GT(print.pixelColor(50, 20).red(), 200);
    EXPECT_GT(print.pixelColor(50, 180).blue(), 200);
}

TEST_F(TemplatesTest, FailedLayoutsLeaveNothingBehind) {
    auto doc = TETemplateDocument::loadFromFolder(makeTemplate("two", kTwoSlots));
    ASSERT_TRUE(doc);
    LayoutEngine engine(doc);
    QFile junk(folder("junk.jpg"));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("this is no jpeg");
    junk.close();
    QString error;
    EXPECT_FALSE(engine.layoutPhotos({makePhoto("ok.jpg", Qt::red), folder("junk.jpg")}, &error, folder("prints")));
    EXPECT_TRUE(error.contains("junk.jpg"));
    EXPECT_TRUE(QDir(folder("prints")).entryList(QDir::Files).isEmpty());

    EXPECT_FALSE(engine.layoutPhotos({}, &error, folder("prints")));

    // A prints folder that cannot be made.
    QFile blocker(folder("blocked"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    EXPECT_FALSE(engine.layoutPhotos({makePhoto("ok2.jpg", Qt::red)}, &error, folder("blocked/prints")));
    EXPECT_FALSE(error.isEmpty());
}

TEST_F(TemplatesTest, LibraryInstallsListsAndSelects) {
    auto& library = TETemplateLibrary::sharedLibrary();
    library.installShippedTemplates();
    const QString templates = WrenUtils::getTemplatesFolderPath();
    EXPECT_TRUE(QFile::exists(templates + "/Classic Strip/template.xml"));
    EXPECT_TRUE(QFile::exists(templates + "/Postcard/title.png"));
    ASSERT_EQ(library.templates().size(), 2);
    EXPECT_EQ(library.templates().at(0).numberOfPhotos, 4);
    EXPECT_EQ(QString::fromStdString(UserDefaults::standard().string("SELECTED_TEMPLATE")), "Classic Strip");
    EXPECT_EQ(library.selectedTemplatePath(), templates + "/Classic Strip");

    // The operator's own changes survive the next start; a broken folder is skipped.
    QFile xml(templates + "/Postcard/template.xml");
    ASSERT_TRUE(xml.open(QIODevice::WriteOnly | QIODevice::Truncate));
    xml.write(R"(<template name="Mine" width="10" height="10"><layer type="photo" x="0" y="0" width="5" height="5"/></template>)");
    xml.close();
    QDir().mkpath(templates + "/Broken");
    library.installShippedTemplates();
    ASSERT_EQ(library.templates().size(), 2);
    EXPECT_EQ(library.templates().at(1).name, "Mine");

    EXPECT_TRUE(library.selectTemplate("Postcard"));
    EXPECT_FALSE(library.selectTemplate("Broken"));
    QString error;
    auto doc = library.loadSelectedTemplate(&error);
    ASSERT_TRUE(doc) << error.toStdString();
    EXPECT_EQ(doc->name, "Mine");
}

TEST_F(TemplatesTest, ChangingTheDataFolderReloadsTheListAndTheSelection) {
    auto& library = TETemplateLibrary::sharedLibrary();
    library.installShippedTemplates();
    ASSERT_TRUE(library.selectTemplate("Postcard"));

    // The new data folder received only the strip.
    const QString moved = QString::fromStdString(root()) + "/moved/";
    QDir().mkpath(moved + "templates");
    WrenUtils::copyDirectoryFrom(TETemplateLibrary::shippedTemplatesFolder(), moved + "templates");
    QDir(moved + "templates/Postcard").removeRecursively();
    UserDefaults::standard().set("DATA_DIRECTORY", moved.toStdString());
    library.userDidChangedDataDirectory();

    ASSERT_EQ(library.templates().size(), 1);
    EXPECT_EQ(QString::fromStdString(UserDefaults::standard().string("SELECTED_TEMPLATE")), "Classic Strip");
    EXPECT_EQ(QString::fromStdString(UserDefaults::standard().string("SELECTED_TEMPLATE_PATH")),
              moved + "templates/Classic Strip");
}

}  // namespace
