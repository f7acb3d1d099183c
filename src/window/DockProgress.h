// The run's progress on the desktop's dock or task bar: the
// com.canonical.Unity.LauncherEntry signal "Update" on the session bus,
// which the docks of KDE and GNOME (and others) read to draw a bar over the
// program's icon. Nothing happens when there is no session bus: no error, no
// wait.
#pragma once

#include <QDBusConnection>
#include <QString>
#include <optional>

namespace vexav {

// The desktop file the dock knows the program by (data/ installs it).
inline constexpr char kDesktopFileId[] = "org.vexav.Converter.desktop";
// Where the signal comes from; the docks look at its arguments only.
inline constexpr char kLauncherEntryPath[] = "/org/vexav/Converter";
inline constexpr char kLauncherEntryInterface[] = "com.canonical.Unity.LauncherEntry";

class TDockProgress {
 public:
  // On the user's session bus, reached at the first update (when the
  // environment names one).
  TDockProgress();
  // A bar still shown goes (the window went during a run).
  ~TDockProgress();
  TDockProgress(const TDockProgress&) = delete;
  TDockProgress& operator=(const TDockProgress&) = delete;
  // Sends on this connection instead (a test's private bus).
  void SetConnection(const QDBusConnection& bus);
  // Shows the bar at fraction (0 to 1). Sent when the bar moves by a tenth
  // of a percent or more, or was hidden.
  void Show(double fraction);
  // Hides the bar (the run ended).
  void Hide();
  // How many signals went out.
  int Sent() const { return FSent; }

 private:
  // The connection, or nullptr when there is no bus to send on.
  QDBusConnection* Bus();
  void Send(double fraction, bool visible);

  std::optional<QDBusConnection> FBus;
  bool FLookedUp = false;
  bool FVisible = false;
  int FLastPermille = -1;
  int FSent = 0;
};

}  // namespace vexav
