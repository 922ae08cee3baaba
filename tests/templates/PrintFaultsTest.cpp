// What a guest finds on the print when a template, a photo count or a file
// is not what the layout expected.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>

#include "TempDir.h"
#include "core/UserDefaults.h"
#include "core/WrenUtils.h"
#include "templates/ImageUtils.h"
#include "templates/LayoutEngine.h"
#include "templates/TETemplateDocument.h"
#include "templates/TETemplateLibrary.h"

namespace {

class PrintFaults : public ::testing::Test {
protected:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "test_templates";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance()) new QGuiApplication(argc, argv);
        UserDefaults::standard().set("DATA_DIRECTORY", home.path() + "/data/");
        UserDefaults::standard().remove("SELECTED_TEMPLATE");
        UserDefaults::standard().remove("SELECTED_TEMPLATE_PATH");
    }
    QString folder(const QString& name) const { return QString::fromStdString(dir.path()) + "/" + name; }
    QString makeTemplate(const QString& root, const QString& name, const QString& xml) {
        const QString path = root + "/" + name;
        QDir().mkpath(path);
        QFile file(path + "/template.xml");
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(xml.toUtf8());
        return path;
    }
    QImage solid(QColor color, QSize size = {80, 80}) {
        QImage image(size, QImage::Format_RGB32);
        image.fill(color);
        return image;
    }

    testsupport::ScopedHome home;
    testsupport::TempDir dir;
};

TEST_F(PrintFaults, PhotoIndexesWithAGapAreRefusedAndTheLargestSizeIsAllowed) {
    QString error;
    EXPECT_FALSE(TETemplateDocument::loadFromFolder(makeTemplate(folder(""), "gap", R"(
<template width="100" height="100">
  <layer type="photo" index="0" x="0" y="0" width="50" height="50"/>
  <layer type="photo" index="5" x="50" y="0" width="50" height="50"/>
</template>)"), &error));
    EXPECT_TRUE(error.contains("0 to 1")) << error.toStdString();
    EXPECT_TRUE(TETemplateDocument::loadFromFolder(makeTemplate(folder(""), "largest", R"(
<template width="12000" height="12000"><layer type="photo" x="0" y="0" width="5" height="5"/></template>)"), &error))
        << error.toStdString();
}

TEST_F(PrintFaults, ThePrintCarriesItsResolutionAndANamelessTemplateItsFolderName) {
    auto doc = TETemplateDocument::loadFromFolder(makeTemplate(folder(""), "Wedding Strip", R"(
<template width="600" height="1800"><layer type="photo" x="0" y="0" width="600" height="1800"/></template>)"));
    ASSERT_TRUE(doc);
    EXPECT_EQ(doc->name, "Wedding Strip");
    ASSERT_TRUE(solid(Qt::red).save(folder("photo.png")));
    QString error;
    auto result = LayoutEngine(doc).layoutPhotos({folder("photo.png")}, &error, folder("prints"));
    ASSERT_TRUE(result) << error.toStdString();
    // 600 x 1800 pixels make a 2 x 6 inch strip only at 300 dots an inch.
    EXPECT_NEAR(QImage(result->printPath).dotsPerMeterX() * 0.0254, 300, 1);
    EXPECT_NEAR(QImage(result->printPath).dotsPerMeterY() * 0.0254, 300, 1);
}

TEST_F(PrintFaults, TwoPhotosInFourSlotsAlternate) {
    auto doc = TETemplateDocument::loadFromFolder(makeTemplate(folder(""), "strip", R"(
<template width="100" height="400">
  <layer type="photo" x="0" y="0" width="100" height="100"/>
  <layer type="photo" x="0" y="100" width="100" height="100"/>
  <layer type="photo" x="0" y="200" width="100" height="100"/>
  <layer type="photo" x="0" y="300" width="100" height="100"/>
</template>)"));
    ASSERT_TRUE(doc);
    const QImage print = LayoutEngine(doc).composePrint({solid(Qt::red), solid(Qt::blue)});
    EXPECT_GT(print.pixelColor(50, 50).red(), 200);
    EXPECT_GT(print.pixelColor(50, 150).blue(), 200);
    EXPECT_GT(print.pixelColor(50, 250).red(), 200);
    EXPECT_GT(print.pixelColor(50, 350).blue(), 200);
}

TEST_F(PrintFaults, ALayerImageThatBrokeAfterLoadingStopsThePrintInsteadOfLeavingItOut) {
    const QString path = makeTemplate(folder(""), "titled", R"(
<template width="100" height="100">
  <layer type="photo" x="0" y="0" width="100" height="50"/>
  <layer type="image" file="title.png" x="0" y="50" width="100" height="50"/>
</template>)");
    ASSERT_TRUE(solid(Qt::black).save(path + "/title.png"));
    auto doc = TETemplateDocument::loadFromFolder(path);
    ASSERT_TRUE(doc);
    QFile title(path + "/title.png");
    ASSERT_TRUE(title.open(QIODevice::WriteOnly | QIODevice::Truncate));
    title.write("half a png");
    title.close();
    ASSERT_TRUE(solid(Qt::red).save(folder("photo.png")));
    QString error;
    EXPECT_FALSE(LayoutEngine(doc).layoutPhotos({folder("photo.png")}, &error, folder("prints")));
    EXPECT_TRUE(error.contains("title.png")) << error.toStdString();
    EXPECT_TRUE(QDir(folder("prints")).entryList(QDir::Files).isEmpty());
}

TEST_F(PrintFaults, AQRCodePrintThatCannotBeWrittenIsAnError) {
    auto doc = TETemplateDocument::loadFromFolder(makeTemplate(folder(""), "qr", R"(
<template width="100" height="100">
  <layer type="photo" x="0" y="0" width="50" height="100"/>
  <layer type="qrcode" x="50" y="0" width="50" height="50"/>
</template>)"));
    ASSERT_TRUE(doc);
    ASSERT_TRUE(solid(Qt::red).save(folder("photo.png")));
    LayoutEngine engine(doc);
    QString error;
    ASSERT_TRUE(engine.layoutPhotos({folder("photo.png")}, &error, folder("prints"))) << error.toStdString();
    QFile blocker(folder("blocked"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    EXPECT_FALSE(engine.layoutWithQRCode(solid(Qt::black), folder("blocked/with-qr.jpg"), &error));
    EXPECT_TRUE(error.contains("with-qr.jpg")) << error.toStdString();
}

TEST_F(PrintFaults, TransparentPartsArePrintedWhiteNotBlack) {
    QImage overlay(40, 40, QImage::Format_ARGB32);
    overlay.fill(Qt::transparent);
    const QString path = folder("overlay.jpg");
    ASSERT_TRUE(saveImageAtURLAsJPEG(overlay, path));
    EXPECT_GT(QImage(path).pixelColor(20, 20).lightness(), 240);
}

TEST_F(PrintFaults, ARenamedTemplateStaysSelectedAfterAReload) {
    const QString templates = WrenUtils::getTemplatesFolderPath();
    makeTemplate(templates, "Classic Strip", R"(
<template name="Classic Strip" width="10" height="10"><layer type="photo" x="0" y="0" width="5" height="5"/></template>)");
    makeTemplate(templates, "Wedding", R"(
<template name="Anna and Ben" width="10" height="10"><layer type="photo" x="0" y="0" width="5" height="5"/></template>)");
    auto& library = TETemplateLibrary::sharedLibrary();
    library.reloadTemplates();
    ASSERT_TRUE(library.selectTemplate("Wedding"));
    library.reloadTemplates();
    EXPECT_EQ(QString::fromStdString(UserDefaults::standard().string("SELECTED_TEMPLATE")), "Wedding");
    EXPECT_EQ(library.selectedTemplatePath(), templates + "/Wedding");
}

}  // namespace
