#include <gtest/gtest.h>

#include <QDir>
#include <QPixmap>

#include "PreferencesTestMain.h"
#include "preferences/Preferences.h"
#include "preferences/WRENPreferencesViewController.h"

// Renders every pane into build/screenshots/preferences so they can be looked at.
TEST(PreferencesScreenshots, EveryPaneRenders) {
    testApp();
    testsupport::ScopedHome home;
    QString out = QStringLiteral(FLASHWREN_BINARY_DIR) + "/screenshots/preferences";
    QDir().mkpath(out);
    for (auto* pane : Preferences::makePanes()) {
        QWidget* v = pane->view();
        pane->viewWillAppear();
        v->show();
        QPixmap shot = v->grab();
        EXPECT_FALSE(shot.isNull()) << pane->identifier().toStdString();
        EXPECT_GT(shot.width(), 100);
        EXPECT_TRUE(shot.save(out + "/" + pane->identifier() + ".png"));
        delete pane;
    }
}
