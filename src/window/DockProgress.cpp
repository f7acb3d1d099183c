#include "window/DockProgress.h"

#include <QDBusMessage>
#include <QFileInfo>
#include <QVariantMap>
#include <algorithm>
#include <cmath>

namespace vexav {

TDockProgress::TDockProgress() = default;

TDockProgress::~TDockProgress() {
  Hide();
}

void TDockProgress::SetConnection(const QDBusConnection& bus) {
  FBus = bus;
  FLookedUp = true;
}

QDBusConnection* TDockProgress::Bus() {
  if (!FLookedUp) {
    FLookedUp = true;
    // The session bus is used only where the environment names one (its
    // address, or the user's bus socket): otherwise the bus library would
    // try to start one, which takes time and leaves a daemon behind.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    const bool named = !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") ||
                       (!runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus")));
    if (named) FBus = QDBusConnection::sessionBus();
  }
  if (!FBus || !FBus->isConnected()) return nullptr;
  return &*FBus;
}

void TDockProgress::Send(double fraction, bool visible) {
  QDBusConnection* bus = Bus();
  if (!bus) return;
  QDBusMessage signal = QDBusMessage::createSignal(QString::fromLatin1(kLauncherEntryPath),
                                                   QString::fromLatin1(kLauncherEntryInterface),
                                                   QStringLiteral("Update"));
  QVariantMap properties;
  properties.insert(QStringLiteral("progress"), fraction);
  properties.insert(QStringLiteral("progress-visible"), visible);
  signal << QStringLiteral("application://") + QString::fromLatin1(kDesktopFileId) << properties;
  if (bus->send(signal)) ++FSent;
}

void TDockProgress::Show(double fraction) {
  fraction = std::clamp(fraction, 0.0, 1.0);
  const int permille = static_cast<int>(std::floor(fraction * 1000));
  if (FVisible && permille == FLastPermille) return;
  FVisible = true;
  FLastPermille = permille;
  Send(fraction, true);
}

void TDockProgress::Hide() {
  if (!FVisible) return;
  FVisible = false;
  FLastPermille = -1;
  Send(0.0, false);
}

}  // namespace vexav
