#include "ConfigLocation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

const char* const CONFIG_NAME = "Config.ini";

}  // namespace

TConfigPlace ChooseConfigPlace(bool userFileExists, bool programPlaceWritable) {
  if (userFileExists) return cpUserFolder;
  return programPlaceWritable ? cpBesideProgram : cpUserFolder;
}

QString ConfigFileFor(const QString& programDir, const QString& userDir) {
  const QString beside = QDir(programDir).filePath(CONFIG_NAME);
  const QString user = QDir(userDir).filePath(CONFIG_NAME);
  const QFileInfo besideFile(beside);
  const bool writable =
      besideFile.exists() ? besideFile.isWritable() : QFileInfo(programDir).isWritable();
  if (ChooseConfigPlace(QFileInfo::exists(user), writable) == cpBesideProgram) return beside;
  QDir().mkpath(userDir);
  if (!QFileInfo::exists(user) && besideFile.exists() && QFile::copy(beside, user))
    QFile(user).setPermissions(QFile(user).permissions() | QFileDevice::WriteOwner);
  return user;
}
