#include "templates/TETemplateDocument.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QXmlStreamReader>

#include <cmath>
#include <set>

#include "base/Files.h"

namespace {
// A print is drawn whole in memory, four bytes a pixel: 12,000 a side is
// already half a gigabyte, and more than any printer the booth drives needs.
constexpr int kMaxSide = 12000;
// Far more than any real template's layers take.
constexpr std::size_t kTemplateFileLimit = std::size_t{4} << 20;

bool readNumber(const QXmlStreamAttributes& attrs, const char* name, double* out) {
    bool ok = false;
    const double v = attrs.value(QLatin1String(name)).toDouble(&ok);
    if (!ok) return false;
    *out = v;
    return true;
}

bool fail(QString* error, const QString& message) {
    if (error) *error = message;
    return false;
}
}  // namespace

int TETemplateDocument::numberOfPhotos() const {
    int n = 0;
    for (const auto& layer : layers)
        if (layer.type == TETemplateLayer::Type::Photo) ++n;
    return n;
}

bool TETemplateDocument::hasQRCodeLayer() const {
    for (const auto& layer : layers)
        if (layer.type == TETemplateLayer::Type::QRCode) return true;
    return false;
}

QString TETemplateDocument::previewPath() const {
    return folderPath + QStringLiteral("/preview.png");
}

std::shared_ptr<TETemplateDocument> TETemplateDocument::loadFromFolder(const QString& folder, QString* error) {
    const QString path = folder + QStringLiteral("/template.xml");
    // Read through the guarded reader: a named pipe or a device in the
    // template's place must not hang or flood the library.
    base::ReadFailure failure;
    const auto bytes = base::readFile(QFile::encodeName(path).toStdString(), &failure, kTemplateFileLimit);
    if (!bytes) {
        fail(error, QStringLiteral("Unable to read template %1: %2").arg(path, QString::fromStdString(failure.why)));
        return nullptr;
    }
    auto doc = std::make_shared<TETemplateDocument>();
    doc->folderPath = QFileInfo(folder).absoluteFilePath();
    const QDir dir(doc->folderPath);

    QXmlStreamReader xml(QByteArray::fromRawData(bytes->data(), static_cast<qsizetype>(bytes->size())));
    auto where = [&] { return QStringLiteral("%1, line %2: ").arg(path).arg(xml.lineNumber()); };
    std::set<int> indexes;
    bool explicitIndexes = false;
    int photos = 0;

    if (!xml.readNextStartElement() || xml.name() != QLatin1String("template")) {
        fail(error, xml.hasError() ? where() + xml.errorString()
                                   : where() + QStringLiteral("the root element is not <template>"));
        return nullptr;
    }
    {
        const auto attrs = xml.attributes();
        double w = 0, h = 0;
        // Written so that a size that is not a number fails too.
        if (!readNumber(attrs, "width", &w) || !readNumber(attrs, "height", &h) || !(w >= 1 && w <= kMaxSide) ||
            !(h >= 1 && h <= kMaxSide)) {
            fail(error, where() + QStringLiteral("width and height must be whole pixels from 1 to %1").arg(kMaxSide));
            return nullptr;
        }
        doc->size = QSize(int(w), int(h));
        doc->name = attrs.value(QLatin1String("name")).toString().trimmed();
        if (doc->name.isEmpty()) doc->name = QFileInfo(folder).fileName();
        if (attrs.hasAttribute(QLatin1String("background"))) {
            QColor c = QColor::fromString(attrs.value(QLatin1String("background")).toString());
            if (!c.isValid()) {
                fail(error, where() + QStringLiteral("background is not a colour"));
                return nullptr;
            }
            doc->backgroundColor = c;
        }
    }
    while (xml.readNextStartElement()) {
        const auto attrs = xml.attributes();
        if (xml.name() != QLatin1String("layer")) {
            xml.skipCurrentElement();
            continue;
        }
        TETemplateLayer layer;
        const QString type = attrs.value(QLatin1String("type")).toString();
        double x = 0, y = 0, w = 0, h = 0;
        if (!readNumber(attrs, "x", &x) || !readNumber(attrs, "y", &y) || !readNumber(attrs, "width", &w) ||
            !readNumber(attrs, "height", &h) || !(w > 0 && w <= kMaxSide) || !(h > 0 && h <= kMaxSide) ||
            !(std::abs(x) <= kMaxSide) || !(std::abs(y) <= kMaxSide)) {
            fail(error, where() + QStringLiteral("a layer needs x and y within %1 pixels of the print and a width "
                                                 "and height from above 0 to %1").arg(kMaxSide));
            return nullptr;
        }
        layer.frame = QRectF(x, y, w, h);
        if (type == QLatin1String("photo")) {
            layer.type = TETemplateLayer::Type::Photo;
            if (attrs.hasAttribute(QLatin1String("index"))) {
                bool ok = false;
                layer.photoIndex = attrs.value(QLatin1String("index")).toInt(&ok);
                if (!ok || layer.photoIndex < 0) {
                    fail(error, where() + QStringLiteral("a photo index must be a number from 0"));
                    return nullptr;
                }
                explicitIndexes = true;
            } else {
                layer.photoIndex = photos;
            }
            indexes.insert(layer.photoIndex);
            ++photos;
        } else if (type == QLatin1String("image")) {
            layer.type = TETemplateLayer::Type::Image;
            const QString name = attrs.value(QLatin1String("file")).toString();
            const QString cleaned = QDir::cleanPath(name);
            if (name.isEmpty() || QDir::isAbsolutePath(name) || cleaned.startsWith(QLatin1String(".."))) {
                fail(error, where() + QStringLiteral("an image layer needs a file inside the template folder"));
                return nullptr;
            }
            layer.imagePath = dir.filePath(cleaned);
            if (!QFileInfo(layer.imagePath).isFile()) {
                fail(error, where() + QStringLiteral("the layer image %1 is missing").arg(name));
                return nullptr;
            }
        } else if (type == QLatin1String("qrcode")) {
            layer.type = TETemplateLayer::Type::QRCode;
        } else {
            fail(error, where() + QStringLiteral("unknown layer type \"%1\"").arg(type));
            return nullptr;
        }
        doc->layers.push_back(layer);
        xml.skipCurrentElement();
    }
    if (xml.hasError()) {
        fail(error, where() + xml.errorString());
        return nullptr;
    }
    if (photos == 0) {
        fail(error, QStringLiteral("%1: the template has no photo layer").arg(path));
        return nullptr;
    }
    // Photo indexes, given or not, must name each photo 0..n-1 once.
    if (explicitIndexes && (int(indexes.size()) != photos || *indexes.rbegin() != photos - 1)) {
        fail(error, QStringLiteral("%1: photo indexes must run from 0 to %2, each once").arg(path).arg(photos - 1));
        return nullptr;
    }
    return doc;
}
