#pragma once
// Composes a session's photos into the print image by a template. The print
// goes into the prints folder as JPEG and its thumbnail under the same file
// name into the prints folder's "thumb". Decoding and composing take time:
// never call it on the interface thread.
#include <QImage>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <mutex>
#include <optional>

class TETemplateDocument;

struct LayoutResult {
    QString printPath;
    QString thumbPath;
};

class LayoutEngine {
public:
    explicit LayoutEngine(std::shared_ptr<TETemplateDocument> document);

    // Lays out `photos` (in slot order; fewer photos than slots are used again
    // in turn) into a new file of `printsFolder` (default: the data folder's
    // "prints"). None with `error` set when a photo or layer cannot be read
    // or a file cannot be written; nothing half-written is left behind.
    std::optional<LayoutResult> layoutPhotos(const QStringList& photos, QString* error,
                                             const QString& printsFolder = {});
    // The same photos again, with `qrCode` in the template's QR-code layer,
    // written to `path` (no thumbnail). False with `error` set on failure.
    bool layoutWithQRCode(const QImage& qrCode, const QString& path, QString* error);

    // The print image itself (photos already decoded).
    QImage composePrint(const QList<QImage>& photos, const QImage& qrCode = {}) const;
    static QImage makeThumbnail(const QImage& print);
    static constexpr int kThumbnailWidth = 400;

    std::shared_ptr<TETemplateDocument> document() const { return document_; }
    QStringList photosUsed() const;

private:
    std::optional<QImage> render(const QStringList& photos, const QImage& qrCode, QString* error) const;

    std::shared_ptr<TETemplateDocument> document_;
    mutable std::mutex mutex_;
    QStringList photos_;
};
