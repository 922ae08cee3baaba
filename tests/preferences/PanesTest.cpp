#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTableWidget>

#include "PreferencesTestMain.h"
#include "core/Database.h"
#include "core/Models.h"
#include "core/WrenUtils.h"
#include "preferences/CustomControls.h"
#include "preferences/GeneralPreferencesViewController.h"
#include "preferences/HotPlugRegistration.h"
#include "preferences/PreferencePane.h"
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

TEST_F(GeneralPane, ChangingTheDataFolderCarriesTheTemplatesOver) {
    QDir().mkpath(QString::fromStdString(home.path()) + "/data/templates/Classic");
    touch(QString::fromStdString(home.path()) + "/data/templates/Classic/template.xml");
    testsupport::TempDir chosen;
    GeneralPreferencesViewController pane;
    pane.chooseFolder = [&](const QString&) { return QString::fromStdString(chosen.path()); };
    pane.useDidClickToChangeDataDirectory();
    EXPECT_EQ(d().string("DATA_DIRECTORY"), chosen.path() + "/");
    EXPECT_TRUE(QFile::exists(QString::fromStdString(chosen.path()) + "/templates/Classic/template.xml"));
    EXPECT_TRUE(QFile::exists(QString::fromStdString(home.path()) + "/data/templates/Classic/template.xml"));
}
