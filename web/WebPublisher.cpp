#include "web/WebPublisher.h"

#include "core/ConsoleState.h"
#include "core/Registry.h"
#include "storage/Database.h"
#include "web/Gzip.h"
#include "web/Page.h"
#include "web/ServerList.h"

#include <QFileInfo>
#include <QSaveFile>
#include <QTimer>
#include <zlib.h>

#include <cstdio>

Representation Represent(std::string body) {
  Representation r;
  r.gzip = Gzip(body);
  const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size()));
  char tag[40];
  std::snprintf(tag, sizeof tag, "\"%08lx-%zx\"", crc, body.size());
  r.etag = tag;
  r.gzipEtag = r.etag.substr(0, r.etag.size() - 1) + "-gz\"";
  r.plain = std::move(body);
  return r;
}

WebPublisher::WebPublisher(Registry& registry, Database& database, ConsoleState& console, QString databaseFile,
                           SnapshotBox& box, QObject* parent)
    : QObject(parent),
      registry_(registry),
      database_(database),
      console_(console),
      databaseFile_(std::move(databaseFile)),
      box_(box) {
  listTimer_ = new QTimer(this);
  listTimer_->setSingleShot(true);
  connect(listTimer_, &QTimer::timeout, this, &WebPublisher::PublishList);
  connect(&registry_, &Registry::serversChanged, this, &WebPublisher::OnServersChanged);
}

WebPublisher::~WebPublisher() = default;

void WebPublisher::PublishAll() {
  box_.Beat(MonotonicMs());
  current_ = std::make_shared<const WebSnapshot>(Figures());
  PublishList();
}

void WebPublisher::OnServersChanged() {
  if (listTimer_->isActive()) return;
  const qint64 since = listBuilt_.isValid() ? listBuilt_.elapsed() : kMinIntervalMs;
  listTimer_->start(int(std::max<qint64>(0, kMinIntervalMs - since)));
}

void WebPublisher::PublishList() {
  listTimer_->stop();
  listBuilt_.start();
  const std::vector<ListedServer> servers = ListedServers(registry_);
  const std::time_t generated = now();
  auto list = std::make_shared<ListSnapshot>();
  list->json = Represent(ServerListJson(servers, generated));
  list->page = Represent(RenderPage(servers, generated, PageOrder::Game));
  list->pageByPlayers = Represent(RenderPage(Ordered(servers, PageOrder::Players), generated, PageOrder::Players));
  list->pageByName = Represent(RenderPage(Ordered(servers, PageOrder::Name), generated, PageOrder::Name));
  list->servers = int(servers.size());
  for (const ListedServer& s : servers) list->players += s.players;
  WebSnapshot next = current_ ? *current_ : Figures();
  next.list = list;
  Publish(std::move(next));
  if (!listFile_.isEmpty()) WriteListFile(list->json.plain);
}

void WebPublisher::Tick() {
  box_.Beat(MonotonicMs());
  if (++ticks_ % 2 != 0 && current_) return;
  WebSnapshot next = Figures();
  next.list = current_ ? current_->list : nullptr;
  const WebSnapshot& was = current_ ? *current_ : WebSnapshot{};
  if (current_ && next.connections == was.connections && next.accounts == was.accounts && next.bans == was.bans &&
      next.accessesPerHour == was.accessesPerHour && next.newAccountsAllowed == was.newAccountsAllowed &&
      next.databaseBytes == was.databaseBytes && next.listening == was.listening &&
      next.sharingProblem == was.sharingProblem)
    return;
  Publish(std::move(next));
}

WebSnapshot WebPublisher::Figures() const {
  WebSnapshot s;
  s.connections = registry_.ConnectionCount();
  s.accessesPerHour = registry_.AccessesPerHour();
  s.newAccountsAllowed = console_.AllowNewAccounts();
  s.listening = registry_.ListeningPort() != 0;
  s.sharingProblem = registry_.SharingProblem();
  s.databaseBytes = QFileInfo(databaseFile_).size();
  // A database that cannot be read just now keeps the last counts.
  s.accounts = current_ ? current_->accounts : 0;
  s.bans = current_ ? current_->bans : 0;
  if (database_.IsOpen()) {
    try {
      s.accounts = database_.accounts().Count();
      s.bans = database_.bans().Count();
    } catch (const DatabaseError&) {
    }
  }
  return s;
}

void WebPublisher::Publish(WebSnapshot snapshot) {
  current_ = std::make_shared<const WebSnapshot>(std::move(snapshot));
  box_.Publish(current_);
}

// Written beside the file and renamed over it, so a reader finds the old
// list or the new one, never a part.
void WebPublisher::WriteListFile(const std::string& json) {
  QSaveFile file(listFile_);
  if (!file.open(QIODevice::WriteOnly)) return;
  if (file.write(json.data(), qint64(json.size())) != qint64(json.size())) return file.cancelWriting();
  file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                      QFileDevice::ReadOther);
  file.commit();
}
