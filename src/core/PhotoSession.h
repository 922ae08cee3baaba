#pragma once
// The single record of the current photo session.
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <mutex>

class LayoutEngine;

class PhotoSession {
public:
    static PhotoSession& session();

    QString printImagePath;       // the composed print
    QString qrPrintImagePath;     // the second layout with the QR code, when made
    std::int64_t printMediaID = 0;  // media row of the print
    int printsMade = 0;           // prints made in this session
    std::shared_ptr<LayoutEngine> layoutEngine;
    QStringList imagesUsed;       // photos laid out in the print
    QString selectedBackground;   // green-screen background chosen by the guest

    // Clears the record for a new session.
    void reset();
    // Prints made in this run of the program (for the per-event limit).
    static int printsThisRun();
    static void addPrintThisRun();
    static void resetPrintsThisRun();
};
