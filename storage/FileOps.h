#pragma once
// File steps of the database start-up that must hold across a crash or a
// power cut: data reaches the disk before a rename makes it visible, and a
// rename is made durable by syncing its directory. Failures throw
// DatabaseError naming the file and the system's reason.
#include <QString>
#include <sys/types.h>

namespace fileops {

bool Exists(const QString& path);
// Removes the file if it is there.
void Remove(const QString& path);
void SyncFile(const QString& path);
void SyncDirectory(const QString& dir);
// Moves `from` onto `to`, replacing it in one step. When the two lie on
// different file systems the data is first copied, synced, into `staging`
// beside `to` and renamed from there; `from` is removed only afterwards.
void MoveReplacing(const QString& from, const QString& to, const QString& staging);
// Renames without replacing; throws when `to` exists.
void Rename(const QString& from, const QString& to);

// The file a chain of symbolic links ends on (which need not exist), as an
// absolute path; `path` itself when it is no link.
QString ResolveLinks(const QString& path);
// Creates `path`, which must not exist, as an empty file with exactly `mode`
// whatever the umask.
void CreateWithMode(const QString& path, mode_t mode);
// Creates `path`, which must not exist, as an empty file with the permission
// bits of `model` and, as far as this process may give them, its owner and
// group: a copy that replaces `model` keeps who may read it.
void CreateLike(const QString& path, const QString& model);

}  // namespace fileops
