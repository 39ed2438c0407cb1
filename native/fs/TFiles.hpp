// native/fs/TFiles.hpp: the raw file steps as system calls, each failure an errno value
#pragma once

#include "fs/TPlatform.hpp"

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// No Python here: every step reports failure as an errno value (0 is success) or an empty
// optional, never by an exception, and takes no lock of its own. The glue raises the audit events
// Python's own steps would raise before calling each step, lets other threads run while a step
// may wait, and takes Python's path wherever a step fails.
namespace tarvel::fs {

// Bytes in one file name on common file systems.
inline constexpr std::size_t kNameMax = 255;

// The next number for a temporary file's name, counted across the process (and shared with the
// glue's own path through Python, so no two names repeat).
unsigned long next_temporary_number();

// The name of a temporary file beside `name`: ".<name>.<pid>.<n>.tmp", or ".tarvel-<pid>-<n>.tmp"
// when that would be longer than kNameMax bytes (the name itself may be near the limit).
std::string temporary_name(std::string_view name, std::string_view pid, std::string_view n);

// What tells the present content of a file from any other: size, modification and change times
// (nanoseconds), inode and device.
using Identity = std::array<long long, 5>;

// The identity of a file that has not changed within `settled` nanoseconds of `now` (both in
// nanoseconds since the epoch): a rewrite within one tick of the file system's clock could go
// unseen by an identity read sooner. Nothing otherwise.
std::optional<Identity> settled_identity(const Identity& identity, long long now,
                                         long long settled = 100'000'000);

#ifdef TARVEL_FS_POSIX

// The flags each step opens a file with, as Python's own step would (the glue names them in the
// audit events it raises).
extern const int kReadFlags;       // a whole file read
extern const int kCreateFlags;     // an exclusive temporary file
extern const int kWriteFlags;      // a file written through (as io.open(fd, "w") names it)
extern const int kLockFlags;       // a lock file (a link at its name is never followed)
extern const int kDirectoryFlags;  // a directory opened to flush it
extern const int kLockExclusive;   // flock's LOCK_EX

// ---- reading -----------------------------------------------------------------------------

// The whole content of the regular file `name` into `content`: 0, or the errno of the failure
// (EINVAL for a file that is not a regular file).
int read_whole(const std::string& name, std::string& content);

// The whole content of the regular file `name` read into the memory `room(size)` gives, `size`
// being the file's size when opened: 0, or the errno of the failure (EINVAL for a file that is not
// a regular file, ENOMEM when `room` gives none, EAGAIN when the file held another size by the
// end of the read).
int read_sized(const std::string& name, const std::function<char*(std::size_t)>& room);

// stat(name): 0 when there is a file, the errno otherwise.
int status(const char* name);

// The fields of a file's signature: device, inode, size, modification and change times in
// nanoseconds.
struct Signature {
    unsigned long long device = 0, inode = 0;
    long long size = 0, modified = 0, changed = 0;
};
// stat(name) into `signature`: 0, the errno of the failure, or EOVERFLOW for times beyond
// 9e9 seconds either side of the epoch (their nanoseconds would overflow).
int read_signature(const char* name, Signature& signature);

// The identity of the regular file `name` (relative to the working directory) once settled (see
// settled_identity); nothing for any other file or failure.
std::optional<Identity> file_identity(const char* name);

// One entry of a directory: its name as the file system spells it, and its identity when asked.
struct Entry {
    std::string name;
    std::optional<Identity> identity;
};
// The entries of directory `name` whose names end with `suffix` ("." and ".." never), unsorted,
// each with its identity (read relative to the open directory) when `identities`: 0, or the
// errno of opening the directory.
int read_directory(const char* name, std::string_view suffix, bool identities,
                   std::vector<Entry>& entries);

// ---- directories and locks ---------------------------------------------------------------

// mkdir(name, mode), a directory already there excused: 0 or the errno.
int make_directory(const char* name, unsigned mode = 0777);

// The lock file `name` opened (made when missing): its descriptor, or minus the errno.
int open_lock_file(const char* name);

// flock(fd, LOCK_EX), without waiting when `wait` is false: 0, or the errno (EWOULDBLOCK while
// another holds it, EINTR when a signal came first: the caller checks and tries again).
int lock(int fd, bool wait);

// close(fd): 0 or the errno.
int close_file(int fd);

// ---- replacing a file --------------------------------------------------------------------

// A new file beside a target, created exclusively (a link or a directory already at a name is
// never followed or reused; up to 101 names are tried), removed again when destroyed unless kept:
// so every way out before the rename, an exception included, leaves no temporary file behind.
class TemporaryFile {
  public:
    TemporaryFile() = default;
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile();

    // Creates the file in `directory` ("" or ending in "/") beside `name`, with the permission
    // bits a plain write gives a new file, calling `before_open` with each full name before it
    // is tried; a false from it stops with ECANCELED. The descriptor, or minus the errno.
    int create(const std::string& directory, std::string_view name,
               const std::function<bool(const std::string&)>& before_open);
    // The file's full name; empty until one was made.
    const std::string& name() const { return name_; }
    // The file is renamed to its target: no longer removed.
    void keep() { kept_ = true; }

  private:
    std::string name_;
    bool kept_ = false;
};

// Writes all of `data` to `fd`, flushed to stable storage when `durable` (a file system that
// cannot flush a file, EINVAL or ENOTSUP, leaves it unflushed), and closes it: 0 or the errno of
// the first failure.
int write_and_close(int fd, std::string_view data, bool durable);

// chmod(name, mode): 0 or the errno.
int set_mode(const char* name, unsigned mode);

// rename(from, to): 0 or the errno.
int rename_file(const char* from, const char* to);

// The name of the directory of a file in `directory` ("" or ending in "/"), as flush_directory
// opens it: "." for "", "a/b" for "a/b/", "/" for "/".
std::string directory_name(const std::string& directory);

// Flushes directory `directory` (as directory_name gives it) to stable storage, making a rename
// in it durable. Failures are ignored: the renamed file's bytes are on stable storage already.
void flush_directory(const std::string& name);

// A file about to be replaced: its name split into its directory ("" or ending in "/") and its
// own name, whether a file is there, and that file's permission bits.
struct Target {
    std::string path, directory, name;
    bool existing = false;
    unsigned mode = 0;
};
// The target `path` names, or nothing where a plain write must meet it: a name ending in "/",
// a link, a device, a directory, a file the user may not write (by the effective ids), or a
// failure other than no file.
std::optional<Target> writable_target(const std::string& path);

#endif

}  // namespace tarvel::fs
