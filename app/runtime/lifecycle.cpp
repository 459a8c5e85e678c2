#include "app/runtime/lifecycle.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QLoggingCategory>

namespace app_runtime {

namespace detail {

struct SuspensionState {
  std::mutex mutex;
  std::condition_variable changed;
  int pendingDeferrals = 0;
  bool handlersReturned = false;

  bool FinishedLocked() const { return handlersReturned && pendingDeferrals == 0; }
};

}  // namespace detail

namespace {

Q_LOGGING_CATEGORY(lcLifecycle, "korvo.tallisk.lifecycle", QtInfoMsg)

// Turns the login manager's sleep signal into suspension and resumption.
class SleepWatcher : public QObject {
  Q_OBJECT

 public:
  explicit SleepWatcher(Lifecycle& lifecycle) : lifecycle_(lifecycle) {}

  bool Connect() {
    return QDBusConnection::systemBus().connect(QStringLiteral("org.freedesktop.login1"),
                                                QStringLiteral("/org/freedesktop/login1"),
                                                QStringLiteral("org.freedesktop.login1.Manager"),
                                                QStringLiteral("PrepareForSleep"), this, SLOT(PrepareForSleep(bool)));
  }

 public slots:
  // Connected by name: the bus connection knows no pointers to members.
  void PrepareForSleep(bool sleeping) {
    if (sleeping) {
      qCInfo(lcLifecycle) << "the machine goes to sleep: suspending";
      lifecycle_.RaiseSuspending().WaitFor(std::chrono::seconds(5));
    } else {
      qCInfo(lcLifecycle) << "the machine woke: resuming";
      lifecycle_.RaiseResuming();
    }
  }

 private:
  Lifecycle& lifecycle_;
};

}  // namespace

SuspendingDeferral::SuspendingDeferral(std::shared_ptr<detail::SuspensionState> state)
    : state_(std::move(state)), completed_(std::make_shared<bool>(false)) {
  std::lock_guard lock(state_->mutex);
  ++state_->pendingDeferrals;
}

void SuspendingDeferral::Complete() {
  {
    std::lock_guard lock(state_->mutex);
    if (*completed_) return;
    *completed_ = true;
    --state_->pendingDeferrals;
  }
  state_->changed.notify_all();
}

bool Suspension::WaitFor(std::chrono::milliseconds limit) const {
  std::unique_lock lock(state_->mutex);
  return state_->changed.wait_for(lock, limit, [&] { return state_->FinishedLocked(); });
}

bool Suspension::Finished() const {
  std::lock_guard lock(state_->mutex);
  return state_->FinishedLocked();
}

Lifecycle& Lifecycle::Current() {
  static Lifecycle lifecycle;
  return lifecycle;
}

Suspension Lifecycle::RaiseSuspending() {
  std::shared_ptr<detail::SuspensionState> state;
  {
    std::lock_guard lock(mutex_);
    if (current_) return Suspension(current_);
    current_ = state = std::make_shared<detail::SuspensionState>();
  }
  suspending_(SuspendingEventArgs(state));
  {
    std::lock_guard lock(state->mutex);
    state->handlersReturned = true;
  }
  state->changed.notify_all();
  return Suspension(state);
}

bool Lifecycle::RaiseResuming() {
  std::shared_ptr<detail::SuspensionState> suspension;
  {
    std::lock_guard lock(mutex_);
    if (!current_) return false;
    suspension.swap(current_);
  }
  // A wake that comes while the suspension still saves waits for it: the handlers
  // resume from a finished suspension, never from half of one.
  if (!Suspension(suspension).WaitFor(std::chrono::seconds(10))) {
    qCWarning(lcLifecycle) << "resuming before the suspension finished (10 s passed)";
  }
  resuming_();
  return true;
}

bool Lifecycle::IsSuspended() const {
  std::lock_guard lock(mutex_);
  return current_ != nullptr;
}

bool Lifecycle::WatchDesktop() {
  auto* app = QCoreApplication::instance();
  if (app == nullptr) return false;
  // Closing the app suspends it: the handlers get up to five seconds to save.
  QObject::connect(app, &QCoreApplication::aboutToQuit, app, [this] {
    qCInfo(lcLifecycle) << "the app ends: suspending";
    if (!RaiseSuspending().WaitFor(std::chrono::seconds(5))) {
      qCWarning(lcLifecycle) << "the suspension did not finish within 5 s";
    }
  });
  auto* watcher = new SleepWatcher(*this);
  watcher->setParent(app);
  return watcher->Connect();
}

}  // namespace app_runtime

#include "lifecycle.moc"
