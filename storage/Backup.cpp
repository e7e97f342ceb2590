// The online backup: a consistent copy of the open database written into a
// descriptor the caller opened.
#include "storage/Database.h"

#include "storage/Sqlite.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void BackupFails(const std::string& reason) {
  throw DatabaseError("cannot write the copy: " + reason);
}

// The descriptor must be a regular file open for writing. A pipe or a socket
// is refused: writing into one blocks the registry's one thread for as long
// as nobody reads at the other end.
void CheckDescriptor(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) BackupFails("the descriptor passed is not open (" + std::string(std::strerror(errno)) + ")");
  const int access = flags & O_ACCMODE;
  if (access != O_WRONLY && access != O_RDWR) BackupFails("the descriptor passed is not open for writing");
  struct stat info {};
  if (::fstat(fd, &info) != 0) BackupFails(std::strerror(errno));
  if (!S_ISREG(info.st_mode)) BackupFails("the descriptor passed is not a regular file");
}

// Writes every byte, or throws naming the reason and how far it got.
void WriteAll(int fd, const unsigned char* data, std::int64_t size) {
  std::int64_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, std::size_t(size - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const std::string reason = n < 0 ? std::strerror(errno) : "nothing more could be written";
      BackupFails(reason + " after " + std::to_string(done) + " of " + std::to_string(size) + " bytes");
    }
    done += n;
  }
}

}  // namespace

// The copy is made in memory (SQLite's memdb), never in a file: the bytes
// reach the file system only through the caller's descriptor, with the
// rights the caller opened it with. Its pages are the database's own,
// taken in one read transaction, so the copy is what the last commit left.
void Database::Backup(int fd) {
  if (Shared())
    throw DatabaseError("The database is on a PostgreSQL server (" + Shown() +
                        "): back it up there with pg_dump.");
  sqlite3* const db = Handle();
  if (!db) throw DatabaseError("the database is not open");
  CheckDescriptor(fd);
  // A name without a leading "/" is a memdb of this connection alone.
  sqlite3* raw = nullptr;
  if (sqlite3_open_v2("backup", &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, "memdb") != SQLITE_OK) {
    const std::string message = raw ? sqlite3_errmsg(raw) : "out of memory";
    sqlite3_close(raw);
    BackupFails("the copy in memory cannot be made: " + message);
  }
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> memory(raw, sqlite3_close);
  sqlite3_backup* backup = sqlite3_backup_init(raw, "main", db, "main");
  if (!backup) BackupFails(sqlite3_errmsg(raw));
  const int stepped = sqlite3_backup_step(backup, -1);
  const int finished = sqlite3_backup_finish(backup);
  if (stepped != SQLITE_DONE || finished != SQLITE_OK) BackupFails(sqlite3_errmsg(raw));
  sqlite3_int64 size = 0;
  unsigned char* image = sqlite3_serialize(raw, "main", &size, SQLITE_SERIALIZE_NOCOPY);
  if (!image || size < 100) BackupFails("the copy in memory cannot be read");
  // The pages came from a database in WAL mode, and page 1 says so (file
  // format versions 2). The copy is a single self-contained file: legacy
  // versions 1, which any reader opens without a -wal beside it.
  image[18] = 1;
  image[19] = 1;
  WriteAll(fd, image, size);
}
