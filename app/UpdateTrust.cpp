#include "app/UpdateTrust.h"

#include <QFile>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString OwnerName(uid_t uid) {
  if (const passwd* user = getpwuid(uid)) return QString::fromLocal8Bit(user->pw_name);
  return "uid " + QString::number(uid);
}

// A problem with one file, or an empty text when it is safe.
QString Problem(const QString& what, const struct stat& st) {
  if (st.st_uid != 0 && st.st_uid != geteuid())
    return what + " belongs to " + OwnerName(st.st_uid) + ", not to the registry's user or root.";
  if (st.st_mode & (S_IWGRP | S_IWOTH)) return what + " may be written by group or others.";
  return {};
}

}  // namespace

bool IsTrustedUpdater(const QString& folder, const QString& updater, QString* why) {
  struct stat st;
  // A link is judged by what it points to; whoever made the link could
  // write the folder, which is checked too.
  if (::stat(QFile::encodeName(updater).constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *why = "updater.exe is not a file.";
    return false;
  }
  *why = Problem("updater.exe", st);
  if (!why->isEmpty()) return false;
  if (::stat(QFile::encodeName(folder).constData(), &st) != 0) {
    *why = "the program folder cannot be read.";
    return false;
  }
  *why = Problem("the program folder " + folder, st);
  return why->isEmpty();
}

namespace {

QString ModeAndOwner(const struct stat& st) {
  return QStringLiteral("%1 %2:%3").arg(st.st_mode, 0, 8).arg(st.st_uid).arg(st.st_gid);
}

// Size, times, mode and owner: a write, a chmod or a chown changes it.
QString FileState(const QString& path) {
  struct stat st;
  if (::stat(QFile::encodeName(path).constData(), &st) != 0) return QStringLiteral("-");
  return QStringLiteral("%1 %2.%3 %4.%5 ")
             .arg(st.st_size)
             .arg(st.st_mtim.tv_sec)
             .arg(st.st_mtim.tv_nsec)
             .arg(st.st_ctim.tv_sec)
             .arg(st.st_ctim.tv_nsec) +
         ModeAndOwner(st);
}

}  // namespace

QString UpdateState(const QString& folder, const QString& waiting, const QString& updater) {
  struct stat st;
  const QString folderState =
      ::stat(QFile::encodeName(folder).constData(), &st) == 0 ? ModeAndOwner(st) : QStringLiteral("-");
  return FileState(waiting) + '|' + FileState(updater) + '|' + folderState;
}
