// The Linux desktop: logind's inhibitor on the system bus, the launcher
// entry's progress and notifications on the session bus.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QStringList>
#include <QVariantMap>

#include "update_desktop.h"

namespace norza::desktop {
namespace {

constexpr int kCallTimeoutMs = 5000;

class LogindInhibitor final : public SleepInhibitor {
 public:
  bool hold(const QString& who, const QString& why, QString* problem) override {
    if (held()) return true;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep:idle:handle-lid-switch") << who << why << QStringLiteral("block");
    // Never a password prompt in the middle of an update.
    call.setInteractiveAuthorizationAllowed(false);
    const QDBusMessage reply =
        QDBusConnection::systemBus().call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
      *problem = reply.errorMessage().isEmpty() ? QStringLiteral("logind did not answer")
                                                : reply.errorName() + ": " + reply.errorMessage();
      return false;
    }
    // The descriptor is the hold: closing it (or dying) releases it.
    lock_ = qvariant_cast<QDBusUnixFileDescriptor>(reply.arguments().at(0));
    if (!lock_.isValid()) {
      *problem = QStringLiteral("logind gave no descriptor");
      return false;
    }
    return true;
  }
  void release() override { lock_ = QDBusUnixFileDescriptor(); }
  bool held() const override { return lock_.isValid(); }

 private:
  QDBusUnixFileDescriptor lock_;
};

// The launcher entry protocol the Ubuntu and KDE task managers read.
class LauncherEntry final : public ProgressShown {
 public:
  explicit LauncherEntry(const QString& desktopId)
      : uri_(QStringLiteral("application://") + desktopId + QStringLiteral(".desktop")) {}
  void show(double fraction) override { send(fraction, true); }
  void failed() override {}
  void clear() override { send(0.0, false); }

 private:
  void send(double fraction, bool visible) {
    QDBusMessage signal = QDBusMessage::createSignal(
        QStringLiteral("/com/zk/NorzaUpdater"), QStringLiteral("com.canonical.Unity.LauncherEntry"),
        QStringLiteral("Update"));
    QVariantMap properties;
    properties.insert(QStringLiteral("progress"), fraction);
    properties.insert(QStringLiteral("progress-visible"), visible);
    signal << uri_ << properties;
    QDBusConnection::sessionBus().send(signal);
  }
  const QString uri_;
};

}  // namespace

std::unique_ptr<SleepInhibitor> createSleepInhibitor() {
  return std::make_unique<LogindInhibitor>();
}

std::unique_ptr<ProgressShown> createProgressShown(const QString& desktopId, quintptr) {
  return std::make_unique<LauncherEntry>(desktopId);
}

bool notifyDesktop(const QString& appName, const QString& icon, const QString& summary,
                   const QString& body) {
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.Notifications"),
      QStringLiteral("/org/freedesktop/Notifications"),
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
  call << appName << 0u << icon << summary << body << QStringList() << QVariantMap() << -1;
  const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, kCallTimeoutMs);
  return reply.type() == QDBusMessage::ReplyMessage;
}

}  // namespace norza::desktop
