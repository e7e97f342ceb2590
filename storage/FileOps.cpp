#include "storage/FileOps.h"

#include "storage/Database.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fileops {
namespace {

[[noreturn]] void Fail(const QString& what, const QString& path, int error) {
  throw DatabaseError(QStringLiteral("%1 %2: %3")
                          .arg(what, QDir::toNativeSeparators(path),
                               QString::fromLocal8Bit(std::strerror(error)))
                          .toStdString());
}

QByteArray Native(const QString& path) { return QFile::encodeName(path); }

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

void SyncFd(int fd, const QString& path) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) Fail(QStringLiteral("cannot sync"), path, errno);
  }
}

void CopySynced(const QString& from, const QString& to) {
  Fd in(::open(Native(from).constData(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) Fail(QStringLiteral("cannot read"), from, errno);
  Fd out(::open(Native(to).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (out.get() < 0) Fail(QStringLiteral("cannot create"), to, errno);
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(in.get(), buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(QStringLiteral("cannot read"), from, errno);
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out.get(), buffer + done, std::size_t(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        Fail(QStringLiteral("cannot write"), to, errno);
      }
      done += w;
    }
  }
  SyncFd(out.get(), to);
  if (::close(out.Release()) != 0) Fail(QStringLiteral("cannot write"), to, errno);
}

QString DirectoryOf(const QString& path) { return QFileInfo(path).absolutePath(); }

}  // namespace

bool Exists(const QString& path) {
  struct stat st;
  return ::lstat(Native(path).constData(), &st) == 0;
}

void Remove(const QString& path) {
  if (::unlink(Native(path).constData()) != 0 && errno != ENOENT) {
    Fail(QStringLiteral("cannot remove"), path, errno);
  }
}

void SyncFile(const QString& path) {
  Fd fd(::open(Native(path).constData(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) Fail(QStringLiteral("cannot open"), path, errno);
  SyncFd(fd.get(), path);
}

void SyncDirectory(const QString& dir) {
  Fd fd(::open(Native(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) Fail(QStringLiteral("cannot open"), dir, errno);
  // Some file systems cannot sync a directory; the rename is then as
  // durable as they make it.
  if (::fsync(fd.get()) != 0 && errno != EINVAL && errno != EROFS) {
    Fail(QStringLiteral("cannot sync"), dir, errno);
  }
}

void MoveReplacing(const QString& from, const QString& to, const QString& staging) {
  SyncFile(from);
  if (::rename(Native(from).constData(), Native(to).constData()) == 0) {
    SyncDirectory(DirectoryOf(to));
    if (DirectoryOf(from) != DirectoryOf(to)) SyncDirectory(DirectoryOf(from));
    return;
  }
  if (errno != EXDEV) Fail(QStringLiteral("cannot rename %1 to").arg(from), to, errno);
  // Another file system: the complete copy must be on disk under a name no
  // start ever trusts before it replaces `to`, and `from` stays until then.
  CopySynced(from, staging);
  if (::rename(Native(staging).constData(), Native(to).constData()) != 0) {
    const int error = errno;
    ::unlink(Native(staging).constData());
    Fail(QStringLiteral("cannot rename %1 to").arg(staging), to, error);
  }
  SyncDirectory(DirectoryOf(to));
  Remove(from);
  SyncDirectory(DirectoryOf(from));
}

void Rename(const QString& from, const QString& to) {
  if (Exists(to)) Fail(QStringLiteral("cannot rename %1 to").arg(from), to, EEXIST);
  if (::rename(Native(from).constData(), Native(to).constData()) != 0) {
    Fail(QStringLiteral("cannot rename %1 to").arg(from), to, errno);
  }
  SyncDirectory(DirectoryOf(to));
}

}  // namespace fileops
