// The shared back end of Database: opening it, keeping its connection and
// keeping the bans in memory current.
#include "storage/Database.h"

#include "storage/DatabaseImpl.h"
#include "storage/PgSchema.h"

#include <QCoreApplication>

namespace {

// The bans are read again at least this often, in case a notice was lost
// (one sent while this registry was connecting, say).
constexpr std::chrono::seconds kBansReadAgain{60};

void ReadBans(Database::Impl& impl) noexcept {
  try {
    impl.pgBans->Reload();
    impl.bansRead = std::chrono::steady_clock::now();
  } catch (const DatabaseError&) {
    // What was read before stays; the next connect or Poll reads again.
  }
}

void TakeNotices(Database::Impl& impl);

// A notifier watches the socket of one connection. It is not deleted at
// once, as this may run in the slot of the notifier itself.
void Watch(Database::Impl& impl) {
  const int socket = impl.pg->connection().Socket();
  if (socket == impl.watchedSocket && (socket < 0 || impl.notifier)) return;
  if (impl.notifier) {
    impl.notifier->setEnabled(false);
    impl.notifier.release()->deleteLater();
  }
  impl.watchedSocket = socket;
  // Without an event loop there is nothing to watch with; Poll() takes the
  // notices in then.
  if (socket < 0 || !QCoreApplication::instance()) return;
  impl.notifier = std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Read);
  QObject::connect(impl.notifier.get(), &QSocketNotifier::activated, [&impl] { TakeNotices(impl); });
}

void TakeNotices(Database::Impl& impl) {
  bool bans = false;
  for (const PgConnection::Notification& n : impl.pg->connection().TakeNotifications())
    bans |= n.channel == PgBans::kChannel;
  if (bans) ReadBans(impl);
  Watch(impl);
}

}  // namespace

void Database::Impl::CloseShared() {
  notifier.reset();
  watchedSocket = -1;
  pgBans.reset();
  pgAccounts.reset();
  pg.reset();
}

void Database::OpenShared(const std::string& conninfo) {
  Close();
  Impl& impl = *impl_;
  impl.pg = std::make_unique<PgStore>(conninfo);
  impl.pgAccounts = std::make_unique<PgAccounts>(*impl.pg);
  impl.pgBans = std::make_unique<PgBans>(*impl.pg);
  impl.accounts->pg_ = impl.pgAccounts.get();
  impl.bans->pg_ = impl.pgBans.get();
  impl.pg->FailCommits(impl.failCommits);
  impl.pg->OnBansWritten([&impl] { ReadBans(impl); });
  impl.pg->OnLost([&impl] { Watch(impl); });
  // Every connect brings the tables up to date, listens again and reads the
  // bans, which may have changed while the connection was down. It counts
  // as a new connection only then: a transaction begun on the last one
  // fails from here on.
  impl.pg->connection().OnConnected([&impl](PgConnection& c) {
    pgschema::Migrate(c);
    c.Exec(std::string("LISTEN ") + PgBans::kChannel);
    impl.pgBans->Reload();
    impl.bansRead = std::chrono::steady_clock::now();
    impl.pg->CountConnect();
  });
  impl.pg->connection().Poll();
  Watch(impl);
}

bool Database::Shared() const { return impl_->pg != nullptr; }

bool Database::Reachable() const { return impl_->pg ? impl_->pg->Connected() : IsOpen(); }

std::string Database::Problem() const { return impl_->pg ? impl_->pg->Problem() : std::string(); }

std::string Database::Shown() const {
  return impl_->pg ? impl_->pg->connection().Shown() : std::string();
}

void Database::Poll() {
  Impl& impl = *impl_;
  if (!impl.pg) return;
  if (impl.pg->connection().Poll()) {
    TakeNotices(impl);
    if (impl.pg->Connected() && std::chrono::steady_clock::now() - impl.bansRead >= kBansReadAgain)
      ReadBans(impl);
  }
  Watch(impl);
}
