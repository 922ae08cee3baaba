// The folder camera as a camera model, heard directly: what it reports when
// its folder holds camera-style names, loses a photo or is empty.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>

#include <vector>

#include "TempDir.h"
#include "camera/CameraErrors.h"
#include "camera/FolderCameraModel.h"

namespace {

struct Heard : CameraModelBaseDelegate {
    void cameraDidDownloadImage(CameraModelBase*, const QString& path) override { downloaded << path; }
    void cameraReadyToTakePhoto(CameraModelBase*) override { ++ready; }
    void cameraDidReceiveLiveViewImage(CameraModelBase*, const QImage&) override {}
    void cameraDidFailToTakePicture(CameraModelBase*, int code) override { failures.push_back(code); }
    void cameraDidStartLiveView(CameraModelBase*) override {}
    QStringList downloaded;
    int ready = 0;
    std::vector<int> failures;
};

class FolderCamera : public ::testing::Test {
protected:
    void SetUp() override {
        QDir().mkpath(photos());
        camera.setIncomingFolder(QString::fromStdString(dir.path()) + "/incoming");
        camera.setDelegate(&heard);
    }
    ~FolderCamera() override { camera.setDelegate(nullptr); }
    QString photos() const { return QString::fromStdString(dir.path()) + "/photos"; }
    void addPhoto(const QString& name) {
        QImage image(32, 24, QImage::Format_RGB32);
        image.fill(Qt::red);
        ASSERT_TRUE(image.save(photos() + "/" + name, "JPG"));
    }

    testsupport::TempDir dir;
    FolderCameraModel camera{QString::fromStdString(dir.path()) + "/photos"};
    Heard heard;
};

TEST_F(FolderCamera, CameraStyleUpperCaseNamesAreServed) {
    addPhoto("IMG_0001.JPG");
    ASSERT_TRUE(camera.prepareForNewSession());
    camera.takePicture();
    ASSERT_EQ(heard.downloaded.size(), 1);
    EXPECT_FALSE(QImage(heard.downloaded.first()).isNull());
}

TEST_F(FolderCamera, APhotoGoneBeforeItsCopyIsADownloadFailureNotAMissingFile) {
    addPhoto("a.jpg");
    ASSERT_TRUE(camera.prepareForNewSession());
    ASSERT_TRUE(QFile::remove(photos() + "/a.jpg"));  // the card was pulled
    camera.takePicture();
    EXPECT_TRUE(heard.downloaded.isEmpty());
    EXPECT_EQ(heard.failures, std::vector<int>{CameraMessageDownloadFailed});
}

TEST_F(FolderCamera, AnEmptyFolderIsNeverReadyAndSaysNoCamera) {
    EXPECT_FALSE(camera.prepareForNewSession());
    EXPECT_EQ(heard.ready, 0) << "a session must not start on a camera with nothing to give";
    camera.takePicture();
    EXPECT_EQ(heard.failures, std::vector<int>{CameraMessageNoCamera});
}

// Work that depends on the photo's size is done before the photo exists, so
// the size told must be the one the next photo arrives with, upright.
TEST_F(FolderCamera, TellsTheSizeOfTheNextPhotoUpright) {
    EXPECT_TRUE(camera.expectedPhotoSize().isEmpty());
    addPhoto("a.jpg");  // 32 x 24
    QImage wide(40, 20, QImage::Format_RGB32);
    wide.fill(Qt::blue);
    QImageWriter writer(photos() + "/b.jpg", "jpg");
    writer.setTransformation(QImageIOHandler::TransformationRotate90);  // shot with the camera on its side
    ASSERT_TRUE(writer.write(wide));
    ASSERT_TRUE(camera.prepareForNewSession());

    EXPECT_EQ(camera.expectedPhotoSize(), QSize(32, 24));
    camera.takePicture();
    EXPECT_EQ(camera.expectedPhotoSize(), QSize(20, 40));
    camera.takePicture();
    ASSERT_EQ(heard.downloaded.size(), 2);
    QImageReader upright(heard.downloaded.at(1));
    upright.setAutoTransform(true);
    EXPECT_EQ(upright.read().size(), QSize(20, 40));
    EXPECT_EQ(camera.expectedPhotoSize(), QSize(32, 24)) << "the photos are taken in turn";
}

}  // namespace
