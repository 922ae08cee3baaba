#include "core/KeptRows.h"

#include <atomic>
#include <deque>
#include <mutex>

#include "base/Executor.h"
#include "base/Log.h"
#include "base/Scheduler.h"
#include "core/Database.h"
#include "core/OperatorNotice.h"

namespace {

const QString kNotice = QStringLiteral("KeptRows.database");

struct State {
    std::mutex mutex;
    // Copies of their own: the writer sets their ids while the makers'
    // objects are read elsewhere.
    std::deque<std::shared_ptr<MediaItemModel>> prints;
    std::deque<std::shared_ptr<SharingModel>> shares;
    bool retryScheduled = false;
    KeptRows::PrintStored printStored;
};
State& state() {
    static auto* s = new State();
    return *s;
}
// One writer at a time, so that each kept row is stored once.
std::mutex& writerMutex() {
    static auto* m = new std::mutex();
    return *m;
}
std::atomic<long long> retryMilliseconds{KeptRows::kRetryInterval.count()};

QString reason() {
    const std::string why = WrenDatabase::shared().lastError();
    return why.empty() ? QStringLiteral("it is not open") : QString::fromStdString(why);
}

void showNotice(const QString& why) {
    std::size_t prints, shares;
    {
        std::lock_guard lock(state().mutex);
        prints = state().prints.size();
        shares = state().shares.size();
    }
    if (prints + shares == 0) {
        OperatorNotice::shared().withdraw(kNotice);
        return;
    }
    OperatorNotice::shared().post(
        kNotice, QStringLiteral("%1 prints and %2 shares wait to be recorded: the database cannot be written now (%3). "
                                "Nothing is lost; they are recorded, uploaded and sent once it can.")
                     .arg(prints)
                     .arg(shares)
                     .arg(why));
}

void scheduleRetry() {
    {
        std::lock_guard lock(state().mutex);
        if (state().retryScheduled) return;
        state().retryScheduled = true;
    }
    base::Scheduler::shared().after(std::chrono::milliseconds(retryMilliseconds.load()), &base::ThreadPool::shared(),
                                    [] {
                                        {
                                            std::lock_guard lock(state().mutex);
                                            state().retryScheduled = false;
                                        }
                                        if (!KeptRows::storeAll()) scheduleRetry();
                                    });
}

// Stores the oldest row of `rows` while there is one; false when the
// database refused one (it stays first).
template <class Row, class Stored>
bool storeEach(std::deque<std::shared_ptr<Row>>& rows, Stored&& stored) {
    for (;;) {
        std::shared_ptr<Row> row;
        {
            std::lock_guard lock(state().mutex);
            if (rows.empty()) return true;
            row = rows.front();
        }
        if (!row->save()) return false;
        {
            std::lock_guard lock(state().mutex);
            rows.pop_front();
        }
        stored(row);
    }
}

}  // namespace

bool KeptRows::saveOrKeep(const std::shared_ptr<MediaItemModel>& print) {
    if (print->save()) return true;
    const QString why = reason();
    spdlog::error("KeptRows: the database cannot record the print {} now ({}); it is kept and recorded once the "
                  "database can be written",
                  print->fileName.toStdString(), why.toStdString());
    {
        std::lock_guard lock(state().mutex);
        state().prints.push_back(std::make_shared<MediaItemModel>(*print));
    }
    showNotice(why);
    scheduleRetry();
    return false;
}

bool KeptRows::saveOrKeep(const std::shared_ptr<SharingModel>& share) {
    if (share->save()) return true;
    const QString why = reason();
    spdlog::error("KeptRows: the database cannot record a share of type {} of {} now ({}); it is kept, recorded "
                  "once the database can be written and sent then",
                  share->shareType, share->filePath.toStdString(), why.toStdString());
    {
        std::lock_guard lock(state().mutex);
        state().shares.push_back(std::make_shared<SharingModel>(*share));
    }
    showNotice(why);
    scheduleRetry();
    return false;
}

bool KeptRows::storeAll() {
    std::lock_guard writer(writerMutex());
    PrintStored printStored;
    {
        std::lock_guard lock(state().mutex);
        if (state().prints.empty() && state().shares.empty()) return true;
        printStored = state().printStored;
    }
    const bool all =
        storeEach(state().prints,
                  [&](const std::shared_ptr<MediaItemModel>& print) {
                      spdlog::info("KeptRows: the print {} is recorded now as media item {}",
                                   print->fileName.toStdString(), print->ID);
                      if (printStored) printStored(print);
                  }) &&
        storeEach(state().shares, [](const std::shared_ptr<SharingModel>& share) {
            spdlog::info("KeptRows: the share of type {} of {} is recorded now as share {}", share->shareType,
                         share->filePath.toStdString(), share->ID);
        });
    showNotice(all ? QString() : reason());
    return all;
}

std::size_t KeptRows::keptPrints() {
    std::lock_guard lock(state().mutex);
    return state().prints.size();
}

std::size_t KeptRows::keptShares() {
    std::lock_guard lock(state().mutex);
    return state().shares.size();
}

std::vector<QString> KeptRows::keptPrintPaths() {
    std::lock_guard lock(state().mutex);
    std::vector<QString> paths;
    for (const auto& print : state().prints) paths.push_back(print->filePath);
    return paths;
}

void KeptRows::setPrintStoredHandler(PrintStored handler) {
    std::lock_guard lock(state().mutex);
    state().printStored = std::move(handler);
}

void KeptRows::setRetryInterval(std::chrono::milliseconds interval) { retryMilliseconds = interval.count(); }
