#pragma once
// The application's preferences window with its six panes, made on first use.
#include <vector>

class QWidget;
class WRENPreferencesWindowController;
class WRENPreferencesViewController;

namespace Preferences {
// The panes in toolbar order: General, Shooting, Print, Display, Sharing, Sounds.
std::vector<WRENPreferencesViewController*> makePanes();
WRENPreferencesWindowController* sharedWindowController();
// Shows the window and posts "WRENPreferencesWindowControllerDidOpenNotification".
void showPreferences();
// The preferences window while it shows, else null (nothing is made).
QWidget* shownWindow();
}  // namespace Preferences
