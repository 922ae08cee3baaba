#pragma once
// What every preference pane offers the preferences window.
#include <QIcon>
#include <QString>
#include <QWidget>

#include <optional>

class WRENPreferencesViewController {
public:
    // Autoresizing flags of a pane view that answers neither resizable operation.
    static constexpr int kWidthSizable = 2;
    static constexpr int kHeightSizable = 16;

    virtual ~WRENPreferencesViewController() = default;
    virtual QString identifier() const = 0;
    virtual QIcon toolbarItemImage() const = 0;
    virtual QString toolbarItemLabel() const = 0;
    virtual QWidget* view() = 0;

    virtual void viewWillAppear() {}
    virtual void viewWillDisappear() {}
    virtual void viewDidDisappear() {}
    virtual QWidget* initialKeyView() { return nullptr; }
    virtual void perfWindowDidOpended() {}
    // None: the pane does not answer, and its view's autoresizing mask decides.
    virtual std::optional<bool> hasResizableWidth() const { return std::nullopt; }
    virtual std::optional<bool> hasResizableHeight() const { return std::nullopt; }
    virtual int autoresizingMask() const { return 0; }
    // False keeps the pane selected (or the window open) while an edit is open.
    virtual bool commitEditing() { return true; }
};

// Loads a toolbar image from the resources folder "Images" ("<name>.png").
QIcon preferencesImageNamed(const QString& name);
