#include "core/KeptRows.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <type_traits>
#include <unistd.h>

#include "base/Executor.h"
#include "base/Files.h"
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
    // The kept shares' file: whether what it held is taken over, the changes
    // made and those on disk, and why the last write failed.
    bool fileRead = false;
    std::uint64_t changes = 0;
    std::uint64_t onDisk = 0;
    std::string fileProblem;
    bool saidWaiting = false;
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

// Writes the file on a thread of its own: never behind the database.
base::SerialQueue& fileQueue() {
    static auto* q = new base::SerialQueue("com.flashwren.kept-shares");
    return *q;
}

// Beside the database.
std::string filePath() {
    return (std::filesystem::path(WrenDatabase::defaultPath()).parent_path() / "flashwren_kept_shares.json").string();
}

std::string when(const QDateTime& d) {
    return d.isValid() ? d.toUTC().toString(Qt::ISODateWithMs).toStdString() : std::string();
}

QDateTime dateOf(const nlohmann::json& entry, const char* key) {
    auto it = entry.find(key);
    if (it == entry.end() || !it->is_string()) return {};
    return QDateTime::fromString(QString::fromStdString(it->get<std::string>()), Qt::ISODateWithMs);
}

QString textOf(const nlohmann::json& entry, const char* key) {
    auto it = entry.find(key);
    return it != entry.end() && it->is_string() ? QString::fromStdString(it->get<std::string>()) : QString();
}

std::int64_t numberOf(const nlohmann::json& entry, const char* key) {
    auto it = entry.find(key);
    return it != entry.end() && it->is_number_integer() ? it->get<std::int64_t>() : 0;
}

std::string sharesText(const std::deque<std::shared_ptr<SharingModel>>& shares) {
    auto list = nlohmann::json::array();
    for (const auto& share : shares)
        list.push_back({{"type", share->shareType},
                        {"to", share->toField.toStdString()},
                        {"file", share->filePath.toStdString()},
                        {"media", share->media_id},
                        {"done", share->done},
                        {"entered", when(share->dateEntered)},
                        {"sent", when(share->dateSent)},
                        {"tried", when(share->dateLastTried)},
                        {"error", share->lastError.toStdString()}});
    return list.dump(1);
}

// Under the state's lock: takes over the shares the file holds, once, ahead
// of any kept since. A file that cannot be read is set aside, never written
// over.
void readFileOnce() {
    auto& s = state();
    if (s.fileRead) return;
    s.fileRead = true;
    const std::string path = filePath();
    if (::access(path.c_str(), F_OK) != 0) return;
    auto text = base::readFile(path);
    auto list = text ? nlohmann::json::parse(*text, nullptr, false) : nlohmann::json();
    if (!list.is_array()) {
        spdlog::error("KeptRows: the kept shares in {} cannot be read; the file is set aside as {}", path,
                      base::setAside(path));
        return;
    }
    std::deque<std::shared_ptr<SharingModel>> shares;
    for (const auto& entry : list) {
        auto share = std::make_shared<SharingModel>();
        if (!entry.is_object() || !entry.contains("type") || !dateOf(entry, "entered").isValid()) {
            spdlog::error("KeptRows: a kept share in {} is damaged and left out: {}", path, entry.dump());
            continue;
        }
        share->shareType = static_cast<int>(numberOf(entry, "type"));
        share->toField = textOf(entry, "to");
        share->filePath = textOf(entry, "file");
        share->media_id = numberOf(entry, "media");
        share->done = static_cast<int>(numberOf(entry, "done"));
        share->dateEntered = dateOf(entry, "entered");
        share->dateSent = dateOf(entry, "sent");
        share->dateLastTried = dateOf(entry, "tried");
        share->lastError = textOf(entry, "error");
        shares.push_back(share);
    }
    spdlog::info("KeptRows: {} shares an earlier run could not record are taken over from {}", shares.size(), path);
    s.shares.insert(s.shares.begin(), shares.begin(), shares.end());
    // The file as it was is kept aside; the next write holds what was read.
    if (shares.size() != list.size()) {
        spdlog::error("KeptRows: the file with damaged shares is set aside as {}", base::setAside(path));
        ++s.changes;
    }
}

// Puts the kept shares on disk as they are now, on the file's thread.
void keepOnDisk() {
    fileQueue().post([] {
        std::string path, text;
        std::uint64_t version;
        {
            std::lock_guard lock(state().mutex);
            if (state().changes == state().onDisk && state().fileProblem.empty()) return;
            version = state().changes;
            path = filePath();
            if (!state().shares.empty()) text = sharesText(state().shares);
        }
        std::string error;
        bool ok;
        if (text.empty()) {
            ok = ::unlink(path.c_str()) == 0 || errno == ENOENT;
            if (!ok) error = std::strerror(errno);
        } else {
            std::error_code ignored;
            std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
            ok = base::writeFileAtomically(path, text, &error);
        }
        std::lock_guard lock(state().mutex);
        if (!ok && state().fileProblem != error)
            spdlog::error("KeptRows: the kept shares cannot be written to {}: {}", path, error);
        state().fileProblem = ok ? std::string() : error;
        if (ok) state().onDisk = version;
    });
}

QString reason() {
    const std::string why = WrenDatabase::shared().lastError();
    return why.empty() ? QStringLiteral("it is not open") : QString::fromStdString(why);
}

void showNotice(const QString& why) {
    std::size_t prints, shares;
    QString fileProblem;
    {
        std::lock_guard lock(state().mutex);
        prints = state().prints.size();
        shares = state().shares.size();
        fileProblem = QString::fromStdString(state().fileProblem);
        state().saidWaiting = prints + shares > 0;
    }
    if (prints + shares == 0) {
        OperatorNotice::shared().withdraw(kNotice);
        return;
    }
    QString notice = QStringLiteral("%1 prints and %2 shares wait to be recorded: the database cannot be written now "
                                    "(%3). ")
                         .arg(prints)
                         .arg(shares)
                         .arg(why);
    if (fileProblem.isEmpty() || shares == 0)
        notice += QStringLiteral("They are kept, also over a restart, and recorded, uploaded and sent once it can.");
    else
        notice += QStringLiteral("The shares cannot be kept on disk either (%1): they are lost if the booth stops "
                                 "before the database can be written.")
                      .arg(fileProblem);
    OperatorNotice::shared().post(kNotice, notice);
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
// A share stored by a run that stopped before its file forgot it is not
// stored again.
bool store(MediaItemModel& print) { return print.save(); }
bool store(SharingModel& share) { return share.saveOnce(); }

template <class Row, class Stored>
bool storeEach(std::deque<std::shared_ptr<Row>>& rows, Stored&& stored) {
    for (;;) {
        std::shared_ptr<Row> row;
        {
            std::lock_guard lock(state().mutex);
            if (rows.empty()) return true;
            row = rows.front();
        }
        if (!store(*row)) return false;
        {
            std::lock_guard lock(state().mutex);
            rows.pop_front();
            if constexpr (std::is_same_v<Row, SharingModel>) ++state().changes;
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
        readFileOnce();
        state().shares.push_back(std::make_shared<SharingModel>(*share));
        ++state().changes;
    }
    keepOnDisk();
    showNotice(why);
    scheduleRetry();
    return false;
}

namespace {
void storeInBackground() {
    base::ThreadPool::shared().post([] {
        if (!KeptRows::storeAll()) scheduleRetry();
    });
}
}  // namespace

void KeptRows::recordShare(const std::shared_ptr<SharingModel>& share) {
    {
        std::lock_guard lock(state().mutex);
        readFileOnce();
        state().shares.push_back(std::make_shared<SharingModel>(*share));
        ++state().changes;
    }
    keepOnDisk();
    storeInBackground();
}

void KeptRows::restoreKept() {
    bool any;
    {
        std::lock_guard lock(state().mutex);
        readFileOnce();
        any = !state().shares.empty();
    }
    if (any) storeInBackground();
}

void KeptRows::storeOrKeepAtQuit() {
    if (keptPrints() + keptShares() > 0) storeAll();
    keepOnDisk();
    fileQueue().drain();
    std::lock_guard lock(state().mutex);
    const std::size_t prints = state().prints.size(), shares = state().shares.size();
    if (prints + shares == 0) return;
    if (state().fileProblem.empty())
        spdlog::error("KeptRows: quitting with {} prints and {} shares the database could not record; the shares are "
                      "kept in {} and the prints in the prints folder, and both are recorded at the next start",
                      prints, shares, filePath());
    else
        spdlog::error("KeptRows: quitting with {} prints and {} shares the database could not record; the shares "
                      "could not be kept in {} ({}) and are lost",
                      prints, shares, filePath(), state().fileProblem);
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
    keepOnDisk();
    bool said;
    {
        std::lock_guard lock(state().mutex);
        said = state().saidWaiting;
    }
    // A guest's share goes through here on its way to the database: the
    // notice is for those it refused.
    if (!all && !said)
        spdlog::error("KeptRows: the database cannot record {} prints and {} shares now ({}); they are kept and "
                      "recorded once it can be written",
                      keptPrints(), keptShares(), reason().toStdString());
    if (!all || said) showNotice(all ? QString() : reason());
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
