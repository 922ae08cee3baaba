// A template folder's template.xml, which users copy in from anywhere.
// fuzz-links: templates
#include <QString>

#include "FuzzSupport.h"
#include "templates/TETemplateDocument.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::freshFile("t/template.xml", fuzzsupport::bytes(data, size));
    QString error;
    auto doc = TETemplateDocument::loadFromFolder(QString::fromStdString(fuzzsupport::scratch() + "/t"), &error);
    if (doc) {
        doc->numberOfPhotos();
        doc->hasQRCodeLayer();
    }
    return 0;
}
