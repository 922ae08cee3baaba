#pragma once
#include <QApplication>

#include "TempDir.h"
#include "core/UserDefaults.h"

// Every test gets a home of its own and a QApplication.
inline QApplication& testApp() {
    static int argc = 1;
    static char name[] = "test_preferences";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}
