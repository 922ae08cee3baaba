#include "preferences/Preferences.h"

#include "base/NotificationCenter.h"
#include "preferences/GeneralPreferencesViewController.h"
#include "preferences/PreferencePane.h"
#include "preferences/SharingPreferencesViewController.h"
#include "preferences/SoundPreferencesViewController.h"
#include "preferences/WRENPreferencesWindowController.h"

namespace Preferences {

std::vector<WRENPreferencesViewController*> makePanes() {
    return {new GeneralPreferencesViewController(), new ShootingPreferencesViewController(),
            new PrintPreferencesViewController(), new DisplayPrefrencesViewController(),
            new SharingPreferencesViewController(), new SoundPreferencesViewController()};
}

namespace {
WRENPreferencesWindowController* made = nullptr;
}

WRENPreferencesWindowController* sharedWindowController() {
    static WRENPreferencesWindowController* controller = made =
        new WRENPreferencesWindowController(makePanes(), "flashwren Preferences");
    return controller;
}

QWidget* shownWindow() {
    QWidget* window = made ? made->window() : nullptr;
    return window && window->isVisible() ? window : nullptr;
}

void showPreferences() {
    sharedWindowController()->showWindow();
    base::NotificationCenter::defaultCenter().post("WRENPreferencesWindowControllerDidOpenNotification");
}

}  // namespace Preferences
