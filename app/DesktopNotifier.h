// A desktop notification through the freedesktop notification service
// (org.freedesktop.Notifications on the session bus), as desktops show the
// end of a long job in the background.
//
// Without a session bus (tests, the offscreen platform, a bare X server)
// nothing is shown and nothing is reported: a notification is a courtesy.
// The call does not wait for the service's answer.
//
// Threads: GUI thread only.
#pragma once
#include <QString>
#include <functional>

// When a sink is installed (tests), the sink gets the notification instead
// of the bus.
using TNotificationSink = std::function<void(const QString& title, const QString& text)>;
void SetNotificationSink(TNotificationSink sink);

// Asks the desktop to show the notification; false when it could not be
// asked (no session bus), true when it was asked or a sink took it.
bool NotifyDesktop(const QString& title, const QString& text);
