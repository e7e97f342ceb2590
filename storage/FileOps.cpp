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

// Gives an open file the permission bits of `model` and what this process
// may give of its owner and group. Only root can give a file away; anyone
// may keep a group it belongs to, so the group is tried on its own too.
void TakeOwnership(int fd, const struct stat& model, const QString& path) {
  if (::fchmod(fd, model.st_mode & 0777) != 0) Fail(QStringLiteral("cannot set the mode of"), path, errno);
  if (::fchown(fd, model.st_uid, model.st_gid) != 0) (void)::fchown(fd, uid_t(-1), model.st_gid);
}

void CopySynced(const QString& from, const QString& to) {
  Fd in(::open(Native(from).constData(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) Fail(QStringLiteral("cannot read"), from, errno);
  struct stat st;
  if (::fstat(in.get(), &st) != 0) Fail(QStringLiteral("cannot read"), from, errno);
  Fd out(::open(Native(to).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (out.get() < 0) Fail(QStringLiteral("cannot create"), to, errno);
  TakeOwnership(out.get(), st, to);
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

QString ResolveLinks(const QString& path) {
  QString current = QFileInfo(path).absoluteFilePath();
  // The kernel's own limit on links followed in one lookup.
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(Native(current).constData(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    QByteArray target(st.st_size > 0 ? st.st_size + 1 : 4096, '\0');
    const ssize_t n = ::readlink(Native(current).constData(), target.data(), std::size_t(target.size()));
    if (n < 0) Fail(QStringLiteral("cannot read the link"), current, errno);
    target.truncate(n);
    current = QDir::cleanPath(QDir(DirectoryOf(current)).absoluteFilePath(QFile::decodeName(target)));
  }
  Fail(QStringLiteral("cannot follow"), path, ELOOP);
}

void CreateWithMode(const QString& path, mode_t mode) {
  Fd fd(::open(Native(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (fd.get() < 0) Fail(QStringLiteral("cannot create"), path, errno);
  if (::fchmod(fd.get(), mode) != 0) Fail(QStringLiteral("cannot set the mode of"), path, errno);
}

void CreateLike(const QString& path, const QString& model) {
  struct stat st;
  if (::stat(Native(model).constData(), &st) != 0) Fail(QStringLiteral("cannot read"), model, errno);
  Fd fd(::open(Native(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (fd.get() < 0) Fail(QStringLiteral("cannot create"), path, errno);
  TakeOwnership(fd.get(), st, path);
}

}  // namespace fileops
