#pragma once
// A template: a folder holding "template.xml", "preview.png" and the layer
// images. template.xml is our own small format:
//
//   <template name="Classic Strip" width="600" height="1800" background="#ffffff">
//     <layer type="image"  file="frame.png" x="0" y="0" width="600" height="1800"/>
//     <layer type="photo"  x="30" y="30" width="540" height="405"/>
//     <layer type="qrcode" x="450" y="1650" width="120" height="120"/>
//   </template>
//
// Sizes are print pixels. Layers are drawn in the order they stand; photo
// layers take the session's photos in that order (or by their "index").
#include <QColor>
#include <QRectF>
#include <QSize>
#include <QString>

#include <memory>
#include <vector>

class TETemplateLayer {
public:
    enum class Type { Photo, Image, QRCode };
    Type type = Type::Photo;
    QRectF frame;
    int photoIndex = -1;   // photo layers: which photo of the session
    QString imagePath;     // image layers: absolute path of the layer image
};

class TETemplateDocument {
public:
    // Reads `folder`/template.xml; null with `error` set when the file is
    // missing, unreadable or not a valid template.
    static std::shared_ptr<TETemplateDocument> loadFromFolder(const QString& folder, QString* error = nullptr);

    QString name;
    QString folderPath;
    QSize size;
    QColor backgroundColor = Qt::white;
    std::vector<TETemplateLayer> layers;

    int numberOfPhotos() const;
    bool hasQRCodeLayer() const;
    QString previewPath() const;  // "preview.png" in the folder
};
