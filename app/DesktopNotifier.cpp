#include "DesktopNotifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFileInfo>
#include <QVariantMap>

namespace {

TNotificationSink& Sink() {
  static TNotificationSink sink;
  return sink;
}

// Whether a session bus can be reached without starting one: its address is
// in the environment, or the user's runtime folder holds its socket. (Asking
// Qt for the bus otherwise may try to launch a bus daemon for the display.)
bool SessionBusKnown() {
  if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return true;
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  return !runtime.isEmpty() && QFileInfo::exists(QDir(runtime).filePath("bus"));
}

}  // namespace

void SetNotificationSink(TNotificationSink sink) { Sink() = std::move(sink); }

bool NotifyDesktop(const QString& title, const QString& text) {
  if (Sink()) {
    Sink()(title, text);
    return true;
  }
  if (!SessionBusKnown()) return false;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return false;
  QDBusMessage call = QDBusMessage::createMethodCall(
      "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
      "org.freedesktop.Notifications", "Notify");
  // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout
  call << QString("quellon") << 0u << QString("audio-x-generic") << title << text
       << QStringList() << QVariantMap() << -1;
  // Sent without waiting: a missing or slow service never holds up the window.
  return bus.send(call);
}
