#pragma once
// The guest's background chooser before a session: a preview of the chosen
// background, a strip of all backgrounds with left and right buttons, and a
// go button that stores the choice and asks for the session.
#include <QFrame>
#include <QWidget>

#include <vector>

#include "base/NotificationCenter.h"
#include "greenscreen/BackgroundImage.h"

class QHBoxLayout;
class QLabel;
class QPushButton;
class QScrollArea;

inline constexpr const char* kPreviewBackgroundImageChangedNotification = "PreviewBackgroundImageChangedNotification";

// One background in the strip: its image with its overlay over it.
class GreenBackgroundPreviewItem : public QFrame {
    Q_OBJECT
public:
    explicit GreenBackgroundPreviewItem(const BackgroundImagePtr& background, QWidget* parent = nullptr);
    const BackgroundImagePtr& representedObject() const { return background_; }
    // Selected: blue border, and PreviewBackgroundImageChangedNotification
    // with {"selectedImages": the background}.
    void setSelected(bool selected);
    bool isSelected() const { return selected_; }

signals:
    void clicked(GreenBackgroundPreviewItem* item);

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    BackgroundImagePtr background_;
    bool selected_ = false;
};

class GreenBackgroundsPreviewView : public QWidget {
    Q_OBJECT
public:
    explicit GreenBackgroundsPreviewView(QWidget* parent = nullptr);
    ~GreenBackgroundsPreviewView() override;

    void loadBackgroundsImages();
    // Shows the chooser (manual selection) or asks for the session at once
    // (automatic); false, with a message, when there are no backgrounds.
    bool presentViewForGreenBackgroundSelection();
    // "rightSideScrollButton" or "leftSideScrollButton".
    void useDidPressScrollButton(const QString& identifier);
    void userDidPressGoButton();
    void clearImages();

    const std::vector<BackgroundImagePtr>& backgroundImages() const { return backgroundImages_; }
    int selectedIndex() const { return selected_; }
    QWidget* goButtonBox() const { return goButtonBox_; }
    QLabel* previewImageView() const { return previewImageView_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void select(int index);
    void userDidChangedBackgroundPreviewImage(const base::Notification& note);
    void updateCollectionViewScroll();

    QLabel* previewImageView_ = nullptr;
    QScrollArea* collectionView_ = nullptr;
    QHBoxLayout* strip_ = nullptr;
    QFrame* goButtonBox_ = nullptr;
    std::vector<BackgroundImagePtr> backgroundImages_;
    std::vector<GreenBackgroundPreviewItem*> items_;
    int selected_ = -1;
    base::NotificationCenter::ObserverId observer_ = 0;
};
