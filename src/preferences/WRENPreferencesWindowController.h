#pragma once
// The preferences window: a toolbar with one button per pane and the selected
// pane's view below it, resized (keeping the top edge) on every switch. The
// selected pane, the window position and each pane's size are remembered in
// the user defaults.
#include <QAction>
#include <QActionGroup>
#include <QMainWindow>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QToolBar>
#include <QWidgetAction>

#include <map>
#include <vector>

#include "preferences/WRENPreferencesViewController.h"

class WRENPreferencesWindowController : public QObject {
    Q_OBJECT
public:
    // An entry that is null stands for a flexible space between toolbar buttons.
    WRENPreferencesWindowController(std::vector<WRENPreferencesViewController*> viewControllers,
                                    const QString& title = QString());
    ~WRENPreferencesWindowController() override;

    void addViewController(WRENPreferencesViewController* controller);
    void showWindow();
    void selectControllerAtIndex(std::size_t index);
    void goNextTab();
    void goPreviousTab();
    WRENPreferencesViewController* viewControllerForIdentifier(const QString& identifier) const;
    WRENPreferencesViewController* firstViewController() const;
    void setSelectedViewController(WRENPreferencesViewController* controller);
    WRENPreferencesViewController* selectedViewController() const { return selected_; }
    const std::vector<WRENPreferencesViewController*>& viewControllers() const { return controllers_; }
    QString title() const { return title_; }
    QStringList toolbarItemIdentifiers() const;
    // -1 when nothing is selected.
    int indexOfSelectedController() const;

    QMainWindow* window() const { return window_; }
    QToolBar* toolbar() const { return toolbar_; }
    // Whether the window offers resizing (grip and zoom) for the selected pane.
    bool isResizable() const { return resizable_; }
    // Asks to close: false when the selected pane keeps an edit open.
    bool windowShouldClose();

    // Rectangle and point texts as stored: "{{x, y}, {w, h}}" and "{x, y}".
    static QString stringFromRect(const QRect& r);
    static QRect rectFromString(const QString& s);
    static QString stringFromPoint(const QPoint& p);
    static std::optional<QPoint> pointFromString(const QString& s);
    // Where a window of `size` whose top-left was stored at `topLeft` opens:
    // inside the screen area holding that point (else the nearest one), as
    // far as its size allows. No areas: the point as it is.
    static QPoint clampedTopLeft(QPoint topLeft, QSize size, const QList<QRect>& availableAreas);

signals:
    void didChangeView();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void windowDidLoad();
    void windowDidMove();
    void windowDidResize();
    void rebuildToolbar();
    void checkToolbarItem(const QString& identifier);
    bool resizableIn(WRENPreferencesViewController* c, bool width) const;

    std::vector<WRENPreferencesViewController*> controllers_;
    std::map<QString, QRect> minimumViewRects_;
    QString title_;
    WRENPreferencesViewController* selected_ = nullptr;
    QMainWindow* window_ = nullptr;
    QToolBar* toolbar_ = nullptr;
    QActionGroup* group_ = nullptr;
    QWidgetAction* closeAction_ = nullptr;  // the Close button at the toolbar's end
    bool resizable_ = false;
    bool settingFrame_ = false;
};
