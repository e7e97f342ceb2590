#pragma once
// The main window over an in-process registry with real loopback game
// servers, shown on the offscreen platform, and prompts the test answers.
#include "common/RegistryHarness.h"
#include "common/ScriptedPrompts.h"
#include "console/frmMain.h"

#include <QAction>
#include <QListWidget>
#include <QTest>

struct ConsoleHarness {
  RegistryHarness h;
  ScriptedPrompts prompts;
  frmMain window{h.console, *h.registry, prompts};

  ConsoleHarness() {
    window.show();
    (void)QTest::qWaitForWindowExposed(&window);
  }
  ~ConsoleHarness() { window.Unload(); }

  void Trigger(const char* item) { window.findChild<QAction*>(item)->trigger(); }

  QPoint LinePos(int row) const {
    return window.lstServers->visualItemRect(window.lstServers->item(row)).center();
  }
  void ClickLine(int row, Qt::MouseButton button = Qt::LeftButton) {
    QTest::mouseClick(window.lstServers->viewport(), button, {}, LinePos(row));
  }

  // A server logged in with an account the test sets up.
  std::unique_ptr<Peer> Login(const std::string& user, int official, const std::string& name = "",
                              const std::string& description = "") {
    AccountRecord account;
    account.User = user;
    account.Password = "PW";
    account.Name = name;
    account.Description = description;
    account.UpdateURL = "";
    account.Official = official;
    h.db.accounts().Add(account);
    auto peer = h.LoginServer(user, "pw");
    (void)QTest::qWaitFor([&] { return h.SlotOf(user) != 0; }, 5000);
    return peer;
  }

  QStringList Lines() const {
    QStringList lines;
    for (int i = 0; i < window.lstServers->count(); ++i) lines << window.lstServers->item(i)->text();
    return lines;
  }
};
