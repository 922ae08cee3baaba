#include "greenscreen/BackgroundImageSelectorPanel.h"

#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "core/ProgressWindowController.h"
#include "core/WrenUtils.h"
#include "greenscreen/GreenScreenViews.h"

BackgroundImageSelectorPanel::BackgroundImageSelectorPanel(QWidget* parent) : QDialog(parent, Qt::Tool) {
    setObjectName(QStringLiteral("BackgroundImageSelectorPanel"));
    setWindowTitle(QStringLiteral("Add Background"));
    setStyleSheet(QStringLiteral("#BackgroundImageSelectorPanel { background: white; }"));
    auto* grid = new QGridLayout(this);
    auto row = [&](int r, const QString& label, QLineEdit*& field, const QString& identifier) {
        grid->addWidget(new QLabel(label, this), r, 0);
        field = new QLineEdit(this);
        field->setReadOnly(true);
        field->setMinimumWidth(240);
        grid->addWidget(field, r, 1);
        auto* browse = new QPushButton(QStringLiteral("Browse..."), this);
        browse->setObjectName(identifier);
        grid->addWidget(browse, r, 2);
        connect(browse, &QPushButton::clicked, this, [this, identifier] { browseForImage(identifier); });
    };
    row(0, QStringLiteral("Background image:"), backgroundImageName_, QStringLiteral("backgroundButton"));
    row(1, QStringLiteral("Overlay image (PNG, optional):"), overlayImageName_, QStringLiteral("overlayButton"));
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    grid->addWidget(cancel, 2, 1, Qt::AlignRight);
    connect(cancel, &QPushButton::clicked, this, [this] { reject(); });
    auto* save = new QPushButton(QStringLiteral("Save"), this);
    save->setObjectName(QStringLiteral("saveButton"));
    save->setDefault(true);
    grid->addWidget(save, 2, 2);
    connect(save, &QPushButton::clicked, this, [this] { saveButtonDidClicked(); });
}

void BackgroundImageSelectorPanel::reject() {
    // What was chosen so far is dropped with the panel.
    imagesInfo_.reset();
    QDialog::reject();
}

void BackgroundImageSelectorPanel::prepareToShowPanel() {
    imagesInfo_.reset();
    backgroundImageName_->clear();
    overlayImageName_->clear();
}

void BackgroundImageSelectorPanel::browseForImage(const QString& identifier) {
    const bool background = identifier == QLatin1String("backgroundButton");
    const QStringList types = background ? QStringList{"jpg", "JPG", "png", "jpeg", "JPEG", "PNG"}
                                         : QStringList{"PNG", "png"};
    if (!imagesInfo_) imagesInfo_ = std::make_shared<BackgroundImage>();
    const QString path = GreenScreenHooks::chooseImageFile(this, types);
    if (path.isNull()) return;  // cancelled
    if (path.isEmpty()) {
        ProgressWindowController::sharedPrgoressWindowController()->showWindowWithErrorImageAndMessage(
            QStringLiteral("Unable to load the image, please try again."), 3.0);
        return;
    }
    const QImage image = loadPreviewImage(path);
    if (background) {
        imagesInfo_->imageURL = path;
        imagesInfo_->image = image;
        backgroundImageName_->setText(QFileInfo(path).fileName());
    } else {
        imagesInfo_->overlayImageURL = path;
        imagesInfo_->overlayImage = image;
        overlayImageName_->setText(QFileInfo(path).fileName());
    }
}

void BackgroundImageSelectorPanel::saveButtonDidClicked() {
    if (!imagesInfo_ || !WrenUtils::isValidImage(imagesInfo_->image)) {
        ProgressWindowController::sharedPrgoressWindowController()->showWindowWithErrorImageAndMessage(
            QStringLiteral("Background image is required."), 3.0);
        return;
    }
    if (!delegate_) return;
    hide();
    // Each hand-over is a background of its own: the next showing starts anew.
    BackgroundImagePtr added = std::move(imagesInfo_);
    imagesInfo_.reset();
    // The timer belongs to the panel, which the window owns: when the window
    // goes first, the hand-over goes with it.
    QTimer::singleShot(50, this, [this, added] {
        if (delegate_) delegate_->userDidAddedNewBGAndOverlayImages(added);
    });
}
