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

WRENPreferencesWindowController* sharedWindowController() {
    static WRENPreferencesWindowController* controller =
        new WRENPreferencesWindowController(makePanes(), "flashwren Preferences");
    return controller;
}

void showPreferences() {
    sharedWindowController()->showWindow();
    base::NotificationCenter::defaultCenter().post("WRENPreferencesWindowControllerDidOpenNotification");
}

}  // namespace Preferences
