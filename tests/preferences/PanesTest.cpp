#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QLineEdit>
#include <QSpinBox>
#include <QTableWidget>

#include <fcntl.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "PreferencesTestMain.h"
#include "SmallDisk.h"
#include "core/Database.h"
#include "core/Models.h"
#include "core/ProgressWindowController.h"
#include "core/WrenUtils.h"
#include "preferences/CustomControls.h"
#include "preferences/GeneralPreferencesViewController.h"
#include "preferences/HotPlugRegistration.h"
#include "LoopbackServer.h"
#include "preferences/PreferencePane.h"
#include "preferences/SharingPreferencesViewController.h"
#include "preferences/SoundPreferencesViewController.h"
#include "preferences/ValueTransformers.h"
#include "templates/TEUtils.h"

namespace {

class Panes : public ::testing::Test {
protected:
    void SetUp() override { testApp(); }
    testsupport::ScopedHome home;
    UserDefaults& d() { return UserDefaults::standard(); }
};

void touch(const QString& path) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
}

}  // namespace

TEST_F(Panes, PrintCountIsLimitedToTenAndOtherValuesStay) {
    PrintPreferencesViewController pane;
    pane.view();
    auto* field = static_cast<QLineEdit*>(pane.numberOfPrintsPerSessionTextField());
    for (auto [typed, stored] : std::vector<std::pair<int, int>>{{25, 10}, {10, 10}, {0, 0}, {-3, -3}}) {
        field->setText(QString::number(typed));
        pane.sessionPrintCountDidChanged();
        EXPECT_EQ(d().integer("MAX_PRINTS_PER_SESSION"), stored) << typed;
        EXPECT_EQ(field->text(), QString::number(stored));
    }
    // A write from elsewhere is checked too.
    d().set("MAX_PRINTS_PER_SESSION", 40);
    QCoreApplication::processEvents();
    EXPECT_EQ(d().integer("MAX_PRINTS_PER_SESSION"), 10);
    EXPECT_EQ(field->text(), "10");
}

TEST_F(Panes, HandEditedValuesAreShownAsTheyReadAndNotWrittenBack) {
    d().set("MAX_PRINTS_PER_SESSION", 1e30);
    d().set("seconds_between_shots", "soon");
    d().set("seconds_between_groups", 5000);
    d().set("START_TEXT", nlohmann::json::array({"a"}));
    PrintPreferencesViewController print;
    ShootingPreferencesViewController shooting;
    DisplayPrefrencesViewController display;
    print.view();
    shooting.view();
    display.view();
    QCoreApplication::processEvents();
    EXPECT_EQ(static_cast<QLineEdit*>(print.numberOfPrintsPerSessionTextField())->text(), "10");
    auto* shots = shooting.view()->findChild<QSpinBox*>("seconds_between_shots");
    auto* groups = shooting.view()->findChild<QSpinBox*>("seconds_between_groups");
    ASSERT_TRUE(shots && groups);
    EXPECT_EQ(shots->value(), 3);
    EXPECT_EQ(groups->value(), 600);
    EXPECT_EQ(display.view()->findChild<QLineEdit*>("START_TEXT")->text(), "Touch to start");
    print.viewWillDisappear();
    EXPECT_EQ(*d().object("MAX_PRINTS_PER_SESSION"), 1e30);
    EXPECT_EQ(*d().object("seconds_between_shots"), "soon");
    EXPECT_EQ(*d().object("seconds_between_groups"), 5000);
    EXPECT_EQ(*d().object("START_TEXT"), nlohmann::json::array({"a"}));

    // What the operator changes is stored.
    shots->setValue(5);
    EXPECT_EQ(*d().object("seconds_between_shots"), 5);
}

TEST_F(Panes, BackgroundImageChoiceRefusesOtherTypesAndClearingStoresEmptyText) {
    DisplayPrefrencesViewController pane;
    pane.chooseFile = [](const QString&, const QStringList&) { return QString("/photos/party.gif"); };
    pane.useDidClickToChooseBackgroundImage();
    EXPECT_FALSE(d().object("BACKGROUND_IMAGE").has_value() && d().string("BACKGROUND_IMAGE") == "/photos/party.gif");
    pane.chooseFile = [](const QString&, const QStringList&) { return QString("/photos/party.JPG"); };
    pane.useDidClickToChooseBackgroundImage();
    EXPECT_EQ(d().string("BACKGROUND_IMAGE"), "/photos/party.JPG");
    pane.chooseFile = [](const QString&, const QStringList&) { return QString(); };
    pane.useDidClickToChooseBackgroundImage();
    EXPECT_EQ(d().string("BACKGROUND_IMAGE"), "/photos/party.JPG");
    pane.userDidClickToClearBackgroundImage();
    auto v = d().object("BACKGROUND_IMAGE");
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(*v, "");
}

TEST_F(Panes, AudioTransformers) {
    registerAudioValueTransformers();
    auto* none = ValueTransformer::valueTransformerForName("AudioNoneToBoolTransformer");
    auto* both = ValueTransformer::valueTransformerForName("ValueNoneOrAudioNoneToBoolTransformer");
    ASSERT_TRUE(none && both);
    EXPECT_TRUE(none->transformedValue(QString("")).toBool());
    EXPECT_TRUE(none->transformedValue(QString("smile.mp3")).toBool());
    EXPECT_FALSE(none->transformedValue(QString("None")).toBool());
    EXPECT_FALSE(none->transformedValue(QVariant()).toBool());
    d().set("AUDIO_VOICE", "None");
    EXPECT_FALSE(both->transformedValue(QString("smile.mp3")).toBool());
    d().set("AUDIO_VOICE", "Defaults");
    EXPECT_TRUE(both->transformedValue(QString("smile.mp3")).toBool());
    EXPECT_FALSE(both->transformedValue(QString("None")).toBool());
    EXPECT_FALSE(both->transformedValue(QVariant()).toBool());
}

TEST_F(Panes, SoundListOffersOnlyLowerCaseMp3FilesNotStartingWithUnderscore) {
    testsupport::TempDir folder;
    for (auto name : {"_hidden.mp3", "LOUD.MP3", "notes.txt", "smile.mp3"}) touch(QString::fromStdString(folder.file(name)));
    QDir().mkpath(QString::fromStdString(folder.file("sub.mp3")));
    d().set("AUDIO_VOICE", "Custom");
    d().set("CUSTOM_VOICE_FOLDER_PATH", folder.path());
    SoundPreferencesViewController pane;
    pane.view();
    EXPECT_EQ(pane.allSoundsArray(), QStringList({"None", "smile.mp3"}));

    testsupport::TempDir empty;
    d().set("CUSTOM_VOICE_FOLDER_PATH", empty.path());
    pane.createSoundsList();
    EXPECT_EQ(pane.allSoundsArray(), QStringList({"None"}));

    // No folder chosen: the placeholder shows and the list stays.
    d().set("CUSTOM_VOICE_FOLDER_PATH", "");
    pane.createSoundsList();
    EXPECT_EQ(pane.allSoundsArray(), QStringList({"None"}));
    EXPECT_EQ(pane.customPathField()->placeholderText(), "Select path using 'Browse' button.");
}

TEST_F(Panes, VoiceChangesResetThePromptsAsTheOperatorExpects) {
    d().set("AUDIO_VOICE", "None");
    SoundPreferencesViewController pane;
    pane.view();
    pane.resetTo("Custom");
    EXPECT_EQ(d().string("AUDIO_PHOTO_2"), "smile.mp3");
    EXPECT_EQ(d().string("AUDIO_THANK_YOU"), "thank-you.mp3");
    pane.audioVoiceDidChange("Defaults");  // from None: shipped names
    d().set("AUDIO_PHOTO_1", "my-choice.mp3");
    pane.audioVoiceDidChange("Defaults");  // Defaults again: the choice stays
    EXPECT_EQ(d().string("AUDIO_PHOTO_1"), "my-choice.mp3");
    pane.audioVoiceDidChange("Custom");  // silence until custom files are picked
    EXPECT_EQ(d().string("AUDIO_PHOTO_1"), "None");
    EXPECT_TRUE(pane.chooseCustomFolderButton()->isEnabled());
}

namespace {
class MemoryHotPlug : public HotPlugPreferences {
public:
    QVariantMap values;
    int syncs = 0;
    QStringList keys() const override { return values.keys(); }
    std::optional<QVariant> value(const QString& k) const override {
        if (!values.contains(k)) return std::nullopt;
        return values.value(k);
    }
    void setValue(const QString& k, const QVariant& v) override {
        if (v.isValid()) values[k] = v;
        else values.remove(k);
    }
    bool synchronize() override { return ++syncs > 0; }
};
}  // namespace

TEST(HotPlug, RegistrationRemembersThePreviousHandlerAndRemovalRestoresIt) {
    MemoryHotPlug p;
    p.values["HotPlugActionPath"] = "/Applications/Other.app";
    p.values["camera-1"] = QVariantMap{{"ICADeviceTypeKey", "ICADeviceTypeCamera"}};
    p.values["scanner-1"] = QVariantMap{{"ICADeviceTypeKey", "ICADeviceTypeScanner"}};
    p.values["plain"] = "text";
    applyShouldAutoLaunch(p, true, "/me");
    EXPECT_EQ(p.values["HotPlugActionPath"], "/me");
    EXPECT_EQ(p.values["LastHotPlugActionPath"], "/Applications/Other.app");
    EXPECT_EQ(p.values["camera-1"].toMap()["autolaunchApplicationPath"], "/me");
    EXPECT_FALSE(p.values["scanner-1"].toMap().contains("autolaunchApplicationPath"));
    EXPECT_EQ(p.values["plain"], "text");

    applyShouldAutoLaunch(p, true, "/me");  // again at the next launch
    EXPECT_EQ(p.values["LastHotPlugActionPath"], "");

    p.values["LastHotPlugActionPath"] = "/Applications/Other.app";
    applyShouldAutoLaunch(p, false, "/me");
    EXPECT_EQ(p.values["HotPlugActionPath"], "/Applications/Other.app");
    EXPECT_EQ(p.values["LastHotPlugActionPath"], "");
    EXPECT_EQ(p.values["camera-1"].toMap()["autolaunchApplicationPath"], "/Applications/Other.app");
}

TEST(HotPlug, TurningOffWithoutAPreviousHandlerOrWithOurselvesAsItUnregistersUs) {
    MemoryHotPlug p;
    p.values["HotPlugActionPath"] = "/me";
    applyShouldAutoLaunch(p, false, "/me");
    EXPECT_FALSE(p.values.contains("HotPlugActionPath"));
    p.values["HotPlugActionPath"] = "/me";
    p.values["LastHotPlugActionPath"] = "/me";
    applyShouldAutoLaunch(p, false, "/me");
    EXPECT_FALSE(p.values.contains("HotPlugActionPath"));
}

TEST(HotPlug, MimeAppsFileKeepsOtherEntries) {
    testsupport::TempDir dir;
    QString path = QString::fromStdString(dir.file("mimeapps.list"));
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("[Default Applications]\ntext/html=browser.desktop;\nx-content/image-dcf=shotwell.desktop;\n");
    }
    {
        MimeAppsHotPlugPreferences p(path);
        applyShouldAutoLaunch(p, true, "flashwren.desktop");
    }
    MimeAppsHotPlugPreferences p(path);
    EXPECT_EQ(p.value("HotPlugActionPath")->toString(), "flashwren.desktop");
    EXPECT_EQ(p.value("LastHotPlugActionPath")->toString(), "shotwell.desktop");
    applyShouldAutoLaunch(p, false, "flashwren.desktop");
    MimeAppsHotPlugPreferences back(path);
    EXPECT_EQ(back.value("HotPlugActionPath")->toString(), "shotwell.desktop");
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.readAll().contains("text/html=browser.desktop;"));
}

TEST_F(Panes, KeyboardHintOnlyForNewerToolkits) {
    EXPECT_EQ(GeneralPreferencesViewController::keyboardWarningTextForToolkitVersion(1404.9), "");
    EXPECT_NE(GeneralPreferencesViewController::keyboardWarningTextForToolkitVersion(1405.0), "");
    MemoryHotPlug p;
    GeneralPreferencesViewController::setHotPlugPreferencesForTesting(&p);
    d().set("AUTO_LAUNCH_APP_ON_CAMERA_CONNECT", false);
    GeneralPreferencesViewController::setupAppStartupFeatures();
    EXPECT_TRUE(p.values.isEmpty());
    EXPECT_EQ(p.syncs, 0);
    GeneralPreferencesViewController::setHotPlugPreferencesForTesting(nullptr);
}

TEST_F(Panes, AKeyboardChangeThatNeedsAnotherInputMethodSaysItWaitsForTheNextStart) {
    if (!WrenUtils::isVirtualKeyboardInstalled()) GTEST_SKIP() << "Qt's on-screen keyboard is not installed";
    // This run started without the keyboard, on the desktop's input method.
    qunsetenv("QT_IM_MODULE");
    GeneralPreferencesViewController pane;
    auto* box = pane.view()->findChild<QCheckBox*>("SHOW_VIRTUAL_KEYBOARD");
    auto* note = pane.view()->findChild<QLabel*>("keyboardRestartNote");
    ASSERT_TRUE(box && note);
    EXPECT_TRUE(note->isHidden());
    box->click();
    EXPECT_FALSE(note->isHidden()) << "switched on, the keyboard needs a new start";
    box->click();
    EXPECT_TRUE(note->isHidden());
    auto* desktop = pane.view()->findChild<QLabel*>("keyboardDesktopInputMethodNote");
    ASSERT_TRUE(desktop);
    EXPECT_TRUE(desktop->isHidden()) << "no input method of the desktop's";
    // An input method the user set stays at every start: nothing to wait for,
    // but the keyboard will not show while it is there, and the pane says so.
    qputenv("QT_IM_MODULE", "ibus");
    box->click();
    EXPECT_TRUE(note->isHidden());
    EXPECT_FALSE(desktop->isHidden()) << "the box is ticked and no keyboard will show";
    EXPECT_TRUE(desktop->text().contains("ibus"));
    box->click();
    EXPECT_TRUE(desktop->isHidden());
    // A pane opened with the box ticked says it at once.
    box->click();
    GeneralPreferencesViewController again;
    EXPECT_FALSE(again.view()->findChild<QLabel*>("keyboardDesktopInputMethodNote")->isHidden());
    qunsetenv("QT_IM_MODULE");
}

namespace {
class GeneralPane : public Panes {
protected:
    void SetUp() override {
        Panes::SetUp();
        ASSERT_TRUE(WrenDatabase::openShared(home.path() + "/db.sqlite", FLASHWREN_SOURCE_DIR "/resources/migrations"));
        d().set("DATA_DIRECTORY", home.path() + "/data/");
        addShare(SharingTypeEmail, "a@b.co", 1, "");
        addShare(SharingTypeEmail, "c@d.co", 0, "timeout");
        addShare(SharingTypeSMS, "123456", 0, "");
    }
    void TearDown() override { WrenDatabase::shared().close(); }
    static void addShare(int type, const QString& to, int done, const QString& error) {
        SharingModel s;
        s.shareType = type;
        s.toField = to;
        s.filePath = "/prints/x.jpg";
        s.done = done;
        s.lastError = error;
        s.dateEntered = QDateTime::currentDateTime();
        if (done) s.dateSent = QDateTime::currentDateTime();
        if (!error.isEmpty()) s.dateLastTried = QDateTime::currentDateTime();
        ASSERT_TRUE(s.save());
    }
};
}  // namespace

TEST_F(GeneralPane, StatisticsTableShowsEveryShareTypeInOrder) {
    GeneralPreferencesViewController pane;
    pane.view();
    pane.viewWillAppear();
    auto* t = pane.statsTable();
    ASSERT_EQ(t->rowCount(), 6);
    EXPECT_EQ(pane.cellValue(0, "type"), "E-mail");
    EXPECT_EQ(pane.cellValue(1, "type"), "SMS");
    EXPECT_EQ(pane.cellValue(5, "type"), "Print");
    EXPECT_EQ(pane.cellValue(0, "total"), "2");
    EXPECT_EQ(pane.cellValue(0, "pending"), "1");
    EXPECT_EQ(pane.cellValue(0, "lastError"), "timeout");
    EXPECT_EQ(pane.toolTip(0, "lastError"), "timeout");
    EXPECT_EQ(pane.toolTip(0, "trash"), "Cancel sending out of all pending items.");
    EXPECT_EQ(t->item(1, 2)->text(), "1");
}

TEST_F(GeneralPane, ResetNeedsYesAndKeepsPendingShares) {
    GeneralPreferencesViewController pane;
    pane.view();
    pane.confirm = [](const QString&) { return false; };
    pane.resetAllStatsButtonDidClicked();
    EXPECT_EQ(SharingStatsInfoModel::getAllStats()[SharingTypeEmail].total, 2);
    pane.confirm = [](const QString&) { return true; };
    pane.resetAllStatsButtonDidClicked();
    auto stats = SharingStatsInfoModel::getAllStats();
    EXPECT_EQ(stats[SharingTypeEmail].total, 1);
    EXPECT_EQ(stats[SharingTypeEmail].pending, 1);
    EXPECT_EQ(pane.cellValue(0, "total"), "1");
}

TEST_F(GeneralPane, CancelPendingActsOnTheSelectedRowOnly) {
    GeneralPreferencesViewController pane;
    pane.view();
    pane.viewWillAppear();
    pane.cancelAllPendingItemsButtonDidClicked();  // nothing selected
    EXPECT_EQ(SharingStatsInfoModel::getAllStats()[SharingTypeSMS].pending, 1);
    pane.statsTable()->selectRow(1);
    pane.cancelAllPendingItemsButtonDidClicked();
    EXPECT_EQ(SharingStatsInfoModel::getAllStats()[SharingTypeSMS].pending, 0);
    EXPECT_EQ(SharingStatsInfoModel::getAllStats()[SharingTypeEmail].pending, 1);
    EXPECT_EQ(pane.cellValue(1, "pending"), "0");
}

TEST_F(GeneralPane, ExportWritesTheCsvAndRevealsIt) {
    GeneralPreferencesViewController pane;
    QString revealed;
    pane.revealFile = [&](const QString& p) { revealed = p; };
    pane.viewSharesButtonDidClicked();
    EXPECT_TRUE(revealed.endsWith("flashwren_shares.csv"));
    QFile f(revealed);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.readAll().startsWith("Date,Filename,Directory,Type,To"));
}

// A named pipe among the old templates is left behind: the change completes
// and the interface goes on.
TEST_F(GeneralPane, ChangingTheDataFolderCarriesTheTemplatesOver) {
    QDir().mkpath(QString::fromStdString(home.path()) + "/data/templates/Classic");
    touch(QString::fromStdString(home.path()) + "/data/templates/Classic/template.xml");
    const std::string pipe = home.path() + "/data/templates/Classic/pipe";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    testsupport::TempDir chosen;
    GeneralPreferencesViewController pane;
    pane.chooseFolder = [&](const QString&) { return QString::fromStdString(chosen.path()); };
    // Past the deadline a writer that comes and goes lets a stuck open of the pipe go.
    std::mutex mutex;
    std::condition_variable cv;
    bool changed = false;
    std::atomic<bool> rescued{false};
    std::thread rescue([&] {
        std::unique_lock lock(mutex);
        if (cv.wait_for(lock, std::chrono::seconds(20), [&] { return changed; })) return;
        do {
            const int fd = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) {
                rescued = true;
                ::close(fd);
            }
        } while (!cv.wait_for(lock, std::chrono::milliseconds(50), [&] { return changed; }));
    });
    pane.useDidClickToChangeDataDirectory();
    const bool switched =
        QTest::qWaitFor([&] { return d().string("DATA_DIRECTORY") == chosen.path() + "/"; }, 30000);
    {
        std::lock_guard lock(mutex);
        changed = true;
    }
    cv.notify_all();
    rescue.join();
    EXPECT_FALSE(rescued) << "a named pipe among the templates hangs the copy";
    EXPECT_TRUE(switched);
    EXPECT_TRUE(QFile::exists(QString::fromStdString(chosen.path()) + "/templates/Classic/template.xml"));
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(chosen.path()) + "/templates/Classic/pipe"));
    EXPECT_TRUE(QFile::exists(QString::fromStdString(home.path()) + "/data/templates/Classic/template.xml"));
}

namespace {

QString shownMessage() { return ProgressWindowController::sharedPrgoressWindowController()->visibleMessage(); }

void makeTemplates(const std::string& data, std::size_t bytes) {
    QDir().mkpath(QString::fromStdString(data + "/templates/Classic"));
    QFile file(QString::fromStdString(data + "/templates/Classic/frame.png"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(QByteArray(static_cast<qsizetype>(bytes), 'p')), static_cast<qint64>(bytes));
}

std::size_t entriesBelow(const QString& folder) {
    std::size_t n = 0;
    for (QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
         it.hasNext(); it.next())
        ++n;
    return n;
}

}  // namespace

// A copy into its own source would copy its own output again and again;
// a link in the chosen path hides nothing.
TEST_F(GeneralPane, ANewDataFolderInsideTheOldTemplatesIsRefused) {
    const std::string data = home.path() + "/data";
    makeTemplates(data, 3000);
    const QString link = QString::fromStdString(home.path() + "/shortcut");
    ASSERT_TRUE(QFile::link(QString::fromStdString(data + "/templates"), link));
    GeneralPreferencesViewController pane;
    for (const QString& chosen : {QString::fromStdString(data + "/templates/Classic/new"), link + "/Classic/other"}) {
        SCOPED_TRACE(chosen.toStdString());
        ASSERT_TRUE(QDir().mkpath(chosen));
        ProgressWindowController::sharedPrgoressWindowController()->close();
        pane.chooseFolder = [&](const QString&) { return chosen; };
        pane.useDidClickToChangeDataDirectory();
        EXPECT_TRUE(QTest::qWaitFor([&] { return shownMessage().contains("inside"); }, 5000))
            << shownMessage().toStdString();
        EXPECT_TRUE(shownMessage().contains(QString::fromStdString(data + "/templates"))) << shownMessage().toStdString();
        EXPECT_EQ(d().string("DATA_DIRECTORY"), data + "/");
        EXPECT_EQ(entriesBelow(chosen), 0u) << "something was copied";
    }
}

// A disk too small for the templates, first as its free space says, then as
// the copy finds out when the free space was misjudged (as on a disk others
// write to): the old folder stays and the operator is told why; the copy
// leaves nothing behind on the full disk.
TEST_F(GeneralPane, ANewDataFolderOnAFullDiskKeepsTheOldOne) {
    const char* disk = std::getenv("FLASHWREN_SMALL_DISK");
    if (!disk) {
        const auto passed = testsupport::rerunOnSmallDisk("1m", "GeneralPane.ANewDataFolderOnAFullDiskKeepsTheOldOne");
        if (!passed) GTEST_SKIP() << "no private mount namespace here";
        EXPECT_TRUE(*passed) << "the run on the small disk failed";
        return;
    }
    const std::string data = home.path() + "/data";
    makeTemplates(data, 3 << 20);
    const QString chosen = QString::fromLocal8Bit(disk);
    GeneralPreferencesViewController pane;
    pane.chooseFolder = [&](const QString&) { return chosen; };
    for (const bool misjudged : {false, true}) {
        SCOPED_TRACE(misjudged ? "free space misjudged" : "free space measured");
        if (misjudged) WrenUtils::setFreeDiskSpaceProbe([](const QString&) { return qint64(50) << 30; });
        ProgressWindowController::sharedPrgoressWindowController()->close();
        pane.useDidClickToChangeDataDirectory();
        const QString expected = misjudged ? "No space left on device" : "not enough room";
        EXPECT_TRUE(QTest::qWaitFor([&] { return shownMessage().contains(expected); }, 10000))
            << shownMessage().toStdString();
        EXPECT_TRUE(shownMessage().contains(chosen)) << shownMessage().toStdString();
        EXPECT_EQ(d().string("DATA_DIRECTORY"), data + "/");
        EXPECT_EQ(entriesBelow(chosen + "/templates"), 0u) << "a half copy fills the disk";
        EXPECT_EQ(QFileInfo(QString::fromStdString(data + "/templates/Classic/frame.png")).size(), 3 << 20);
    }
    WrenUtils::setFreeDiskSpaceProbe(nullptr);
}

namespace {

// The booth's own code: every source file under src/ but the preferences'.
struct BoothSources {
    BoothSources() {
        const QString root = QStringLiteral(FLASHWREN_SOURCE_DIR "/src");
        QDirIterator it(root, {"*.cpp", "*.h"}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (path.startsWith(root + "/preferences/")) continue;
            QFile f(path);
            if (f.open(QIODevice::ReadOnly)) files[path] = QString::fromUtf8(f.readAll());
        }
    }
    // Whether some code there reads `key`: its literal, or a constant that
    // holds it and is used elsewhere, or the literal prefix of a numbered key
    // ("AUDIO_PHOTO_" + number).
    bool reads(const QString& key) const {
        QStringList literals = {'"' + key + '"'};
        static const QRegularExpression numbered("^(.*_)[0-9]+$");
        if (auto m = numbered.match(key); m.hasMatch()) literals << '"' + m.captured(1) + '"';
        for (const auto& literal : literals) {
            for (auto it = files.begin(); it != files.end(); ++it) {
                for (const auto& line : it.value().split('\n')) {
                    // Giving a key its range is no use of its value.
                    if (!line.contains(literal) || line.contains("registerRange(")) continue;
                    static const QRegularExpression constant("\\b(k[A-Za-z0-9_]+)\\s*=\\s*\"");
                    auto m = constant.match(line);
                    if (!m.hasMatch()) return true;  // read where it is written
                    if (usedBeyondItsDefinition(m.captured(1))) return true;
                }
            }
        }
        return false;
    }
    bool usedBeyondItsDefinition(const QString& name) const {
        const QRegularExpression word("\\b" + name + "\\b");
        int uses = 0;
        for (const auto& text : files) uses += static_cast<int>(text.count(word));
        return uses > 1;
    }
    QMap<QString, QString> files;
};

}  // namespace

TEST_F(Panes, EverySettingAPaneOffersIsReadByTheBooth) {
    ASSERT_TRUE(WrenDatabase::openShared(home.path() + "/db.sqlite", FLASHWREN_SOURCE_DIR "/resources/migrations"));
    GeneralPreferencesViewController general;
    ShootingPreferencesViewController shooting;
    PrintPreferencesViewController print;
    DisplayPrefrencesViewController display;
    SharingPreferencesViewController sharing;
    SoundPreferencesViewController sounds;
    QStringList offered;
    for (PreferencePane* pane : std::initializer_list<PreferencePane*>{&general, &shooting, &print, &display, &sharing, &sounds}) {
        const QStringList keys = pane->offeredSettings();
        EXPECT_FALSE(keys.isEmpty()) << pane->identifier().toStdString();
        offered << keys;
    }
    WrenDatabase::shared().close();

    // Two settings take effect through the preferences' own code, which
    // hands them on: they are checked by what they do (below).
    const QStringList handedOn = {"AUTO_LAUNCH_APP_ON_CAMERA_CONNECT", "NAVIGATION_ENABLED"};
    BoothSources sources;
    ASSERT_GT(sources.files.size(), 50);
    QStringList unread;
    for (const auto& key : offered)
        if (!handedOn.contains(key) && !sources.reads(key)) unread << key;
    EXPECT_TRUE(unread.isEmpty()) << "offered by a pane but read by no code of the booth: "
                                  << unread.join(", ").toStdString();

    // The display, shooting and print settings the booth reads are all offered.
    for (auto key : {"seconds_between_shots", "seconds_between_groups", "LiveViewEnabled", "trigger_camera",
                     "MirrorLiveView", "MAX_PRINTS_PER_EVENT", "HIDE_PRINT_BUTTON_AFTER_MAX_PRINT",
                     "SHOW_PRINT_BUTTON_FINAL_SCREEN", "print_automatically", "MAX_PRINTS_PER_SESSION", "START_TEXT",
                     "HOME_SCREEN_BACKGROUND", "BACKGROUND_TYPE_SELECTION", "BACKGROUND_IMAGE"})
        EXPECT_TRUE(offered.contains(key)) << key << " is offered by no pane";
    EXPECT_FALSE(offered.contains("VIRTUAL_KEYBOARD_WARNING_TEXT")) << "a hint is shown, not set";
}

TEST_F(Panes, HandedOnSettingsReachWhatTheyDrive) {
    // Camera auto-launch: the booth runs the start-up features, which register it.
    EXPECT_TRUE(BoothSources().files.value(FLASHWREN_SOURCE_DIR "/src/booth/AppController.cpp")
                    .contains("GeneralPreferencesViewController::setupAppStartupFeatures()"));
    MemoryHotPlug hotPlug;
    GeneralPreferencesViewController::setHotPlugPreferencesForTesting(&hotPlug);
    d().set("AUTO_LAUNCH_APP_ON_CAMERA_CONNECT", true);
    GeneralPreferencesViewController::setupAppStartupFeatures();
    GeneralPreferencesViewController::setHotPlugPreferencesForTesting(nullptr);
    EXPECT_EQ(hotPlug.values.value("HotPlugActionPath"), "flashwren.desktop");

    // Gallery navigation: the switch's value goes to the web service.
    testsupport::LoopbackServer server;
    d().set("FlashwrenAdminURL", server.baseUrl() + "/");
    SharingPreferencesViewController sharing;
    auto* navigation = sharing.view()->findChild<QAbstractButton*>("NAVIGATION_ENABLED");
    ASSERT_TRUE(navigation);
    navigation->setEnabled(true);
    navigation->click();
    EXPECT_TRUE(d().boolean("NAVIGATION_ENABLED"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.requestCount() == 1; }, 5000));
    EXPECT_EQ(testsupport::RecordedRequest::field(server.requests()[0].body, "PrevNext"), "1");
}

TEST_F(Panes, DisplayPaneChoosesWhatTheHomeScreenShows) {
    DisplayPrefrencesViewController pane;
    auto* type = pane.view()->findChild<QComboBox*>("BACKGROUND_TYPE_SELECTION");
    ASSERT_TRUE(type);
    EXPECT_EQ(type->currentData().toInt(), 1) << "the image over the colour, as before";
    type->setCurrentIndex(0);
    emit type->activated(0);
    EXPECT_EQ(*d().object("BACKGROUND_TYPE_SELECTION"), 0) << "stored as a number";

    pane.chooseColor = [](const QColor&) { return QColor(255, 0, 0); };
    pane.userDidClickToChooseHomeScreenColour();
    EXPECT_EQ(d().string("HOME_SCREEN_BACKGROUND"), "#ff0000");
    QCoreApplication::processEvents();
    EXPECT_EQ(pane.view()->findChild<QLineEdit*>("HOME_SCREEN_BACKGROUND")->text(), "#ff0000");
    pane.chooseColor = [](const QColor&) { return QColor(); };  // cancelled
    pane.userDidClickToChooseHomeScreenColour();
    EXPECT_EQ(d().string("HOME_SCREEN_BACKGROUND"), "#ff0000");
}

namespace {

// A PATH holding only the programs a test puts there.
class FakePath {
public:
    FakePath() : saved_(qgetenv("PATH")), desktop_(qgetenv("XDG_CURRENT_DESKTOP")) {
        qputenv("PATH", QByteArray::fromStdString(dir_.path()));
    }
    ~FakePath() {
        qputenv("PATH", saved_);
        qputenv("XDG_CURRENT_DESKTOP", desktop_);
    }
    // A program that writes its name and arguments to "<name>.ran".
    void install(const std::string& name) {
        const QString path = QString::fromStdString(dir_.file(name));
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(("#!/bin/sh\necho \"" + name + " $*\" > \"" + dir_.file(name) + ".ran.tmp\"\n/bin/mv \"" +
                 dir_.file(name) + ".ran.tmp\" \"" + dir_.file(name) + ".ran\"\n").c_str());
        f.close();
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    QString ran(const std::string& name) const {
        QFile f(QString::fromStdString(dir_.file(name + ".ran")));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).trimmed() : QString();
    }

private:
    testsupport::TempDir dir_;
    QByteArray saved_, desktop_;
};

}  // namespace

TEST_F(Panes, AccessibilityButtonOpensTheDesktopsSettings) {
    FakePath path;
    path.install("gnome-control-center");
    path.install("systemsettings");
    qputenv("XDG_CURRENT_DESKTOP", "ubuntu:GNOME");
    {
        GeneralPreferencesViewController pane;
        auto* button = pane.view()->findChild<QPushButton*>("openAccessibilitySettings");
        ASSERT_TRUE(button);
        EXPECT_TRUE(button->isEnabled());
        button->click();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !path.ran("gnome-control-center").isEmpty(); }, 5000));
        EXPECT_EQ(path.ran("gnome-control-center"), "gnome-control-center universal-access");
    }
    qputenv("XDG_CURRENT_DESKTOP", "KDE");
    GeneralPreferencesViewController pane;
    pane.view()->findChild<QPushButton*>("openAccessibilitySettings")->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !path.ran("systemsettings").isEmpty(); }, 5000));
    EXPECT_EQ(path.ran("systemsettings"), "systemsettings kcm_access");
}

TEST_F(Panes, AccessibilityButtonIsDisabledWhenNoDesktopSettingsAreInstalled) {
    FakePath path;
    path.install("unrelated-tool");
    GeneralPreferencesViewController pane;
    auto* button = pane.view()->findChild<QPushButton*>("openAccessibilitySettings");
    ASSERT_TRUE(button);
    EXPECT_FALSE(button->isEnabled());
    EXPECT_TRUE(button->toolTip().contains("No accessibility settings are installed")) << button->toolTip().toStdString();
    EXPECT_FALSE(GeneralPreferencesViewController::accessibilitySettingsCommand());
}
