#pragma once
// The main window: its content view holds the three screens, one shown at a
// time, accepts image files dropped on it and toggles full screen (F11).
// It takes the keyboard back whenever another of the booth's windows closes.
// Closing it quits the booth.
#include <QMainWindow>
#include <QRect>
#include <QStringList>

class QLabel;
class QStackedLayout;
class QWindow;
class HomeScreenTabItem;
class SessionScreenTabItem;
class SharingScreenTabItem;

class MainContentViewDelegate {
public:
    virtual ~MainContentViewDelegate() = default;
    virtual void contentViewDidReceiveDroppedFiles(const QStringList& paths) = 0;
};

class MainContentView : public QWidget {
    Q_OBJECT
public:
    explicit MainContentView(QWidget* parent = nullptr);
    void setDelegate(MainContentViewDelegate* delegate) { delegate_ = delegate; }

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    MainContentViewDelegate* delegate_ = nullptr;
};

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);

    MainContentView* contentView() const { return content_; }
    HomeScreenTabItem* homeScreen() const { return home_; }
    SessionScreenTabItem* sessionScreen() const { return session_; }
    SharingScreenTabItem* sharingScreen() const { return sharing_; }
    void selectScreen(QWidget* screen);
    QWidget* selectedScreen() const;
    void toggleFullScreen();
    // Whether the window is full screen, with a window manager or without.
    bool isFullScreenShown() const { return fullScreen_; }
    // Raises the booth's other open windows over this one, in their order,
    // each panel or dialog over the window it was opened from and floating
    // messages over all; returns the window that should have the keys (an
    // open dialog first), or none.
    QWindow* raiseOpenWindows();
    // The operator's standing notices as shown, "" when none.
    QString noticeText() const;

signals:
    void fullScreenChanged(bool fullScreen);
    void windowWillClose();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    MainContentView* content_ = nullptr;
    QStackedLayout* stack_ = nullptr;
    HomeScreenTabItem* home_ = nullptr;
    SessionScreenTabItem* session_ = nullptr;
    SharingScreenTabItem* sharing_ = nullptr;
    bool coversItsScreen() const;
    void updateNotice();
    void placeNotice();
    QLabel* notice_ = nullptr;
    // Gives the keyboard to the window `closed` was opened from, else to
    // this one, unless another window has it.
    void takeKeyboardBack(QWindow* closed, QWindow* openedFrom);
    // Whether `event` is F11 repeating as a plain press; it then switches nothing.
    bool isF11Repeat(QEvent* event);
    quint64 lastF11Release_ = 0;  // the X server's moment of the last release of F11
    bool fullScreen_ = false;
    // Where the window was before it went full screen.
    QRect normalGeometry_;
};
