// native/fs/TFiles.cpp: the raw file steps as system calls, each failure an errno value
#include "fs/TFiles.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <string>

#ifdef TARVEL_FS_POSIX
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#endif

namespace tarvel::fs {

namespace {
std::atomic<unsigned long> temporary_count{0};
}  // namespace

unsigned long next_temporary_number() {
    return ++temporary_count;
}

std::string temporary_name(std::string_view name, std::string_view pid, std::string_view n) {
    std::string temp = ".";
    temp.append(name).append(".").append(pid).append(".").append(n).append(".tmp");
    if (temp.size() > kNameMax) {
        temp = ".tarvel-";
        temp.append(pid).append("-").append(n).append(".tmp");
    }
    return temp;
}

std::optional<Identity> settled_identity(const Identity& identity, long long now,
                                         long long settled) {
    // File times advance by the kernel's tick, a few milliseconds at most.
    if (now - std::max(identity[1], identity[2]) < settled) return std::nullopt;
    return identity;
}

#ifdef TARVEL_FS_POSIX

const int kReadFlags = O_RDONLY | O_CLOEXEC;
const int kCreateFlags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
const int kWriteFlags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
const int kLockFlags = O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC;
const int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
const int kLockExclusive = LOCK_EX;

namespace {

constexpr long long kBillion = 1'000'000'000;

// The identity of the regular file `name` relative to the open directory `directory_fd`
// (AT_FDCWD: the working directory), once settled.
std::optional<Identity> identity_in(int directory_fd, const char* name) {
    struct stat info{};
    if (::fstatat(directory_fd, name, &info, 0) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    const Identity identity{
        static_cast<long long>(info.st_size), info.st_mtim.tv_sec * kBillion + info.st_mtim.tv_nsec,
        info.st_ctim.tv_sec * kBillion + info.st_ctim.tv_nsec, static_cast<long long>(info.st_ino),
        static_cast<long long>(info.st_dev)};
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return settled_identity(identity, now.tv_sec * kBillion + now.tv_nsec);
}

}  // namespace

int read_whole(const std::string& name, std::string& content) {
    const int fd = ::open(name.c_str(), kReadFlags);
    if (fd < 0) return errno;
    struct stat info{};
    int failed = ::fstat(fd, &info) != 0 ? errno : S_ISREG(info.st_mode) ? 0 : EINVAL;
    if (failed == 0) {
        content.resize(static_cast<std::size_t>(info.st_size));
        std::size_t done = 0;
        for (;;) {
            if (done == content.size()) content.resize(content.size() * 2 + 4096);
            const ssize_t n = ::read(fd, content.data() + done, content.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) failed = errno;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        content.resize(done);
    }
    ::close(fd);
    return failed;
}

namespace {

// Reads up to `size` bytes into `out` until the end of the file: 0 or the errno; `done` tells how
// many.
int read_up_to(int fd, char* out, std::size_t size, std::size_t& done) {
    done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, out + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

}  // namespace

int read_sized(const std::string& name, const std::function<char*(std::size_t)>& room) {
    const int fd = ::open(name.c_str(), kReadFlags);
    if (fd < 0) return errno;
    struct stat info{};
    int failed = ::fstat(fd, &info) != 0 ? errno : S_ISREG(info.st_mode) ? 0 : EINVAL;
    if (failed == 0) {
        const auto size = static_cast<std::size_t>(info.st_size);
        char* out = room(size);
        std::size_t done = 0;
        char extra = 0;
        std::size_t more = 0;
        failed = out == nullptr ? ENOMEM : read_up_to(fd, out, size, done);
        if (failed == 0) failed = read_up_to(fd, &extra, 1, more);
        if (failed == 0 && (done != size || more != 0)) failed = EAGAIN;
    }
    ::close(fd);
    return failed;
}

int status(const char* name) {
    struct stat info{};
    return ::stat(name, &info) == 0 ? 0 : errno;
}

int read_signature(const char* name, Signature& signature) {
    struct stat info{};
    if (::stat(name, &info) != 0) return errno;
    constexpr long long kLatest = 9'000'000'000;
    if (info.st_mtim.tv_sec > kLatest || info.st_mtim.tv_sec < -kLatest ||
        info.st_ctim.tv_sec > kLatest || info.st_ctim.tv_sec < -kLatest) {
        return EOVERFLOW;
    }
    signature.device = info.st_dev;
    signature.inode = info.st_ino;
    signature.size = info.st_size;
    signature.modified = info.st_mtim.tv_sec * kBillion + info.st_mtim.tv_nsec;
    signature.changed = info.st_ctim.tv_sec * kBillion + info.st_ctim.tv_nsec;
    return 0;
}

std::optional<Identity> file_identity(const char* name) {
    return identity_in(AT_FDCWD, name);
}

int read_directory(const char* name, std::string_view suffix, bool identities,
                   std::vector<Entry>& entries) {
    const std::unique_ptr<DIR, int (*)(DIR*)> opened(::opendir(name), ::closedir);
    if (!opened) return errno;
    while (const dirent* found = ::readdir(opened.get())) {
        const std::string_view entry_name(found->d_name);
        if (entry_name == "." || entry_name == ".." || entry_name.size() < suffix.size() ||
            entry_name.substr(entry_name.size() - suffix.size()) != suffix) {
            continue;
        }
        Entry& entry = entries.emplace_back();
        entry.name = entry_name;
        if (identities) entry.identity = identity_in(::dirfd(opened.get()), found->d_name);
    }
    return 0;
}

int make_directory(const char* name, unsigned mode) {
    if (::mkdir(name, static_cast<mode_t>(mode)) == 0) return 0;
    const int failed = errno;
    // A directory already there is what was asked for.
    struct stat info{};
    return failed == EEXIST && ::stat(name, &info) == 0 && S_ISDIR(info.st_mode) ? 0 : failed;
}

int open_lock_file(const char* name) {
    const int fd = ::open(name, kLockFlags, 0666);
    return fd >= 0 ? fd : -errno;
}

int lock(int fd, bool wait) {
    return ::flock(fd, wait ? LOCK_EX : LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
}

int close_file(int fd) {
    return ::close(fd) == 0 ? 0 : errno;
}

TemporaryFile::~TemporaryFile() {
    if (!kept_ && !name_.empty()) ::unlink(name_.c_str());
}

int TemporaryFile::create(const std::string& directory, std::string_view name,
                          const std::function<bool(const std::string&)>& before_open) {
    const std::string pid = std::to_string(::getpid());
    int failed = EEXIST;
    for (int attempt = 0; attempt <= 100 && failed == EEXIST; ++attempt) {
        const std::string tried =
            directory + temporary_name(name, pid, std::to_string(next_temporary_number()));
        if (!before_open(tried)) return -ECANCELED;
        const int fd = ::open(tried.c_str(), kCreateFlags, 0666);
        if (fd >= 0) {
            name_ = tried;  // only a file made here is ever removed
            return fd;
        }
        failed = errno;
    }
    return -failed;
}

int write_and_close(int fd, std::string_view data, bool durable) {
    int failed = 0;
    while (failed == 0 && !data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written > 0) {
            data.remove_prefix(static_cast<std::size_t>(written));
        } else {
            failed = written == 0 ? EIO : errno;
        }
    }
    if (failed == 0 && durable && ::fsync(fd) != 0 && errno != EINVAL && errno != ENOTSUP &&
        errno != EOPNOTSUPP) {
        failed = errno;
    }
    if (::close(fd) != 0 && failed == 0) failed = errno;
    return failed;
}

int set_mode(const char* name, unsigned mode) {
    return ::chmod(name, static_cast<mode_t>(mode)) == 0 ? 0 : errno;
}

int rename_file(const char* from, const char* to) {
    return ::rename(from, to) == 0 ? 0 : errno;
}

std::string directory_name(const std::string& directory) {
    std::string name = directory.empty() ? "." : directory;
    if (name.size() > 1) name.pop_back();  // "a/b/" is "a/b"; "/" stays
    return name;
}

void flush_directory(const std::string& name) {
    const int fd = ::open(name.c_str(), kDirectoryFlags);
    if (fd >= 0) {
        ::fsync(fd);  // failures are ignored: see the header
        ::close(fd);
    }
}

std::optional<Target> writable_target(const std::string& path) {
    Target t;
    t.path = path;
    const std::size_t slash = path.rfind('/');
    t.directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    t.name = path.substr(t.directory.size());
    if (t.name.empty()) return std::nullopt;
    struct stat info{};
    t.existing = ::lstat(path.c_str(), &info) == 0;
    if (!t.existing && errno != ENOENT) return std::nullopt;
    if (t.existing &&
        (!S_ISREG(info.st_mode) || ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0)) {
        return std::nullopt;
    }
    t.mode = t.existing ? static_cast<unsigned>(info.st_mode & 07777) : 0;
    return t;
}

#endif

}  // namespace tarvel::fs
