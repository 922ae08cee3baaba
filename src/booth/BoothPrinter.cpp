#include "booth/BoothPrinter.h"

#include <QImage>
#include <QMutex>
#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>

#include "base/Log.h"
#include "templates/ImageUtils.h"

namespace {
QMutex outputMutex;
QString outputFile;
}

void BoothPrinter::setOutputFile(const QString& pdfPath) {
    QMutexLocker lock(&outputMutex);
    outputFile = pdfPath;
}

bool BoothPrinter::printImage(const QString& path, QString* error, QString* printerName) {
    auto failWith = [&](const QString& text) {
        if (error) *error = text;
        spdlog::error("BoothPrinter: {}", text.toStdString());
        return false;
    };
    const QImage image = ImageUtils::loadImage(path);
    if (image.isNull()) return failWith(QStringLiteral("Unable to read the print."));

    QString file;
    {
        QMutexLocker lock(&outputMutex);
        file = outputFile;
    }
    QPrinter printer(QPrinter::HighResolution);
    if (!file.isEmpty()) {
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(file);
        if (printerName) *printerName = QStringLiteral("PDF");
    } else {
        const QPrinterInfo info = QPrinterInfo::defaultPrinter();
        if (info.isNull()) return failWith(QStringLiteral("No printer is set up."));
        printer.setPrinterName(info.printerName());
        if (printerName) *printerName = info.printerName();
    }
    printer.setDocName(QStringLiteral("Flashwren print"));
    printer.setPageOrientation(image.width() > image.height() ? QPageLayout::Landscape : QPageLayout::Portrait);
    printer.setFullPage(true);

    QPainter painter;
    if (!painter.begin(&printer)) return failWith(QStringLiteral("Unable to start printing."));
    const QRect page = printer.pageLayout().fullRectPixels(printer.resolution());
    const QSize shown = image.size().scaled(page.size(), Qt::KeepAspectRatio);
    const QRect target(page.x() + (page.width() - shown.width()) / 2, page.y() + (page.height() - shown.height()) / 2,
                       shown.width(), shown.height());
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, image);
    if (!painter.end()) return failWith(QStringLiteral("Printing failed."));
    spdlog::info("BoothPrinter: printed {}", path.toStdString());
    return true;
}
