// The language of the window: Chinese (the source texts) or English (the
// translation app/translations/quellon_en.ts, built into the program as a
// resource). The setting "语言" chooses it, or leaves it to the system's
// locale; it takes effect when the program starts, before any window is made.
// Qt's own dialogs and buttons follow the same choice (its Chinese texts come
// from the system, Debian: qt6-translations-l10n).
//
// Threads: GUI thread only (InstallLanguage); the rest are pure.
#pragma once
#include <QString>
#include <QStringList>

// The setting: what the user chose.
enum TLanguageChoice : int {
  lcSystem = 0,   // "跟随系统": the system's locale decides
  lcChinese = 1,  // "中文"
  lcEnglish = 2   // "English"
};

// The language the window speaks.
enum TLanguage : int { laChinese = 0, laEnglish = 1 };

// The language of a choice under a system whose preferred languages are
// uiLanguages (QLocale::system().uiLanguages(): LANGUAGE, LC_ALL,
// LC_MESSAGES, LANG in Qt's order): the first Chinese or English one
// decides; neither: English.
TLanguage ResolveLanguage(TLanguageChoice choice, const QStringList& uiLanguages);

// The setting's value in the settings file ("system", "zh", "en") and back;
// an unknown or missing value is lcSystem.
QString LanguageChoiceName(TLanguageChoice choice);
TLanguageChoice ParseLanguageChoice(const QString& name);

// The choice kept in a settings file (key "language" of its window section).
TLanguageChoice ReadLanguageChoice(const QString& configFile);

// The language of the settings file's choice under the system's locale.
TLanguage StartupLanguage(const QString& configFile);

// Installs the translators of the language into the application (those of
// an earlier call removed): English, the program's translation; Chinese, Qt's
// own Chinese texts. False when the program's translation did not load.
bool InstallLanguage(TLanguage language);
// The language installed last (Chinese before any call).
TLanguage CurrentLanguage();
