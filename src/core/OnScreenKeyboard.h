#pragma once
// Qt's on-screen keyboard as the booth uses it. It becomes the input method
// only at start, where the operator switched it on and set no input method of
// their own (dead keys, compose and ibus or fcitx stay theirs otherwise). Its
// layouts follow the booth's language, with an address page for e-mail
// fields; it stays above every window the booth shows; and a key row it left
// without widths is laid out again.
#include <QString>
#include <QStringList>

namespace OnScreenKeyboard {

// Whether the keyboard and its Qt Quick module are installed.
bool isInstalled();
// Before the application object exists: makes the keyboard the input method
// when `wanted` and the user set none (QT_IM_MODULE). Says whether it is.
bool select(bool wanted);
// Whether the keyboard is this run's input method.
bool isSelected();
// Shows it (and lets a tapped field bring it up) or hides it (and keeps it
// away); where it is not the input method this only logs so. Interface thread.
void show(bool show);
// Whether the last tap on the booth's windows was on the keyboard itself:
// when the keyboard goes away just after one, the guest put it away with its
// key. Interface thread.
bool lastTapWasOnKeyboard();
// The input method the desktop set for this run (QT_IM_MODULE at start, as
// ibus or fcitx), which keeps the keyboard away; "" when it set none or set
// the keyboard itself.
QString desktopInputMethod();
// Whether the setting `wanted` asks for another input method than this run
// has, which only the next start brings.
bool changeNeedsRestart(bool wanted);
// Of the keyboard's `layouts` ("de_DE", "en_GB", ...), the one for the first
// of `languages` (the user's, most wanted first) that it has, by locale, then
// the language's own region, then any region; the C locale reads as English
// (United States), as Qt reads it, and so does a list without any it has.
// "" when the keyboard has no English either.
QString layoutForLanguages(const QStringList& languages, const QStringList& layouts);

}  // namespace OnScreenKeyboard
