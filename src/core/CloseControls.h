#pragma once
// What closes an operator's window where nothing else offers to. A kiosk
// often runs with no window manager: no title bar, no close box, no Alt+F4.
// Each operator window then closes on Ctrl+W (and the desktop's other close
// keys) and Escape, and shows a Close button big enough for a finger where
// no close box is drawn.
#include <QString>

class QAbstractButton;
class QWidget;

namespace CloseControls {

// Whether something other than the booth draws windows' frames with a close
// box: a window manager on X11, the compositor (or the toolkit's own frames)
// on Wayland. Not on a bare X display, a frame buffer or with no display.
bool windowManagerDrawsCloseBox();

// The window's close keys: each closes `window` as its close box would
// (the window may still refuse). A control that wants the key keeps it; an
// open list, or a tool panel of the window, closes instead of the window;
// a dialog of the window has the keyboard to itself.
void addCloseKeys(QWidget* window);

// Makes `button` (titled "Close" when it has no title) a Close button a
// finger can hit: it closes `window` as its close box would and, each time
// `window` shows, shows only where no close box is drawn.
void makeCloseButton(QAbstractButton* button, QWidget* window);

}  // namespace CloseControls
