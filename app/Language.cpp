#include "Language.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QSettings>
#include <QTranslator>

#include "MainFrm.h"

namespace {

TLanguage& Installed() {
  static TLanguage language = laChinese;
  return language;
}

}  // namespace

TLanguage ResolveLanguage(TLanguageChoice choice, const QStringList& uiLanguages) {
  if (choice == lcChinese) return laChinese;
  if (choice == lcEnglish) return laEnglish;
  // As Qt picks a translation: the first preferred language there is one for.
  for (const QString& name : uiLanguages) {
    const QString language = name.section('-', 0, 0).section('_', 0, 0).toLower();
    if (language == "zh") return laChinese;
    if (language == "en") return laEnglish;
  }
  return laEnglish;
}

QString LanguageChoiceName(TLanguageChoice choice) {
  switch (choice) {
    case lcChinese:
      return "zh";
    case lcEnglish:
      return "en";
    case lcSystem:
      break;
  }
  return "system";
}

TLanguageChoice ParseLanguageChoice(const QString& name) {
  const QString value = name.trimmed().toLower();
  if (value == "zh") return lcChinese;
  if (value == "en") return lcEnglish;
  return lcSystem;
}

TLanguageChoice ReadLanguageChoice(const QString& configFile) {
  QSettings settings(configFile, QSettings::IniFormat);
  return ParseLanguageChoice(settings.value(ConfigSection(settings) + "/language").toString());
}

TLanguage StartupLanguage(const QString& configFile) {
  return ResolveLanguage(ReadLanguageChoice(configFile), QLocale::system().uiLanguages());
}

bool InstallLanguage(TLanguage language) {
  QCoreApplication* app = QCoreApplication::instance();
  static QTranslator* program = nullptr;
  static QTranslator* qt = nullptr;
  for (QTranslator** translator : {&program, &qt}) {
    if (!*translator) continue;
    app->removeTranslator(*translator);
    delete *translator;
    *translator = nullptr;
  }
  Installed() = language;
  if (language == laEnglish) {
    // The translations' resource lives in a static library: named here so
    // that the linker keeps it.
    static const bool registered = [] {
      Q_INIT_RESOURCE(quellon_translations);
      return true;
    }();
    (void)registered;
    // Qt's own texts are English already.
    program = new QTranslator(app);
    if (!program->load(":/i18n/quellon_en.qm")) return false;
    return app->installTranslator(program);
  }
  // Chinese is the program's source language; Qt's dialogs, standard buttons
  // and context menus take the system's Chinese texts when it has them.
  qt = new QTranslator(app);
  if (qt->load(QLocale(QLocale::Chinese, QLocale::China), "qt", "_",
               QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    app->installTranslator(qt);
  return true;
}

TLanguage CurrentLanguage() { return Installed(); }
