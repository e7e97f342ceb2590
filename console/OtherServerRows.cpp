// The servers logged in at the other registries of the game, where several
// share the list: the server list shows them below this registry's own, as
// "USER (on B)", and selecting one shows its details as for a server here.
// This registry holds no connection of theirs, so the commands on them say
// which registry to ask instead.
#include "console/frmMain.h"
#include "core/ConsoleState.h"
#include "core/Registry.h"
#include "storage/Cp1252.h"
#include "ui/Prompts.h"

namespace {

bool SameRows(const std::vector<SharedServer>& a, const std::vector<SharedServer>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].user != b[i].user || a[i].instance != b[i].instance) return false;
  return true;
}

}  // namespace

std::string OtherServerLine(const SharedServer& server) {
  return server.user + " (on " + server.instance + ")";
}

ClientRecord AsRecord(const SharedServer& server) {
  ClientRecord c;
  c.InUse = true;
  c.Mode = kModeServer;
  c.User = server.user;
  c.PlayerCount = server.players;
  c.Name = server.name;
  c.IP = server.ip;
  c.Description = server.description;
  c.UpdateURL = server.updateUrl;
  c.Official = server.official;
  return c;
}

QStringList ServerInfoLines(const SharedServer& server) {
  QStringList lines = ServerInfoLines(AsRecord(server), server.listedIp);
  lines.insert(1, "Registry: " + cp1252::ToUnicode(server.instance));
  return lines;
}

// Called for every change of the registry's lists, most of them a player
// count here: the rows are rebuilt only when the servers elsewhere are
// others than those shown, the selected one's labels whenever it changed.
void frmMain::ShowOtherServers() {
  const std::vector<SharedServer>& now = registry_.OtherServers();
  if (!SameRows(now, others_)) {
    syncing_ = true;
    const int first = FirstOtherRow();
    while (lstServers->count() > first) delete lstServers->takeItem(first);
    others_ = now;
    for (const SharedServer& server : others_) lstServers->addItem(cp1252::ToUnicode(OtherServerLine(server)));
    // As for a line of this registry's: the selected server gone, none is
    // selected; still there, it stays selected.
    const SharedServer* selected = SelectedElsewhere();
    if (selected) {
      lstServers->setCurrentRow(FirstOtherRow() + int(selected - others_.data()));
    } else if (!selectedOther_.empty()) {
      selectedOther_.clear();
      lstServers->clearSelection();
      lstServers->setCurrentRow(-1);
    }
    syncing_ = false;
  } else {
    others_ = now;
  }
  if (SelectedElsewhere()) ShowSelectedServerInfo();
}

void frmMain::SelectOtherServer(int row) {
  selectedOther_ = others_[std::size_t(row - FirstOtherRow())].user;
  state_.SelectServer(-1);
}

const SharedServer* frmMain::SelectedElsewhere() const {
  if (selectedOther_.empty()) return nullptr;
  for (const SharedServer& server : others_)
    if (server.user == selectedOther_) return &server;
  return nullptr;
}

std::string frmMain::SelectedUser() const {
  if (const SharedServer* other = SelectedElsewhere()) return other->user;
  return SelectedLine();
}

bool frmMain::SaidElsewhere(ops::Refusal refusal, const SharedServer& where) {
  if (refusal != ops::Refusal::OnOtherRegistry) return false;
  prompts_.Notice(this, cp1252::ToUnicode(ops::OnOtherRegistryText(where)), kAppTitle);
  return true;
}
