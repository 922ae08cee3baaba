#pragma once
// Shared set-up of the booth-core tests: a temporary home, the shared
// database opened in it, and a Qt application for the window tests.
#include <gtest/gtest.h>

#include <QApplication>

#include <memory>
#include <string>

#include "TempDir.h"
#include "core/Database.h"
#include "core/Models.h"
#include "core/MediaItemHelper.h"

inline std::string migrationsDir() { return std::string(FLASHWREN_SOURCE_DIR) + "/resources/migrations"; }

inline QApplication& testApp() {
    static int argc = 1;
    static char name[] = "test_core";
    static char* argv[] = {name, nullptr};
    static QApplication* app = qApp ? static_cast<QApplication*>(qApp) : new QApplication(argc, argv);
    return *app;
}

class CoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(WrenDatabase::openShared(dbPath(), migrationsDir())) << WrenDatabase::shared().lastError();
        MediaItemHelper::clearCache();
        MediaItemHelper::setUploadStarter(nullptr);
        MediaItemHelper::setClock(nullptr);
    }
    void TearDown() override {
        // Progress still on its way belongs to this test's database.
        MediaItemModel::finishStoringProgress();
        WrenDatabase::shared().close();
    }
    std::string dbPath() const { return home.path() + "/db/flashwren_db.sqlite"; }

    testsupport::ScopedHome home;
};
