#pragma once
// The panel in which the operator adds one background: a background image
// (required) and an overlay (optional, drawn over the keyed photo).
#include <QDialog>

#include "greenscreen/BackgroundImage.h"

class QLineEdit;
class QPushButton;

class BackgroundImageSelectorPanelDelegate {
public:
    virtual ~BackgroundImageSelectorPanelDelegate() = default;
    virtual void userDidAddedNewBGAndOverlayImages(const BackgroundImagePtr& background) = 0;
};

class BackgroundImageSelectorPanel : public QDialog {
    Q_OBJECT
public:
    explicit BackgroundImageSelectorPanel(QWidget* parent = nullptr);

    // Starts a new background: drops the one being assembled, empties the names.
    void prepareToShowPanel();
    // `identifier` "backgroundButton" chooses the background, anything else the overlay.
    void browseForImage(const QString& identifier);
    void saveButtonDidClicked();
    // Cancel, Escape, or the window closing: the panel closes, adding nothing.
    void reject() override;

    BackgroundImageSelectorPanelDelegate* delegate() const { return delegate_; }
    void setDelegate(BackgroundImageSelectorPanelDelegate* delegate) { delegate_ = delegate; }
    QLineEdit* backgroundImageName() const { return backgroundImageName_; }
    QLineEdit* overlayImageName() const { return overlayImageName_; }
    const BackgroundImagePtr& imagesInfo() const { return imagesInfo_; }

private:
    BackgroundImagePtr imagesInfo_;
    BackgroundImageSelectorPanelDelegate* delegate_ = nullptr;
    QLineEdit* backgroundImageName_ = nullptr;
    QLineEdit* overlayImageName_ = nullptr;
};
