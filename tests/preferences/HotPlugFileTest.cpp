// The desktop's handler list for cameras, as the hot-plug setting edits it:
// other sections stay where they are, and a write that failed is tried again.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include "TempDir.h"
#include "preferences/HotPlugRegistration.h"

namespace {

QString readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

void writeAll(const QString& path, const char* text) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text);
}

TEST(HotPlugFile, ANewHandlerGoesIntoItsOwnSectionNotTheNextOne) {
    testsupport::TempDir dir;
    const QString path = QString::fromStdString(dir.file("mimeapps.list"));
    writeAll(path, "[Default Applications]\ntext/html=browser.desktop;\n[Added Associations]\nimage/png=viewer.desktop;\n");
    {
        MimeAppsHotPlugPreferences p(path);
        applyShouldAutoLaunch(p, true, "flashwren.desktop");
    }
    MimeAppsHotPlugPreferences back(path);
    EXPECT_EQ(back.value("HotPlugActionPath").value_or(QVariant()).toString(), "flashwren.desktop");
    const QString text = readAll(path);
    EXPECT_LT(text.indexOf("x-content/image-dcf=flashwren.desktop;"), text.indexOf("[Added Associations]")) << text.toStdString();
    EXPECT_TRUE(text.contains("[Added Associations]\nimage/png=viewer.desktop;")) << text.toStdString();

    // Turning it off again removes our line and leaves the rest.
    applyShouldAutoLaunch(back, false, "flashwren.desktop");
    EXPECT_FALSE(readAll(path).contains("flashwren.desktop"));
    EXPECT_TRUE(readAll(path).contains("text/html=browser.desktop;"));
}

TEST(HotPlugFile, AWriteThatFailedIsTriedAgainNotForgotten) {
    testsupport::TempDir dir;
    const QString folder = QString::fromStdString(dir.file("config"));
    const QString path = folder + "/mimeapps.list";
    writeAll(folder, "a file where the folder belongs");
    MimeAppsHotPlugPreferences p(path);
    p.setValue("HotPlugActionPath", QString("flashwren.desktop"));
    EXPECT_FALSE(p.synchronize());
    ASSERT_TRUE(QFile::remove(folder));
    EXPECT_TRUE(p.synchronize());
    EXPECT_TRUE(readAll(path).contains("x-content/image-dcf=flashwren.desktop;"));
}

}  // namespace
