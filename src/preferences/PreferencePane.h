#pragma once
// Common ground of the panes: a view built in code, a settings binder, and
// hooks that tests replace for the modal panels.
#include <QColor>
#include <QObject>
#include <QString>
#include <QWidget>

#include <functional>

#include "preferences/SettingsBinder.h"
#include "preferences/WRENPreferencesViewController.h"

class ClickableLabelTextField;

class PreferencePane : public QObject, public WRENPreferencesViewController {
    Q_OBJECT
public:
    PreferencePane(QString identifier, QString imageName, QString label);
    ~PreferencePane() override;

    QString identifier() const override { return identifier_; }
    QIcon toolbarItemImage() const override { return preferencesImageNamed(imageName_); }
    QString toolbarItemLabel() const override { return label_; }
    QWidget* view() override;
    // The settings this pane lets the operator set (its view is built first).
    QStringList offeredSettings();

    // Modal panels, replaceable in tests: a folder or file chooser (returns ""
    // on cancel), a yes/no question, and opening an address.
    std::function<QString(const QString& title)> chooseFolder;
    std::function<QString(const QString& title, const QStringList& extensions)> chooseFile;
    std::function<bool(const QString& message)> confirm;
    std::function<void(const QString& url)> openURL;

protected:
    // Builds the pane's controls into `view` (called once, on first use).
    virtual void buildView(QWidget* view) = 0;
    // A label drawn as a link that calls `action` when clicked.
    ClickableLabelTextField* makeLink(const QString& text, const QString& objectName, std::function<void()> action);
    SettingsBinder* binder() { return binder_; }
    // The window the pane is shown in, which its panels belong to.
    QWidget* dialogParent() const;

private:
    QString identifier_, imageName_, label_;
    QWidget* view_ = nullptr;
    SettingsBinder* binder_ = nullptr;
};

// The panes that the preferences window shows, in toolbar order.
class ShootingPreferencesViewController : public PreferencePane {
    Q_OBJECT
public:
    ShootingPreferencesViewController();

protected:
    void buildView(QWidget* view) override;
};

class PrintPreferencesViewController : public PreferencePane {
    Q_OBJECT
public:
    PrintPreferencesViewController();
    ~PrintPreferencesViewController() override;
    // Limits MAX_PRINTS_PER_SESSION to 10, stores it back as a number (unless
    // `store` is false) and shows it.
    void validatePrintCount(bool store = true);
    void sessionPrintCountDidChanged();
    void viewWillDisappear() override;
    void showPrinterSetupWebPage();
    QWidget* numberOfPrintsPerSessionTextField() const;

protected:
    void buildView(QWidget* view) override;

private:
    void addCountObserver();
    void removeCountObserver();
    class QLineEdit* field_ = nullptr;
    QString shownCount_;
    std::uint64_t observer_ = 0;
};

class DisplayPrefrencesViewController : public PreferencePane {
    Q_OBJECT
public:
    DisplayPrefrencesViewController();
    void useDidClickToChooseBackgroundImage();
    void userDidClickToClearBackgroundImage();
    // Stores the chosen colour as "#rrggbb" under HOME_SCREEN_BACKGROUND.
    void userDidClickToChooseHomeScreenColour();
    // The colour chooser (an invalid colour on cancel); tests replace it.
    std::function<QColor(const QColor& current)> chooseColor;

protected:
    void buildView(QWidget* view) override;
};
