#pragma once
// Prints a print image on the default printer, scaled to fit the page.
#include <QString>

class BoothPrinter {
public:
    // Blocks while the page is rendered and spooled: call it off the
    // interface thread. False with `error` set when nothing was printed;
    // `printerName` gets the name of the printer used ("PDF" for a file).
    static bool printImage(const QString& path, QString* error, QString* printerName = nullptr);
    // Sends pages into this PDF file instead of a printer ("" for the printer).
    static void setOutputFile(const QString& pdfPath);
};
