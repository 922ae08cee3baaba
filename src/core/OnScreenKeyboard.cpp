#include "core/OnScreenKeyboard.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QInputMethod>
#include <QLibrary>
#include <QLibraryInfo>
#include <QLocale>
#include <QPointer>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTimer>
#include <QWidget>

#include "base/Files.h"
#include "base/Log.h"

namespace {

constexpr char kModule[] = "qtvirtualkeyboard";
// Where the keyboard keeps its own layouts: resources of its layouts plugin.
constexpr char kBuiltIn[] = ":/qt-project.org/imports/QtQuick/VirtualKeyboard/Layouts";
// The layout types the keyboard asks for by the field's hints and its mode.
const char* const kLayoutTypes[] = {"main", "symbols", "digits", "numbers", "dialpad"};

// What the process started with: the input method the user set (if any)
// and whether the keyboard became the input method.
bool selectCalled = false;
QByteArray userModule;
bool selectedAtStart = false;
// Whether the booth has asked for the keyboard yet (interface thread).
bool shownOnce = false;
// Whether the last press or touch went to the keyboard's window.
bool lastTapOnKeyboard = false;

QString moduleFolder() { return QLibraryInfo::path(QLibraryInfo::QmlImportsPath) + "/QtQuick/VirtualKeyboard"; }

// The keyboard's layouts by locale name. They are resources of a plugin that
// the keyboard loads only when it first shows, so it is loaded here first.
QStringList builtInLayouts() {
    QLibrary plugin(moduleFolder() + "/Layouts/libqtvkblayoutsplugin.so");
    if (!plugin.load()) spdlog::warn("OnScreenKeyboard: cannot load its layouts: {}", plugin.errorString().toStdString());
    QStringList names = QDir(kBuiltIn).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    names.removeAll(QStringLiteral("fallback"));
    return names;
}

QString builtInUrl(const QString& relative) { return QStringLiteral("qrc") + kBuiltIn + "/" + relative; }

// A page of the keyboard's own for `locale`, else its shared one; "" for none.
QString builtInPage(const QString& locale, const QString& type) {
    for (const QString& folder : {locale, QStringLiteral("fallback")}) {
        const QString file = folder + "/" + type + ".qml";
        if (QFileInfo::exists(QString(kBuiltIn) + "/" + file)) return builtInUrl(file);
    }
    return {};
}

// Each page of the booth's language loads the keyboard's own.
constexpr char kPage[] = R"(import QtQuick.VirtualKeyboard.Components
KeyboardLayoutLoader { source: "%1" }
)";
// A page of the keyboard's own under a row of keys of the booth's (%2). The
// letters and symbols pages have no key that puts the keyboard away, and
// without one a guest who tapped a field has no visible way back to what
// it covers: that row ends with one.
constexpr char kPageUnderRow[] = R"(import QtQuick
import QtQuick.Layouts
import QtQuick.VirtualKeyboard
import QtQuick.VirtualKeyboard.Components
KeyboardLayout {
    id: page
%3
    keyWeight: 160
    KeyboardRow {
        Layout.preferredHeight: page.height / 5
        Layout.fillHeight: false
%2
        HideKeyboardKey { weight: 200 }
    }
    Loader {
        id: inner
        Layout.fillWidth: true
        Layout.fillHeight: true
        source: "%1"
    }
}
)";
// The letters page, but for an address: "@" and ".com" above the letters.
constexpr char kMainPage[] = R"(import QtQuick
import QtQuick.VirtualKeyboard
import QtQuick.VirtualKeyboard.Components
KeyboardLayoutLoader {
    source: (InputContext.inputMethodHints & Qt.ImhEmailCharactersOnly) ? "email.qml" : "letters.qml"
}
)";
constexpr char kAddressKeys[] = R"(        Key { text: "@"; noModifier: true }
        Key { text: "-"; noModifier: true }
        Key { text: "_"; noModifier: true }
        Key { text: ".com"; noModifier: true; weight: 320 }
        FillerKey { weight: 600 })";
constexpr char kNoKeys[] = R"(        FillerKey { weight: 1400 })";
// The page below types as it would on its own...
constexpr char kInnerMode[] = R"(    inputMode: inner.item ? inner.item.inputMode : -1
    inputMethod: inner.item ? inner.item.inputMethod : null
    sharedLayouts: inner.item ? inner.item.sharedLayouts : null
    function createInputMethod() { return inner.item ? inner.item.createInputMethod() : null })";
// ...but an address is typed in Latin letters.
constexpr char kLatinMode[] = R"(    inputMode: InputEngine.InputMode.Latin)";

bool writeIfChanged(const QString& path, const QString& text) {
    const std::string file = QFile::encodeName(path).toStdString();
    const std::string bytes = text.toStdString();
    if (base::readFile(file) == bytes) return true;
    std::string error;
    if (base::writeFileAtomically(file, bytes, &error)) return true;
    spdlog::warn("OnScreenKeyboard: cannot write {}: {}", file, error);
    return false;
}

// A layout folder that holds only the booth's language, so the keyboard shows
// it whatever the process locale; "" when the keyboard has no layouts.
QString writeLayouts() {
    const QStringList layouts = builtInLayouts();
    const QString locale = OnScreenKeyboard::layoutForLanguages(QLocale::system().uiLanguages(), layouts);
    if (locale.isEmpty()) return {};
    const QString root = QString::fromStdString(base::cacheHome()) + "/Flashwren/Keyboard/" + locale;
    const QString folder = root + "/" + locale;
    if (!QDir().mkpath(folder)) {
        spdlog::warn("OnScreenKeyboard: cannot make {}", folder.toStdString());
        return {};
    }
    for (const char* type : kLayoutTypes) {
        const QString page = builtInPage(locale, type);
        if (page.isEmpty()) continue;
        const QLatin1String name(type);
        QString text = QString(kPage).arg(page);
        if (name == QLatin1String("main")) text = kMainPage;
        else if (name == QLatin1String("symbols")) text = QString(kPageUnderRow).arg(page, kNoKeys, kInnerMode);
        if (!writeIfChanged(folder + "/" + type + ".qml", text)) return {};
    }
    if (!writeIfChanged(folder + "/letters.qml", QString(kPageUnderRow).arg(builtInPage(locale, "main"), kNoKeys, kInnerMode)))
        return {};
    // Addresses are typed in Latin letters whatever the language's script.
    const QString letters = QLocale(locale).script() == QLocale::LatinScript ? builtInPage(locale, "main")
                                                                              : builtInPage("fallback", "main");
    if (!writeIfChanged(folder + "/email.qml", QString(kPageUnderRow).arg(letters, kAddressKeys, kLatinMode))) return {};
    return root;
}

QPointer<QQuickWindow> keyboardWindow;

bool isKeyboardWindow(const QWindow* window) { return window && window->inherits("QtVirtualKeyboard::InputView"); }

// Rows of the keyboard that a key's width changed inside of keep the sizes
// of their first pass, leaving keys (shift, the symbols key, comma, Enter)
// with no width. Telling the row the key changed lays it out again; a key
// that still has none after a few tries in a row is left as it is.
void layOutKeysWithoutWidth(QQuickItem* item) {
    if (!item->isVisible()) return;
    if (item->width() >= 1) {
        if (item->property("flashwrenRelayouts").toInt()) item->setProperty("flashwrenRelayouts", 0);
    } else {
        for (QObject* attached : item->children()) {
            if (!attached->inherits("QQuickLayoutAttached") || attached->property("preferredWidth").toReal() <= 0)
                continue;
            const int tries = item->property("flashwrenRelayouts").toInt();
            if (tries >= 3) break;
            item->setProperty("flashwrenRelayouts", tries + 1);
            const qreal implicit = item->implicitWidth();
            item->setImplicitWidth(implicit + 1);
            item->setImplicitWidth(implicit);
            break;
        }
    }
    for (QQuickItem* child : item->childItems()) layOutKeysWithoutWidth(child);
}

// Watches the booth's windows for the keyboard's sake.
class KeyboardWatch : public QObject {
public:
    explicit KeyboardWatch(QObject* parent) : QObject(parent) {
        // Its window may have stayed mapped, under the windows shown since.
        connect(QGuiApplication::inputMethod(), &QInputMethod::visibleChanged, this, [this] {
            if (QGuiApplication::inputMethod()->isVisible()) raiseKeyboardSoon();
        });
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show) {
            auto* window = qobject_cast<QWindow*>(watched);
            if (isKeyboardWindow(window)) watchKeyboard(qobject_cast<QQuickWindow*>(window));
            else if (coversKeyboard(window)) raiseKeyboardSoon();
        } else if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::TouchBegin) {
            auto* window = qobject_cast<QWindow*>(watched);
            if (window) lastTapOnKeyboard = isKeyboardWindow(window);
            // Without a window manager a tap gives no window the keyboard
            // focus, and a field of a window without it brings no keyboard.
            if (event->type() == QEvent::MouseButtonPress && coversKeyboard(window) && !window->isActive())
                window->requestActivate();
        } else if (event->type() == QEvent::ZOrderChange) {
            auto* widget = qobject_cast<QWidget*>(watched);
            if (widget && widget->isWindow() && widget->isVisible() && coversKeyboard(widget->windowHandle()))
                raiseKeyboardSoon();
        }
        return false;
    }

private:
    // Without a window manager the window mapped or raised last is on top:
    // a share or log-in window shown while the keyboard is up would hide it.
    // Message windows (tools that take no focus) may stay above it.
    static bool coversKeyboard(const QWindow* window) {
        return window && !isKeyboardWindow(window) &&
               (window->type() == Qt::Window || window->type() == Qt::Dialog) &&
               !(window->flags() & Qt::WindowDoesNotAcceptFocus);
    }

    void watchKeyboard(QQuickWindow* window) {
        if (!window || window == keyboardWindow) return;
        keyboardWindow = window;
        connect(window, &QQuickWindow::afterAnimating, this, [window] {
            layOutKeysWithoutWidth(window->contentItem());
        });
    }

    void raiseKeyboardSoon() {
        // Once the window's own show, raise and activation are done.
        if (raisePending_) return;
        raisePending_ = true;
        QTimer::singleShot(0, this, [this] {
            raisePending_ = false;
            if (keyboardWindow && keyboardWindow->isVisible() && QGuiApplication::inputMethod()->isVisible())
                keyboardWindow->raise();
        });
    }

    bool raisePending_ = false;
};

// Qt widgets bring the keyboard up themselves when a text field is tapped.
// Until the booth shows it they must not, so that follows the booth's choice
// (WrenUtils::showHideVirtualKeyboard); it starts off.
void startWatching() {
    // The application object is still being made: use it once it is.
    QMetaObject::invokeMethod(QCoreApplication::instance(), [] {
        auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
        if (!app) return;
        if (!shownOnce) app->setAutoSipEnabled(false);
        app->installEventFilter(new KeyboardWatch(app));
    }, Qt::QueuedConnection);
}

}  // namespace

bool OnScreenKeyboard::isInstalled() {
    // The input-context plugin alone is not enough: the keyboard itself is
    // a Qt Quick module.
    const QString plugins = QLibraryInfo::path(QLibraryInfo::PluginsPath);
    return QFileInfo::exists(plugins + "/platforminputcontexts/libqtvirtualkeyboardplugin.so") &&
           QFileInfo::exists(moduleFolder() + "/qmldir");
}

bool OnScreenKeyboard::select(bool wanted) {
    if (QCoreApplication::instance() || selectCalled) return selectedAtStart;
    selectCalled = true;
    userModule = qgetenv("QT_IM_MODULE");
    if (userModule.isEmpty() && wanted && isInstalled()) qputenv("QT_IM_MODULE", kModule);
    selectedAtStart = qgetenv("QT_IM_MODULE") == kModule && isInstalled();
    if (wanted && !desktopInputMethod().isEmpty())
        spdlog::warn("OnScreenKeyboard: the desktop's input method ({}) is in use: the on-screen keyboard will not show",
                     desktopInputMethod().toStdString());
    if (!selectedAtStart) return false;
    if (qgetenv("QT_VIRTUALKEYBOARD_LAYOUT_PATH").isEmpty())
        if (const QString layouts = writeLayouts(); !layouts.isEmpty())
            qputenv("QT_VIRTUALKEYBOARD_LAYOUT_PATH", QFile::encodeName(layouts));
    qAddPreRoutine(&startWatching);
    return true;
}

bool OnScreenKeyboard::isSelected() { return selectedAtStart; }

void OnScreenKeyboard::show(bool show) {
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (!app || qgetenv("QT_IM_MODULE") != kModule || !isInstalled()) {
        spdlog::info("ToggleKeyboard: Still can't find any input sources so nothing to...");
        return;
    }
    shownOnce = true;
    app->setAutoSipEnabled(show);
    if (show) QGuiApplication::inputMethod()->show();
    else QGuiApplication::inputMethod()->hide();
}

bool OnScreenKeyboard::lastTapWasOnKeyboard() { return lastTapOnKeyboard; }

QString OnScreenKeyboard::desktopInputMethod() {
    const QByteArray own = selectCalled ? userModule : qgetenv("QT_IM_MODULE");
    return own == kModule ? QString() : QString::fromLocal8Bit(own);
}

bool OnScreenKeyboard::changeNeedsRestart(bool wanted) {
    // The next start keeps an input method the user set, else picks the
    // keyboard by the setting.
    const QByteArray own = selectCalled ? userModule : qgetenv("QT_IM_MODULE");
    const bool atNextStart = isInstalled() && (own.isEmpty() ? wanted : own == kModule);
    return atNextStart != selectedAtStart;
}

QString OnScreenKeyboard::layoutForLanguages(const QStringList& languages, const QStringList& layouts) {
    // The booth's own texts are English: that is the last choice.
    for (const QString& tag : languages + QStringList{QStringLiteral("C")}) {
        QLocale wanted(tag);
        if (wanted.language() == QLocale::C) wanted = QLocale(QLocale::English, QLocale::UnitedStates);
        const QString region = QLocale(wanted.language()).name();
        for (const QString& name : {wanted.name(), region})
            if (layouts.contains(name)) return name;
        const QString language = wanted.name().section('_', 0, 0) + "_";
        for (const QString& name : layouts)
            if (name.startsWith(language)) return name;
    }
    return {};
}
