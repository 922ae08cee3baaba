#include "core/PhotoSession.h"

#include <atomic>

namespace {
std::atomic<int> printsInThisRun{0};
}

PhotoSession& PhotoSession::session() {
    static PhotoSession* s = new PhotoSession();
    return *s;
}

void PhotoSession::reset() {
    printImagePath.clear();
    qrPrintImagePath.clear();
    printMediaID = 0;
    printsMade = 0;
    layoutEngine.reset();
    imagesUsed.clear();
    selectedBackground.clear();
}

int PhotoSession::printsThisRun() { return printsInThisRun.load(); }
void PhotoSession::addPrintThisRun() { ++printsInThisRun; }
void PhotoSession::resetPrintsThisRun() { printsInThisRun = 0; }
