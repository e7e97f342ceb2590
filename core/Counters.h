#pragma once
// What the registry has done since it started, counted where it happens, for
// the metrics the HTTP side serves. Only the registry thread writes them;
// the HTTP thread reads them, so each is an atomic of its own, written with
// relaxed order: a reader sees every count as it was a moment ago, never a
// torn one, and nothing else is ordered by them.
#include <atomic>
#include <cstdint>

struct Counters {
  using Count = std::atomic<std::uint64_t>;
  static void Add(Count& c, std::uint64_t n = 1) { c.fetch_add(n, std::memory_order_relaxed); }

  // Connections given a slot (not refused), and those refused before one.
  Count connectionsAccepted{0};
  Count refusedBanned{0};
  Count refusedTableFull{0};
  Count refusedPerAddress{0};   // MaxClientsPerIP
  Count refusedCoolingDown{0};  // too many connections, list requests or failed logins
  // Connections ended to make room in a full table, and for silence.
  Count evictions{0};
  Count silenceDrops{0};
  // List replies sent and their bytes.
  Count listRequests{0};
  Count listBytes{0};
  // Logins and account creations by result.
  Count loginsAccepted{0};
  Count loginsRefused{0};
  Count loginsAlreadyOnline{0};
  Count loginsTableFull{0};
  Count accountsCreated{0};
  Count accountsRefused{0};
  Count accountsNameTaken{0};
  Count accountsTableFull{0};
  // Database writes the engine refused, and whether the last one did.
  Count databaseWriteFailures{0};
  std::atomic<bool> lastWriteFailed{false};

  void WriteFailed() {
    Add(databaseWriteFailures);
    lastWriteFailed.store(true, std::memory_order_relaxed);
  }
  void WriteSucceeded() { lastWriteFailed.store(false, std::memory_order_relaxed); }
};
