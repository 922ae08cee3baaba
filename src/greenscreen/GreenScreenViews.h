#pragma once
// The small views of the green-screen window: the key-colour swatch that
// arms colour picking, the preview that reads the colour under the pointer,
// a thumbnail of the background list, the window's white content view, and
// the hooks through which the windows reach the desktop (file choosers,
// alerts, the keying-engine check), which tests replace.
#include <QColor>
#include <QFrame>
#include <QImage>
#include <QRectF>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <optional>

#include "greenscreen/BackgroundImage.h"

class QLabel;
class QPushButton;

inline constexpr const char* kBackgroundImageChangedNotification = "BackgroundImageChangedNotification";
inline constexpr const char* kBackgroundImageDeleteNotification = "BackgroundImageDeleteNotification";
inline constexpr const char* kSelectedImagesKey = "selectedImages";

struct GreenScreenHooks {
    // An open panel for one image file of the given suffixes; "" when cancelled.
    static std::function<QString(QWidget* parent, const QStringList& suffixes)> chooseImageFile;
    // A modal alert (style 2 = critical).
    static std::function<void(const QString& message, const QString& information, int style)> showAlert;
    // Whether the keying engine can run here.
    static std::function<bool()> keyingEngineSupported;
    static void reset();
};

// Loads an image for showing in the windows: EXIF orientation applied, and
// decoded at most `maxSide` pixels on its longer side. Null when unreadable.
QImage loadPreviewImage(const QString& path, int maxSide = 1600);

class KeyColorViewDelegate {
public:
    virtual ~KeyColorViewDelegate() = default;
    virtual void didReceiveMouseDownOnKeyColorView() = 0;
};

class MergedImageViewDelegate {
public:
    virtual ~MergedImageViewDelegate() = default;
    virtual void keyCodeDidChanged(const QColor& color) = 0;             // clicked
    virtual void keyCodeDidChangedOnMouseMove(const QColor& color) = 0;  // hovered
};

// The key-colour swatch.
class KeyColorView : public QWidget {
    Q_OBJECT
public:
    explicit KeyColorView(QWidget* parent = nullptr);
    void addMouseTrackingArea();
    void removeMouseTrackingArea();
    bool hasTrackingArea() const { return trackingArea_; }
    bool wasClicked = false;  // colour picking armed
    KeyColorViewDelegate* delegate = nullptr;
    QColor color() const { return color_; }
    void setColor(const QColor& color);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    bool trackingArea_ = false;
    QColor color_ = QColor(0, 255, 0);
};

// A view that draws its image scaled proportionally and centred.
class ImageView : public QWidget {
    Q_OBJECT
public:
    explicit ImageView(QWidget* parent = nullptr);
    void setImage(const QImage& image);
    const QImage& image() const { return image_; }
    // Where the scaled image is drawn, in the view's coordinates.
    QRectF imageFrame() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage image_;
};

// The keyed preview; reads the colour of the shown image's pixel under the pointer.
class MergedImageView : public ImageView {
    Q_OBJECT
public:
    explicit MergedImageView(QWidget* parent = nullptr);
    void addCursorTrackingZone();
    void removeCursorTrackingZone();
    bool hasTrackingZone() const { return zone_.has_value(); }
    // The colour of the image pixel drawn at `point`, none outside the image.
    std::optional<QColor> colorAt(const QPointF& point) const;
    MergedImageViewDelegate* delegate = nullptr;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    std::optional<QRectF> zone_;
};

// One background of the list: its image with its overlay over it, and a
// remove button. Selecting it posts BackgroundImageChangedNotification,
// removing it BackgroundImageDeleteNotification, each with {"selectedImages": it}.
class ThumbnailImageViewItem : public QFrame {
    Q_OBJECT
public:
    explicit ThumbnailImageViewItem(QWidget* parent = nullptr);
    void setRepresentedObject(const BackgroundImagePtr& background);
    const BackgroundImagePtr& representedObject() const { return background_; }
    // `announce` false shows the state without posting (a refreshed list).
    void setSelected(bool selected, bool announce = true);
    bool isSelected() const { return selected_; }
    void removeButtonDidClicked();
    QPushButton* removeButton() const { return removeButton_; }

signals:
    void clicked(ThumbnailImageViewItem* item);

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    void updateStyle();
    BackgroundImagePtr background_;
    QLabel* bkImage_ = nullptr;
    QLabel* overlayImage_ = nullptr;
    QPushButton* removeButton_ = nullptr;
    bool selected_ = false;
};

// The window's content: white behind everything.
class GreenScreenWindowContentView : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent* event) override;
};
