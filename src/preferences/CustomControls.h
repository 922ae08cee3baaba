#pragma once
// Small controls of the windows: a round dark button, a text label that acts
// like a link, and a text field that centres its text vertically.
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

class RoundButton : public QPushButton {
    Q_OBJECT
public:
    explicit RoundButton(const QString& title = QString(), QWidget* parent = nullptr);
    ~RoundButton() override;

    // Keeps the origin; the frame becomes a square of the smaller side, and a
    // side below 116 becomes 115.
    void setFrame(const QRect& requested);
    static QSize squareSizeFor(const QSize& requested);

    bool hover() const { return hover_; }
    bool screenResize() const { return screenResize_; }
    // Where the image and the title are drawn for the current frame.
    QRect imageRect() const;
    int titleLeft() const;
    QColor fillColor(bool pressed) const;
    QColor outlineColor() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool hover_ = false;
    bool screenResize_ = false;
};

class ClickableLabelTextField : public QLabel {
    Q_OBJECT
public:
    explicit ClickableLabelTextField(const QString& text = QString(), QWidget* parent = nullptr);

signals:
    // The field's action: sent once per click.
    void clicked();

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
};

class VerticallyCenteredTextField : public QLineEdit {
    Q_OBJECT
public:
    explicit VerticallyCenteredTextField(QWidget* parent = nullptr);
    // The drawing rectangle for `bounds` when the text needs `textHeight`:
    // centred vertically, 3 points in from each side.
    static QRectF drawingRectForBounds(const QRectF& bounds, qreal textHeight);
};
