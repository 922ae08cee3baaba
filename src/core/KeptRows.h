#pragma once
// Rows the database could not take when they were made (another program
// holding it past the lock wait, its disk full, its file read-only): kept in
// memory, in the order they came, and stored by a background writer as soon
// as the database takes them, prints before shares. Kept shares are also
// written to a file beside the database, so that what a guest sent outlives
// a quit or a crash and is stored at the next start, once; a kept print is
// made again from its file at the next start. While anything waits, the
// operator's standing notice says so. Safe from any thread; nothing here
// runs on the caller's thread but the first try of a save.
#include <QString>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "core/Models.h"

class KeptRows {
public:
    // Inserts the row now or keeps it for later; true when it is stored now.
    // A kept row's ID stays 0 until it is stored.
    static bool saveOrKeep(const std::shared_ptr<MediaItemModel>& print);
    static bool saveOrKeep(const std::shared_ptr<SharingModel>& share);

    // A guest's pending share: kept at once, on disk too, and stored in the
    // background; never waits on the database.
    static void recordShare(const std::shared_ptr<SharingModel>& share);
    // At start-up: takes over the shares an earlier run kept and stores them
    // as soon as the database takes them.
    static void restoreKept();
    // At quit: a last try, then what is still kept is put on disk for the
    // next start (and the log says what stays).
    static void storeOrKeepAtQuit();
    // Stores what is kept, oldest first; true when nothing is left.
    static bool storeAll();
    static std::size_t keptPrints();
    static std::size_t keptShares();
    static std::vector<QString> keptPrintPaths();

    // Runs, on the writer's thread, for each print row stored late.
    using PrintStored = std::function<void(std::shared_ptr<MediaItemModel>)>;
    static void setPrintStoredHandler(PrintStored handler);

    // How long the writer waits between tries (tests shorten it).
    static constexpr std::chrono::milliseconds kRetryInterval{2000};
    static void setRetryInterval(std::chrono::milliseconds interval);
};
