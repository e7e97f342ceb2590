#pragma once
// Whether the update hand-off may start "updater.exe". The updater runs with
// the registry's rights, so it is started only when nobody but the
// registry's own user and root could have put it there: the program and its
// folder belong to one of them and neither may be written by group or
// others (the rule sshd applies to its files).
#include <QString>

// True when the updater may be started; otherwise *why says what is wrong,
// in the words of the event log.
bool IsTrustedUpdater(const QString& folder, const QString& updater, QString* why);

// What a decision about an update depends on, to notice a change: the two
// files' sizes, times, modes and owners, and the folder's mode and owner
// (not its times, which change with every file made in it).
QString UpdateState(const QString& folder, const QString& waiting, const QString& updater);
