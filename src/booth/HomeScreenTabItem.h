#pragma once
// The home screen: the start text over the operator's background image. A
// click or the space bar asks for a session.
#include <QColor>
#include <QElapsedTimer>
#include <QImage>

#include "booth/WrenTabItem.h"

class QLabel;
class QVBoxLayout;
class GreenBackgroundsPreviewView;

class HomeScreenTabItem : public WrenTabItem {
    Q_OBJECT
public:
    explicit HomeScreenTabItem(QWidget* parent = nullptr);

    // Reads START_TEXT, HOME_SCREEN_BACKGROUND (the colour),
    // BACKGROUND_TYPE_SELECTION (0: the colour only, 1: the image over it) and
    // BACKGROUND_IMAGE again (the image loads in the background).
    void refresh();
    // Where the green-screen background chooser is shown before a session;
    // empty and hidden until something is put into it.
    QWidget* backgroundChooserHost() const { return chooserHost_; }
    // With green screen on: the guest's background chooser (manual
    // selection), or a session at once (automatic). False, with a message,
    // when there are no backgrounds.
    bool presentBackgroundChooser();
    // Shows the chooser when green screen is on with the guest's choice.
    void presentBackgroundChooserIfNeeded();
    void hideBackgroundChooser();
    GreenBackgroundsPreviewView* backgroundChooser() const { return chooser_; }
    QString startText() const;
    // What the screen paints behind the start text.
    QColor backgroundColour() const { return backgroundColour_; }
    bool showsImage() const { return !background_.isNull(); }
    // Takes no tap for the next `ms` milliseconds: the rest of a tap meant
    // for the screen that just gave way.
    void holdTaps(int ms);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QLabel* startLabel_ = nullptr;
    QWidget* chooserHost_ = nullptr;
    GreenBackgroundsPreviewView* chooser_ = nullptr;
    QString backgroundPath_;
    QImage background_;
    QColor backgroundColour_{24, 28, 36};
    QElapsedTimer tapsHeld_;
    int tapsHeldFor_ = 0;
};
