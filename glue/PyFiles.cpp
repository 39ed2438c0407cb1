// glue/PyFiles.cpp: crash-safe file replacement and the keeping of unreadable files, through Path
#include "glue/PyFiles.hpp"

#include "glue/PyLogging.hpp"
#include "glue/PyPlatform.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#ifdef TARVEL_POSIX_FILES
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#endif

namespace tarvel::py {

namespace {

constexpr Py_ssize_t kNameMax = 255;  // bytes in one file name on common file systems

// How a written file is opened again to flush it: Windows flushes only a file
// open for writing, elsewhere reading is enough.
#ifdef TARVEL_POSIX_FILES
constexpr const char* kFlushOpenFlag = "O_RDONLY";
#else
constexpr const char* kFlushOpenFlag = "O_WRONLY";
#endif

std::atomic<unsigned long> temporary_count{0};

// Whether the full path of `path` (os.path.abspath) is `limit` characters long or longer, counted
// as Windows counts them (UTF-16 units).
bool too_long(PyObject* os, PyObject* path, PyObject* limit) {
    Ref os_path = getattr(os, TARVEL_NAME("path"));
    Ref full = call_method(os_path.get(), TARVEL_NAME("abspath"), path);
    if (!PyUnicode_Check(full.get())) return false;  // bytes: a path of the host's own
    Py_ssize_t units = PyUnicode_GET_LENGTH(full.get());
    if (PyUnicode_KIND(full.get()) == PyUnicode_4BYTE_KIND) {
        for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(full.get()); ++i)
            units += PyUnicode_READ_CHAR(full.get(), i) > 0xFFFF ? 1 : 0;
    }
    Ref length = integer(static_cast<long long>(units));
    return compare(length.get(), limit, Py_GE);
}

// The short name of a temporary file: ".<8 hex digits>.tmp", of the pid and the count.
Ref short_temporary_name(PyObject* pid, PyObject* n) {
    const unsigned long long value =
        (PyLong_AsUnsignedLongLongMask(pid) << 16) + PyLong_AsUnsignedLongLongMask(n);
    check(PyErr_Occurred() != nullptr);
    char name[32];
    std::snprintf(name, sizeof name, ".%08llx.tmp", value & 0xFFFFFFFFULL);
    return str(name);
}

// A new file beside `target` for the text, created exclusively (a link or a
// directory already at that name is never followed or reused), with the
// permission bits a plain write gives a new file. Returns its path and its
// descriptor. Named ".<name>.<pid>.<n>.tmp", or ".tarvel-<pid>-<n>.tmp" when
// that would be too long a name (the target's own name may be near the limit).
// Where full paths have a `limit` (not None: Windows' MAX_PATH) that the name
// would reach, it is the short ".<8 hex digits>.tmp"; nulls when even that
// reaches it (the caller then writes in place, as a plain write would).
std::pair<Ref, Ref> create_temporary(PyObject* os, PyObject* target, PyObject* limit) {
    Ref pid = call_method(os, TARVEL_NAME("getpid"));
    Ref name = getattr(target, TARVEL_NAME("name"));
    // The flags Python's own open uses for a new file, made exclusive.
    Ref open_flags =
        os_flags(os, {"O_WRONLY", "O_CREAT", "O_EXCL", "O_CLOEXEC", "O_NOINHERIT", "O_BINARY"});
    Ref permissions = integer(0666);
    for (int attempt = 0;; ++attempt) {
        Ref n = integer(static_cast<long long>(++temporary_count));
        Ref temp_name = fstring(".", name, ".", pid, ".", n, ".tmp");
        Ref encoded = call_method(os, TARVEL_NAME("fsencode"), temp_name);
        if (PyBytes_GET_SIZE(encoded.get()) > kNameMax)
            temp_name = fstring(".tarvel-", pid, "-", n, ".tmp");
        Ref temp = call_method(target, TARVEL_NAME("with_name"), temp_name);
        if (limit != Py_None && too_long(os, temp.get(), limit)) {
            temp = call_method(target, TARVEL_NAME("with_name"),
                               short_temporary_name(pid.get(), n.get()));
            if (too_long(os, temp.get(), limit)) return {};
        }
        try {
            Ref fd = call_method(os, TARVEL_NAME("open"), temp, open_flags, permissions);
            return {std::move(temp), std::move(fd)};
        } catch (Error& e) {
            if (!e.matches(PyExc_FileExistsError) || attempt >= 100) throw;
        }
    }
}

// os.fsync(fd): the file's bytes reach stable storage. A file system that
// cannot flush a file (EINVAL, ENOTSUP) leaves it as a write without the flush
// would; any other failure (EIO, ENOSPC) is the write's error.
void flush_descriptor(PyObject* os, PyObject* fd) {
    try {
        call_method(os, TARVEL_NAME("fsync"), fd);
    } catch (Error& e) {
        if (!e.matches(PyExc_OSError)) throw;
        Ref number = getattr(e.value(), TARVEL_NAME("errno"));
        const long code = PyLong_Check(number.get()) ? PyLong_AsLong(number.get()) : 0;
        check(code == -1 && PyErr_Occurred());
        if (code != EINVAL && code != ENOTSUP && code != EOPNOTSUPP) throw;
    }
}

// Writes `text` to the descriptor as Path.write_text writes a file: text
// mode, the given encoding or the locale's, the platform's line ends; bytes
// as Path.write_bytes writes them. When `durable`, the bytes are flushed to
// stable storage before the file closes.
void write_descriptor(PyObject* os, PyObject* fd, PyObject* text, const char* encoding,
                      bool durable) {
    Ref io = import("io");
    Ref open = getattr(io.get(), TARVEL_NAME("open"));
    Ref file;
    try {
        if (PyBytes_Check(text)) {
            file = call(open.get(), fd, str("wb"));
        } else {
            Ref chosen = encoding != nullptr ? str(encoding) : none();
            Ref text_encoding = call_method(io.get(), TARVEL_NAME("text_encoding"), chosen);
            file = call_kw(open.get(), {fd, str("w").get()}, {{"encoding", text_encoding.get()}});
        }
    } catch (Error&) {
        call_method(os, TARVEL_NAME("close"), fd);
        throw;
    }
    try {
        call_method(file.get(), TARVEL_NAME("write"), text);
        if (durable) {
            call_method(file.get(), TARVEL_NAME("flush"));
            flush_descriptor(os, fd);
        }
    } catch (Error&) {
        try {
            call_method(file.get(), TARVEL_NAME("close"));
        } catch (Error&) {
            // the write's own error is the one to report
        }
        throw;
    }
    call_method(file.get(), TARVEL_NAME("close"));
}

// Opens `path` with the given os.O_* flags, flushes it and closes it. A path
// that cannot be opened is left unflushed; a failed flush raises.
void flush_path(PyObject* os, PyObject* path, PyObject* flags) {
    Ref fd;
    try {
        fd = call_method(os, TARVEL_NAME("open"), path, flags);
    } catch (Error& e) {
        if (!e.matches(PyExc_OSError)) throw;
        return;
    }
    try {
        flush_descriptor(os, fd.get());
    } catch (Error&) {
        try {
            call_method(os, TARVEL_NAME("close"), fd);
        } catch (Error&) {
            // the flush's own error is the one to report
        }
        throw;
    }
    call_method(os, TARVEL_NAME("close"), fd);
}

// Makes a rename durable: flushes the directory that holds `target`. Windows
// opens no directories this way and needs none flushed. Failures are
// ignored: the new file's bytes are on stable storage already, and a rename
// that is lost to a power cut leaves the old file whole.
void flush_directory(PyObject* os, PyObject* target) {
#ifdef TARVEL_POSIX_FILES
    try {
        Ref parent = getattr(target, TARVEL_NAME("parent"));
        Ref flags = getattr(os, TARVEL_NAME("O_RDONLY"));
        Ref directory = Ref::steal_maybe(PyObject_GetAttrString(os, "O_DIRECTORY"));
        if (directory) {
            flags = Ref::steal(PyNumber_Or(flags.get(), directory.get()));
        } else {
            PyErr_Clear();
        }
        flush_path(os, parent.get(), flags.get());
    } catch (Error& e) {
        if (!e.matches(PyExc_OSError)) throw;
    }
#else
    (void)os;
    (void)target;
#endif
}

// An OSError that names the temporary file (`temp`, or any file when null)
// becomes the one the direct write of `path` would have raised: the same
// class, number and text, naming `path`. Null when `e` is no such error (an
// error without a file name stays as it is).
Ref as_direct_write(const Error& e, PyObject* temp, PyObject* path) {
    if (!e.matches(PyExc_OSError)) return {};
    Ref number = getattr(e.value(), TARVEL_NAME("errno"));
    Ref text = getattr(e.value(), TARVEL_NAME("strerror"));
    Ref filename = getattr(e.value(), TARVEL_NAME("filename"));
    if (number.get() == Py_None || text.get() == Py_None || filename.get() == Py_None) return {};
    if (temp != nullptr) {
        Ref temp_text = Ref::steal(PyObject_Str(temp));
        if (!compare(filename.get(), temp_text.get(), Py_EQ)) return {};
    }
    Ref target = Ref::steal(PyObject_Str(path));
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(e.value()));
    return call(type, number, text, target);
}

[[noreturn]] void rethrow_as_direct_write(Error& e, PyObject* temp, PyObject* path) {
    Ref direct;
    try {
        direct = as_direct_write(e, temp, path);
    } catch (Error&) {
        // an exception that keeps its own file names
    }
    if (direct) throw Error(reinterpret_cast<PyObject*>(Py_TYPE(direct.get())), direct.get());
    throw std::move(e);
}

// create_temporary(), or nulls where the directory may not be added to (the
// caller then writes in place, as a plain write would).
std::pair<Ref, Ref> create_temporary_or_report(PyObject* os, PyObject* target, PyObject* path,
                                               PyObject* limit) {
    try {
        return create_temporary(os, target, limit);
    } catch (Error& e) {
        if (e.matches(PyExc_PermissionError)) return {};
        rethrow_as_direct_write(e, nullptr, path);
    }
}

// path.write_text(text[, encoding=...]), or path.write_bytes(data): the plain
// write, with Python's own outcome.
void write_in_place(PyObject* path, PyObject* text, const char* encoding) {
    if (PyBytes_Check(text)) {
        call_method(path, TARVEL_NAME("write_bytes"), text);
    } else if (encoding != nullptr) {
        Ref write_text = getattr(path, TARVEL_NAME("write_text"));
        call_kw(write_text.get(), {text}, {{"encoding", str(encoding).get()}});
    } else {
        call_method(path, TARVEL_NAME("write_text"), text);
    }
}

// write_in_place(), flushed to stable storage when `durable` (a flush that
// fails is the write's error).
void write_in_place_flushed(PyObject* os, PyObject* path, PyObject* text, const char* encoding,
                            bool durable) {
    write_in_place(path, text, encoding);
    if (durable) {
        Ref flags = Ref::steal(PyObject_GetAttrString(os, kFlushOpenFlag));
        flush_path(os, path, flags.get());
    }
}

// write_in_place_flushed() of a regular file that is there already. Its old
// bytes are read first and put back when the write fails, so an I/O error
// (a full disk, a size limit) leaves the old file, not an empty or cut one.
void rewrite_in_place(PyObject* os, PyObject* path, PyObject* text, const char* encoding,
                      bool durable) {
    Ref old;
    try {
        old = call_method(path, TARVEL_NAME("read_bytes"));
    } catch (Error& e) {
        if (!e.matches(PyExc_Exception)) throw;  // unreadable (write-only): written as it is
    }
    try {
        write_in_place_flushed(os, path, text, encoding, durable);
    } catch (Error&) {
        if (old) {
            try {
                call_method(path, TARVEL_NAME("write_bytes"), old);
                if (durable) {
                    Ref flags = Ref::steal(PyObject_GetAttrString(os, kFlushOpenFlag));
                    flush_path(os, path, flags.get());
                }
            } catch (Error&) {
                // the write's own error is the one to report
            }
        }
        throw;
    }
}

// pathlib's concrete class on this system and the methods the native paths stand in for.
struct StockPaths {
    PyTypeObject* cls = nullptr;
    PyObject* read_text = nullptr;
    PyObject* open = nullptr;
    PyObject* glob = nullptr;
    PyObject* write_text = nullptr;
    PyObject* io = nullptr;  // the io module and its open, which Path.open calls
    PyObject* io_open = nullptr;
    PyObject* os = nullptr;  // the os module and its scandir, which Path.glob calls
    PyObject* scandir = nullptr;
    PyObject* is_symlink = nullptr;  // Path methods and os and io functions replace_file calls
    PyObject* with_name = nullptr;
    PyObject* exists = nullptr;  // Path.exists and the Path.stat it calls
    PyObject* stat = nullptr;
    PyObject* os_stat = nullptr;
    PyObject* mkdir = nullptr;  // Path.mkdir and the is_dir it asks, os.mkdir
    PyObject* is_dir = nullptr;
    PyObject* os_mkdir = nullptr;
    PyObject* parent = nullptr;  // Path.parent
    PyObject* name = nullptr;    // Path.name, os.open and fcntl.flock, for lock files
    PyObject* os_open = nullptr;
    PyObject* fcntl = nullptr;
    PyObject* flock = nullptr;
    std::vector<std::pair<PyObject*, PyObject*>> replacing;  // (module, name), original by index
    std::vector<PyObject*> replacing_originals;
};
StockPaths stock;
bool native_reads = false;

bool is_stock(PyObject* path, std::initializer_list<std::pair<PyObject*, PyObject*>> methods) {
    if (stock.cls == nullptr || Py_TYPE(path) != stock.cls) return false;
    for (const auto& [name, original] : methods) {
        if (type_lookup(stock.cls, name) != original) return false;
    }
    return true;
}

// Whether module.name is still `original` (a fake file system or a mock replaces it).
bool unpatched(PyObject* module, PyObject* name, PyObject* original) {
    Ref now = Ref::steal_maybe(PyObject_GetAttr(module, name));
    if (!now) PyErr_Clear();
    return now.get() == original;
}

#ifdef TARVEL_POSIX_FILES
// os.fspath(path) as bytes for the system calls; empty when it cannot be had simply.
// `text` receives str(path), for the audit events.
std::string fs_path(PyObject* path, Ref& text) {
    text = Ref::steal_maybe(PyObject_Str(path));
    Ref encoded = text ? Ref::steal_maybe(PyUnicode_EncodeFSDefault(text.get())) : Ref();
    if (!encoded) {
        PyErr_Clear();
        return {};
    }
    std::string bytes(PyBytes_AS_STRING(encoded.get()),
                      static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    if (bytes.find('\0') != std::string::npos) return {};
    return bytes;
}

// The whole content of a regular file, or false.
bool slurp(const std::string& name, std::string& content) {
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info;
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (ok) {
        content.resize(static_cast<std::size_t>(info.st_size));
        std::size_t done = 0;
        while (ok) {
            if (done == content.size()) content.resize(content.size() * 2 + 4096);
            const ssize_t n = ::read(fd, content.data() + done, content.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ok = n == 0;
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        content.resize(done);
    }
    ::close(fd);
    return ok;
}
#endif

}  // namespace

namespace {

bool warns_of_default_encoding() {
    Ref sys = import("sys");
    Ref flags = getattr(sys.get(), TARVEL_NAME("flags"));
    Ref warn = Ref::steal_maybe(PyObject_GetAttrString(flags.get(), "warn_default_encoding"));
    if (!warn) {
        PyErr_Clear();
        return false;
    }
    return truthy(warn.get());
}

// The Path methods and the os and io functions replace_file and exists go through, for
// replaced_natively and exists to tell that they are still the same.
void remember_replacing(StockPaths& found) {
    const std::pair<PyObject**, const char*> methods[] = {
        {&found.is_symlink, "is_symlink"}, {&found.with_name, "with_name"},
        {&found.exists, "exists"},         {&found.stat, "stat"},
        {&found.mkdir, "mkdir"},           {&found.is_dir, "is_dir"},
        {&found.parent, "parent"},         {&found.name, "name"}};
    for (const auto& [field, name] : methods) {
        *field = type_lookup(found.cls, intern_forever(name));
        Py_XINCREF(*field);
    }
    const std::pair<PyObject**, const char*> functions[] = {
        {&found.os_stat, "stat"}, {&found.os_mkdir, "mkdir"}, {&found.os_open, "open"}};
    for (const auto& [field, name] : functions)
        *field = getattr(found.os, intern_forever(name)).release();
    for (const char* name : {"open", "replace", "fsync", "close", "chmod", "stat", "lstat",
                             "access", "getpid", "fsencode"}) {
        found.replacing.emplace_back(found.os, intern_forever(name));
    }
    found.replacing.emplace_back(found.io, TARVEL_NAME("open"));
    found.replacing.emplace_back(found.io, TARVEL_NAME("text_encoding"));
    for (const auto& [module, name] : found.replacing)
        found.replacing_originals.push_back(getattr(module, name).release());
    found.fcntl = PyImport_ImportModule("fcntl");
    if (found.fcntl == nullptr) PyErr_Clear();  // none here: lock files go through Python
    found.flock = found.fcntl ? getattr(found.fcntl, TARVEL_NAME("flock")).release() : nullptr;
}

}  // namespace

void remember_stock_paths() {
    if (stock.cls != nullptr) return;
    // With -X warn_default_encoding every read of the locale's encoding warns:
    // reading is then left to Path.read_text, which gives the warning.
    native_reads = !warns_of_default_encoding();
    Ref pathlib = import("pathlib");
    Ref path_class = getattr(pathlib.get(), TARVEL_NAME("Path"));
    Ref concrete = call(path_class.get());  // Path() is the system's concrete class
    StockPaths found;
    found.cls = Py_TYPE(concrete.get());
    found.read_text = type_lookup(found.cls, TARVEL_NAME("read_text"));
    found.open = type_lookup(found.cls, TARVEL_NAME("open"));
    found.glob = type_lookup(found.cls, TARVEL_NAME("glob"));
    found.write_text = type_lookup(found.cls, TARVEL_NAME("write_text"));
    if (found.read_text == nullptr || found.open == nullptr || found.glob == nullptr ||
        found.write_text == nullptr) {
        return;
    }
    Ref io = import("io");
    Ref io_open = getattr(io.get(), TARVEL_NAME("open"));
    Ref os = import("os");
    Ref scandir = getattr(os.get(), TARVEL_NAME("scandir"));
    // Held for the life of the process, as the interned names are.
    Py_INCREF(found.cls);
    Py_INCREF(found.read_text);
    Py_INCREF(found.open);
    Py_INCREF(found.glob);
    Py_INCREF(found.write_text);
    found.io = io.release();
    found.io_open = io_open.release();
    found.os = os.release();
    found.scandir = scandir.release();
    remember_replacing(found);
    stock = found;
}

#ifdef TARVEL_POSIX_FILES
namespace {

// Whether the files of `path` are read natively: a stock path whose read_text and open, and the
// io.open they call, are pathlib's and io's own, without -X warn_default_encoding.
bool read_natively(PyObject* path) {
    return native_reads &&
           is_stock(path, {{TARVEL_NAME("read_text"), stock.read_text},
                           {TARVEL_NAME("open"), stock.open}}) &&
           unpatched(stock.io, TARVEL_NAME("open"), stock.io_open);
}

}  // namespace
#endif

Ref read_text(PyObject* path) {
#ifdef TARVEL_POSIX_FILES
    if (read_natively(path)) {
        std::string content;
        Ref text;
        const std::string name = fs_path(path, text);
        // The audit event Python's open raises, so a host's audit hooks see the read.
        if (!name.empty()) {
            check(PySys_Audit("open", "Osi", text.get(), "r", O_RDONLY | O_CLOEXEC) < 0);
        }
        if (!name.empty() && slurp(name, content) &&
            std::all_of(content.begin(), content.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x80 && c != '\r'; })) {
            // Every locale's codec reads ASCII alike, and without a CR there
            // is no line end for universal newlines to translate.
            return Ref::steal(PyUnicode_DecodeASCII(
                content.data(), static_cast<Py_ssize_t>(content.size()), "strict"));
        }
    }
#endif
    return call_method(path, TARVEL_NAME("read_text"));
}

std::optional<std::array<long long, 5>> file_identity(PyObject* path) {
#ifdef TARVEL_POSIX_FILES
    if (!read_natively(path)) return std::nullopt;
    Ref text;
    const std::string name = fs_path(path, text);
    if (name.empty()) return std::nullopt;
    return file_identity_at(name.c_str());
#else
    (void)path;
    return std::nullopt;
#endif
}

#ifdef TARVEL_POSIX_FILES
namespace {

// file_identity_at for `fs_name` relative to the open directory `directory_fd` (AT_FDCWD: the
// working directory).
std::optional<std::array<long long, 5>> identity_in(int directory_fd, const char* fs_name) {
    struct stat info{};
    if (::fstatat(directory_fd, fs_name, &info, 0) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    constexpr long long kBillion = 1'000'000'000;
    const long long modified = info.st_mtim.tv_sec * kBillion + info.st_mtim.tv_nsec;
    const long long changed = info.st_ctim.tv_sec * kBillion + info.st_ctim.tv_nsec;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    // File times advance by the kernel's tick, a few milliseconds at most.
    constexpr long long kSettled = 100'000'000;
    if (now.tv_sec * kBillion + now.tv_nsec - std::max(modified, changed) < kSettled)
        return std::nullopt;
    return std::array<long long, 5>{static_cast<long long>(info.st_size), modified, changed,
                                    static_cast<long long>(info.st_ino),
                                    static_cast<long long>(info.st_dev)};
}

}  // namespace
#endif

std::optional<std::array<long long, 5>> file_identity_at(const char* fs_name) {
#ifdef TARVEL_POSIX_FILES
    return identity_in(AT_FDCWD, fs_name);
#else
    (void)fs_name;
    return std::nullopt;
#endif
}

#ifdef TARVEL_POSIX_FILES
namespace {

// The files in `directory` whose names end with `suffix`, sorted, as glob would find them,
// while `directory` is a stock path and os.scandir the original; nothing otherwise. `listing`
// receives str(directory) and its file system name; `identities` asks for each file's identity,
// read relative to the open directory.
std::optional<std::vector<ListedFile>> native_files(PyObject* directory, const char* suffix,
                                                    Listing& listing, bool identities) {
    const std::string name = is_stock(directory, {{TARVEL_NAME("glob"), stock.glob}}) &&
                                     unpatched(stock.os, TARVEL_NAME("scandir"), stock.scandir)
                                 ? fs_path(directory, listing.directory_text)
                                 : std::string();
    if (name.empty()) return std::nullopt;
    check(PySys_Audit("os.scandir", "O", listing.directory_text.get()) < 0);
    const std::unique_ptr<DIR, int (*)(DIR*)> opened(::opendir(name.c_str()), ::closedir);
    if (!opened) return std::nullopt;
    listing.fs_directory = name;
    const std::string_view ending(suffix);
    std::vector<ListedFile> files;
    while (const dirent* entry = ::readdir(opened.get())) {
        const std::string_view entry_name(entry->d_name);
        if (entry_name == "." || entry_name == ".." || entry_name.size() < ending.size() ||
            entry_name.substr(entry_name.size() - ending.size()) != ending) {
            continue;
        }
        ListedFile& file = files.emplace_back();
        file.name = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(
            entry_name.data(), static_cast<Py_ssize_t>(entry_name.size())));
        file.fs_name = entry_name;
        if (identities) file.identity = identity_in(::dirfd(opened.get()), entry->d_name);
    }
    // Children of one directory sort as their names do; ASCII names as their bytes do.
    const bool ascii = std::all_of(files.begin(), files.end(), [](const ListedFile& file) {
        return PyUnicode_IS_ASCII(file.name.get());
    });
    std::sort(files.begin(), files.end(), [ascii](const ListedFile& a, const ListedFile& b) {
        return ascii ? a.fs_name < b.fs_name : PyUnicode_Compare(a.name.get(), b.name.get()) < 0;
    });
    return files;
}

}  // namespace
#endif

Ref sorted_glob(PyObject* directory, const char* suffix) {
#ifdef TARVEL_POSIX_FILES
    Listing listing;
    if (auto files = native_files(directory, suffix, listing, false)) {
        Ref paths = Ref::steal(PyList_New(static_cast<Py_ssize_t>(files->size())));
        for (std::size_t i = 0; i < files->size(); ++i) {
            PyList_SET_ITEM(
                paths.get(), static_cast<Py_ssize_t>(i),
                Ref::steal(PyNumber_TrueDivide(directory, (*files)[i].name.get())).release());
        }
        return paths;
    }
#endif
    Ref found = call_method(directory, TARVEL_NAME("glob"), fstring("*", suffix));
    Ref files = Ref::steal(PySequence_List(found.get()));
    check(PyList_Sort(files.get()) < 0);
    return files;
}

std::optional<Listing> stock_listing(PyObject* directory, const char* suffix) {
#ifdef TARVEL_POSIX_FILES
    if (!read_natively(directory)) return std::nullopt;
    Listing listing;
    auto files = native_files(directory, suffix, listing, true);
    if (!files) return std::nullopt;
    listing.files = std::move(*files);
    return listing;
#else
    (void)directory;
    (void)suffix;
#endif
    return std::nullopt;
}

#ifdef TARVEL_POSIX_FILES
namespace {

// The bytes replace_file writes, where they are plain to tell: bytes as they are, text that is
// ASCII in the locale's encoding (every locale's codec writes ASCII alike, and "\n" is the line
// end), or any text in UTF-8. Nothing otherwise.
std::optional<std::string_view> plain_bytes(PyObject* text, const char* encoding) {
    if (PyBytes_CheckExact(text))
        return std::string_view(PyBytes_AS_STRING(text), PyBytes_GET_SIZE(text));
    if (!PyUnicode_CheckExact(text)) return std::nullopt;
    if (encoding == nullptr) {
        // io.text_encoding warns under -X warn_default_encoding: left to Python
        if (!native_reads || !PyUnicode_IS_ASCII(text)) return std::nullopt;
        return std::string_view(static_cast<const char*>(PyUnicode_DATA(text)),
                                PyUnicode_GET_LENGTH(text));
    }
    if (std::string_view(encoding) != "utf-8") return std::nullopt;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) {
        PyErr_Clear();  // a lone surrogate: Python's own error
        return std::nullopt;
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

bool replacing_unpatched() {
    for (std::size_t i = 0; i < stock.replacing.size(); ++i) {
        const auto& [module, name] = stock.replacing[i];
        if (!unpatched(module, name, stock.replacing_originals[i])) return false;
    }
    return !stock.replacing.empty();
}

Ref fs_text(const std::string& name) {
    return Ref::steal(
        PyUnicode_DecodeFSDefaultAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
}

// The exclusive creation of create_temporary, beside `target` (named `directory` + `name`),
// with the audit event os.open raises. The descriptor, or -1 when it fails.
int open_temporary(const std::string& directory, const std::string& name, std::string& temp) {
    const std::string pid = std::to_string(::getpid());
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    for (int attempt = 0; attempt <= 100; ++attempt) {
        const std::string n = std::to_string(++temporary_count);
        std::string temp_name = "." + name + "." + pid + "." + n + ".tmp";
        if (static_cast<Py_ssize_t>(temp_name.size()) > kNameMax)
            temp_name = ".tarvel-" + pid + "-" + n + ".tmp";
        const std::string tried = directory + temp_name;
        check(PySys_Audit("open", "OOi", fs_text(tried).get(), Py_None, flags) < 0);
        const int fd = ::open(tried.c_str(), flags, 0666);
        if (fd >= 0) temp = tried;  // only a file made here is ever removed
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// Writes all of `data` to `fd`, flushed to stable storage when `durable` (a file system that
// cannot flush a file leaves it unflushed, as flush_descriptor does), and closes it.
bool write_and_close(int fd, std::string_view data, bool durable) {
    bool ok = true;
    // as os.write and os.fsync do, other threads go on while the bytes go out
    PyThreadState* const saved = PyEval_SaveThread();
    while (ok && !data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        ok = written > 0;
        if (ok) data.remove_prefix(static_cast<std::size_t>(written));
    }
    if (ok && durable && ::fsync(fd) != 0)
        ok = errno == EINVAL || errno == ENOTSUP || errno == EOPNOTSUPP;
    ok = ::close(fd) == 0 && ok;
    PyEval_RestoreThread(saved);
    return ok;
}

// flush_directory for the directory of `directory` + name ("" is the working directory).
void flush_directory_natively(const std::string& directory) {
    std::string name = directory.empty() ? "." : directory;
    if (name.size() > 1) name.pop_back();  // "a/b/" is "a/b"; "/" stays
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    check(PySys_Audit("open", "OOi", fs_text(name).get(), Py_None, flags) < 0);
    PyThreadState* const saved = PyEval_SaveThread();  // other threads go on meanwhile
    const int fd = ::open(name.c_str(), flags);
    if (fd >= 0) {
        ::fsync(fd);  // failures are ignored, as flush_directory ignores them
        ::close(fd);
    }
    PyEval_RestoreThread(saved);
}

// The file replaced_natively replaces: its name for the system, split into its directory (""
// or ending in "/") and name, str(path), and the file that is there, if any.
struct NativeTarget {
    std::string path, directory, name;
    Ref text;
    bool existing = false;
    struct stat info{};
};

// The target of a stock `path`, or nothing where Python must look at it: a name the system
// cannot take, a link, a device or a directory, or a file the user may not write.
std::optional<NativeTarget> native_target(PyObject* path) {
    NativeTarget t;
    t.path = fs_path(path, t.text);
    const std::size_t slash = t.path.rfind('/');
    t.directory = slash == std::string::npos ? "" : t.path.substr(0, slash + 1);
    t.name = t.path.substr(t.directory.size());
    if (t.name.empty()) return std::nullopt;
    t.existing = ::lstat(t.path.c_str(), &t.info) == 0;
    if (!t.existing && errno != ENOENT) return std::nullopt;
    if (t.existing && (!S_ISREG(t.info.st_mode) ||
                       ::faccessat(AT_FDCWD, t.path.c_str(), W_OK, AT_EACCESS) != 0)) {
        return std::nullopt;
    }
    return t;
}

// replace_file done with system calls: for a stock path whose os and io functions are
// unpatched, text whose bytes are plain to tell, and a regular file the user may write or no
// file at all. Every step is the one replace_file takes through Python, with its audit events.
// False, with nothing changed, when it cannot be done so or a step before the rename fails:
// replace_file then takes every step through Python and meets the failure as it always has.
bool replaced_natively(PyObject* globals, PyObject* path, PyObject* text, const char* encoding) {
    if (!is_stock(path, {{TARVEL_NAME("write_text"), stock.write_text},
                         {TARVEL_NAME("is_symlink"), stock.is_symlink},
                         {TARVEL_NAME("with_name"), stock.with_name}}) ||
        !replacing_unpatched()) {
        return false;
    }
    const auto data = plain_bytes(text, encoding);
    const auto target = data ? native_target(path) : std::nullopt;
    if (!target) return false;
    const bool durable = durable_writes(globals);
    // The temporary file goes again on every way out before the rename, an exception included.
    struct Temporary {
        std::string name;
        bool kept = false;
        ~Temporary() {
            if (!kept && !name.empty()) ::unlink(name.c_str());
        }
    } temp;
    const int fd = open_temporary(target->directory, target->name, temp.name);
    if (fd < 0) return false;
    // io.open(fd, "w"), which the write goes through in Python, raises its own event
    constexpr int kWriting = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    if (PySys_Audit("open", "isi", fd, "w", kWriting) < 0) {
        ::close(fd);
        throw Error();
    }
    if (!write_and_close(fd, *data, durable)) return false;
    if (target->existing) {
        const int mode = static_cast<int>(target->info.st_mode & 07777);
        check(PySys_Audit("os.chmod", "Oii", fs_text(temp.name).get(), mode, -1) < 0);
        if (::chmod(temp.name.c_str(), static_cast<mode_t>(mode)) != 0) return false;
    }
    check(PySys_Audit("os.rename", "OOii", fs_text(temp.name).get(), target->text.get(), -1, -1) <
          0);
    if (::rename(temp.name.c_str(), target->path.c_str()) != 0) return false;
    temp.kept = true;
    if (durable) flush_directory_natively(target->directory);
    return true;
}

}  // namespace
#endif

bool durable_writes(PyObject* globals) {
    Ref setting = dict_get(globals, TARVEL_NAME("DURABLE_WRITES"));
    return !setting || truthy(setting.get());
}

namespace {

// A path whose writing a host or test has replaced (a patched write_text, a
// fake file system, a path-like class of its own) is written as it asks.
bool written_as_it_asks(PyObject* path) {
    return !is_stock(path, {{TARVEL_NAME("write_text"), stock.write_text}}) ||
           !unpatched(stock.io, TARVEL_NAME("open"), stock.io_open);
}

// The file a write of `path` reaches: a symbolic link is written through, to
// the file it names, as a plain write would. Null for a link that leads
// nowhere, which the plain write reports with Python's own error.
Ref write_target(PyObject* path) {
    bool link = false;
    try {
        link = truthy(call_method(path, TARVEL_NAME("is_symlink")).get());
    } catch (Error& e) {
        if (!e.matches(PyExc_OSError)) throw;  // a name the system cannot take is no link
    }
    if (!link) return Ref::borrow(path);
    try {
        Ref target = call_method(path, TARVEL_NAME("resolve"));
        if (!truthy(call_method(target.get(), TARVEL_NAME("is_symlink")).get())) return target;
    } catch (Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
    return {};
}

// Whether the user may write `target`, as os.access tells (by the effective
// ids where the system checks those).
bool may_write(PyObject* os, PyObject* target) {
    Ref access = getattr(os, TARVEL_NAME("access"));
    Ref effective = getattr(os, TARVEL_NAME("supports_effective_ids"));
    const int by_effective_ids = PySequence_Contains(effective.get(), access.get());
    check(by_effective_ids < 0);
    Ref writable = getattr(os, TARVEL_NAME("W_OK"));
    Ref allowed = by_effective_ids ? call_kw(access.get(), {target, writable.get()},
                                             {{"effective_ids", Py_True}})
                                   : call(access.get(), target, writable);
    return truthy(allowed.get());
}

// The file being replaced: one that is not a regular file (a device, a pipe)
// or that the user may not write is left to the plain write (true), and the
// new file keeps the old one's permission bits (`mode`, null when there is no
// file yet).
bool left_to_plain_write(PyObject* os, PyObject* target, Ref& mode) {
    try {
        Ref info = call_method(os, TARVEL_NAME("stat"), target);
        Ref st_mode = getattr(info.get(), TARVEL_NAME("st_mode"));
        Ref stat = import("stat");
        if (!truthy(call_method(stat.get(), TARVEL_NAME("S_ISREG"), st_mode).get())) return true;
        mode = call_method(stat.get(), TARVEL_NAME("S_IMODE"), st_mode);
    } catch (Error& e) {
        // A name no file can have is the plain write's, for Python's own error; an OSError
        // means no file yet, or none that can be seen.
        if (e.matches(PyExc_ValueError)) return true;
        if (!e.matches(PyExc_OSError)) throw;
        return false;
    }
    return !may_write(os, target);
}

// os.replace(temp, target), tried again over about a second while it fails with a PermissionError
// of EACCES: Windows refuses to replace a file another process holds open (a reader, an indexer,
// antivirus) until that process lets go. The pauses go through time.sleep.
void replace_when_free(PyObject* os, PyObject* temp, PyObject* target) {
    for (const double pause : {0.05, 0.1, 0.15, 0.2, 0.25, 0.25}) {
        try {
            call_method(os, TARVEL_NAME("replace"), temp, target);
            return;
        } catch (Error& e) {
            if (!e.matches(PyExc_PermissionError)) throw;
            Ref number = getattr(e.value(), TARVEL_NAME("errno"));
            const long code = PyLong_Check(number.get()) ? PyLong_AsLong(number.get()) : 0;
            if (code == -1) PyErr_Clear();  // too large for a long: no EACCES
            if (code != EACCES) throw;
        }
        Ref time = import("time");
        call_method(time.get(), TARVEL_NAME("sleep"), Ref::steal(PyFloat_FromDouble(pause)));
    }
    call_method(os, TARVEL_NAME("replace"), temp, target);
}

// The new text goes to a temporary file beside `target`, which then takes
// its place. Where the directory takes no new file, or the file may be
// written but not replaced (a file another process holds open past the
// retries of replace_when_free), a regular file that is there is rewritten
// in place, keeping its old bytes should the write fail. The callers hold the
// file's lock meanwhile, and a load that finds it half written waits for that
// lock (waited_for_holder).
void write_and_replace(PyObject* os, PyObject* path, PyObject* target, PyObject* text,
                       const char* encoding, PyObject* mode, bool durable, PyObject* limit) {
    auto in_place = [&] {
        if (mode != nullptr) {
            rewrite_in_place(os, path, text, encoding, durable);
        } else {
            write_in_place_flushed(os, path, text, encoding, durable);
        }
    };
    auto [temp, fd] = create_temporary_or_report(os, target, path, limit);
    if (!temp) {
        in_place();
        return;
    }
    try {
        write_descriptor(os, fd.get(), text, encoding, durable);
        if (mode != nullptr) call_method(os, TARVEL_NAME("chmod"), temp, mode);
        replace_when_free(os, temp.get(), target);
    } catch (Error& e) {
        try {
            Ref unlink = getattr(temp.get(), TARVEL_NAME("unlink"));
            call_kw(unlink.get(), {}, {{"missing_ok", Py_True}});
        } catch (Error&) {
            // the write's own error is the one to report
        }
        if (e.matches(PyExc_PermissionError)) {
            in_place();
            return;
        }
        rethrow_as_direct_write(e, temp.get(), path);
    }
    if (durable) flush_directory(os, target);
}

}  // namespace

void replace_file(PyObject* globals, PyObject* path, PyObject* text, const char* encoding) {
    // The module's _MAX_PATH: the length a full path must stay below (None: no such limit).
    Ref limit = dict_get(globals, TARVEL_NAME("_MAX_PATH"));
    if (!limit) limit = none();
#ifdef TARVEL_POSIX_FILES
    if (limit.get() == Py_None && replaced_natively(globals, path, text, encoding)) return;
#endif
    if (written_as_it_asks(path)) {
        write_in_place(path, text, encoding);
        return;
    }
    Ref os = import("os");
    Ref target = write_target(path);
    Ref mode;
    if (!target || left_to_plain_write(os.get(), target.get(), mode)) {
        write_in_place(path, text, encoding);
        return;
    }
    write_and_replace(os.get(), path, target.get(), text, encoding, mode.get(),
                      durable_writes(globals), limit.get());
}

Ref max_path() {
#ifdef _WIN32
    return integer(260);  // MAX_PATH, which counts the closing NUL
#else
    return none();
#endif
}

Ref os_flags(PyObject* os, std::initializer_list<const char*> names) {
    Ref flags = integer(0);
    for (const char* name : names) {
        Ref value = Ref::steal_maybe(PyObject_GetAttrString(os, name));
        if (!value) {
            PyErr_Clear();  // not on this system
            continue;
        }
        flags = Ref::steal(PyNumber_Or(flags.get(), value.get()));
    }
    return flags;
}

#ifdef TARVEL_POSIX_FILES
namespace {

// The system name of a stock `path` whose Path methods `methods` and os function os.<name> are
// the original ones; empty otherwise. `text` receives str(path).
std::string stock_name(PyObject* path,
                       std::initializer_list<std::pair<PyObject*, PyObject*>> methods,
                       PyObject* os_name, PyObject* os_original, Ref& text) {
    if (!is_stock(path, methods) || !unpatched(stock.os, os_name, os_original)) return {};
    return fs_path(path, text);
}

// path.mkdir(parents=True, exist_ok=True) with system calls, step by step as pathlib takes
// them (a missing parent made first, through its own path), raising what os.mkdir raises. False
// where Python must do it.
bool made_natively(PyObject* path) {
    Ref text;
    const std::string name = stock_name(
        path, {{TARVEL_NAME("mkdir"), stock.mkdir}, {TARVEL_NAME("is_dir"), stock.is_dir}},
        TARVEL_NAME("mkdir"), stock.os_mkdir, text);
    if (name.empty() || !unpatched(stock.os, TARVEL_NAME("stat"), stock.os_stat)) return false;
    // os.mkdir, and the is_dir that excuses a directory already there: 0 or the error number
    const auto attempt = [&] {
        check(PySys_Audit("os.mkdir", "Oii", text.get(), 0777, -1) < 0);
        if (::mkdir(name.c_str(), 0777) == 0) return 0;
        const int failed = errno;
        struct stat info{};
        return failed == EEXIST && ::stat(name.c_str(), &info) == 0 && S_ISDIR(info.st_mode)
                   ? 0
                   : failed;
    };
    int failed = attempt();
    if (failed == ENOENT) {
        Ref parent = getattr(path, TARVEL_NAME("parent"));
        if (!compare(parent.get(), path, Py_EQ)) {
            make_dirs(parent.get());
            failed = attempt();
        }
    }
    if (failed != 0) {
        errno = failed;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, text.get());
        throw Error();
    }
    return true;
}

}  // namespace
#endif

std::optional<Ref> signature_natively(PyObject* path) {
#ifdef TARVEL_POSIX_FILES
    Ref text;
    const std::string name = stock_name(path, {{TARVEL_NAME("stat"), stock.stat}},
                                        TARVEL_NAME("stat"), stock.os_stat, text);
    struct stat info{};
    if (name.empty()) return std::nullopt;
    if (::stat(name.c_str(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return Ref::steal(PyTuple_New(0));
        return std::nullopt;
    }
    constexpr long long kBillion = 1'000'000'000, kLatest = 9'000'000'000;
    if (info.st_mtim.tv_sec > kLatest || info.st_mtim.tv_sec < -kLatest ||
        info.st_ctim.tv_sec > kLatest || info.st_ctim.tv_sec < -kLatest) {
        return std::nullopt;
    }
    Ref fields[] = {
        Ref::steal(PyLong_FromUnsignedLongLong(info.st_dev)),
        Ref::steal(PyLong_FromUnsignedLongLong(info.st_ino)),
        Ref::steal(PyLong_FromLongLong(info.st_size)),
        Ref::steal(PyLong_FromLongLong(info.st_mtim.tv_sec * kBillion + info.st_mtim.tv_nsec)),
        Ref::steal(PyLong_FromLongLong(info.st_ctim.tv_sec * kBillion + info.st_ctim.tv_nsec))};
    Ref signature = Ref::steal(PyTuple_New(5));
    for (Py_ssize_t i = 0; i < 5; ++i)
        PyTuple_SET_ITEM(signature.get(), i, fields[i].release());
    return signature;
#else
    (void)path;
    return std::nullopt;
#endif
}

std::optional<Ref> lock_file_natively(PyObject* path, const char* suffix) {
#ifdef TARVEL_POSIX_FILES
    // Python's steps where fcntl is no longer what an import gives (an import made to fail, as
    // on Windows, takes the msvcrt locks)
    PyObject* fcntl = PyDict_GetItemWithError(PyImport_GetModuleDict(), TARVEL_NAME("fcntl"));
    check(fcntl == nullptr && PyErr_Occurred());
    if (fcntl != stock.fcntl) return std::nullopt;
    Ref text;
    std::string name =
        stock.flock != nullptr && unpatched(stock.fcntl, TARVEL_NAME("flock"), stock.flock)
            ? stock_name(
                  path,
                  {{TARVEL_NAME("name"), stock.name}, {TARVEL_NAME("with_name"), stock.with_name}},
                  TARVEL_NAME("open"), stock.os_open, text)
            : std::string();
    if (name.empty() || name.back() == '/') return std::nullopt;
    name += suffix;
    // A link at the lock file's name is never followed; Python meets its refusal (ELOOP).
    const int flags = O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC;
    Ref lock_text = Ref::steal(PyUnicode_Concat(text.get(), str(suffix).get()));
    check(PySys_Audit("open", "OOi", lock_text.get(), Py_None, flags) < 0);
    const int fd = ::open(name.c_str(), flags, 0666);
    if (fd < 0) return std::nullopt;
    Ref descriptor = Ref::steal(PyLong_FromLong(fd));
    if (PySys_Audit("fcntl.flock", "ii", fd, LOCK_EX) < 0) {
        ::close(fd);
        throw Error();
    }
    for (;;) {
        PyThreadState* const saved = PyEval_SaveThread();  // as fcntl.flock waits
        const bool locked = ::flock(fd, LOCK_EX) == 0;
        const int failed = errno;
        PyEval_RestoreThread(saved);
        if (locked) break;
        if (failed != EINTR || PyErr_CheckSignals() < 0) {
            ::close(fd);
            if (PyErr_Occurred()) throw Error();
            return std::nullopt;
        }
    }
    return descriptor;
#else
    (void)path;
    (void)suffix;
    return std::nullopt;
#endif
}

Ref parent_of(PyObject* path) {
    // A path never changes, so its parent is the same path again: handing out the same object
    // lets the text it works out of itself on first use be worked out once.
    struct Last {
        Ref path, parent;
    };
    static Last* const last = new Last;  // never destroyed: its references outlive no interpreter
    if (!is_stock(path, {{TARVEL_NAME("parent"), stock.parent}}))
        return getattr(path, TARVEL_NAME("parent"));
    if (last->path.get() != path) {
        Ref parent = getattr(path, TARVEL_NAME("parent"));
        last->path = Ref::borrow(path);
        last->parent = std::move(parent);
    }
    return last->parent;
}

bool missing_natively(PyObject* path) {
#ifdef TARVEL_POSIX_FILES
    Ref text;
    const std::string name = stock_name(path, {{TARVEL_NAME("stat"), stock.stat}},
                                        TARVEL_NAME("stat"), stock.os_stat, text);
    struct stat info{};
    return !name.empty() && ::stat(name.c_str(), &info) != 0 &&
           (errno == ENOENT || errno == ENOTDIR);
#else
    (void)path;
    return false;
#endif
}

void make_dirs(PyObject* path) {
#ifdef TARVEL_POSIX_FILES
    if (made_natively(path)) return;
#endif
    Ref mkdir = getattr(path, TARVEL_NAME("mkdir"));
    call_kw(mkdir.get(), {}, {{"parents", Py_True}, {"exist_ok", Py_True}});
}

bool exists(PyObject* path) {
#ifdef TARVEL_POSIX_FILES
    // A stock path is looked at directly; what Path.exists reports as an error, and a path
    // the system cannot take, go through Python.
    Ref text;
    const std::string name =
        stock_name(path, {{TARVEL_NAME("exists"), stock.exists}, {TARVEL_NAME("stat"), stock.stat}},
                   TARVEL_NAME("stat"), stock.os_stat, text);
    struct stat info{};
    if (!name.empty()) {
        if (::stat(name.c_str(), &info) == 0) return true;
        if (errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG) return false;
    }
#endif
    try {
        return truthy(call_method(path, TARVEL_NAME("exists")).get());
    } catch (Error& e) {
        if (!e.matches(PyExc_OSError)) throw;
        Ref code = getattr(e.value(), TARVEL_NAME("errno"));
        if (!PyLong_Check(code.get()) || PyLong_AsLong(code.get()) != ENAMETOOLONG) throw;
        return false;
    }
}

namespace {

// A new file at `copy` with the permission bits `mode`, created exclusively (nothing at that
// name, a link included, is followed or reused); its descriptor, or null when the name is taken.
Ref create_copy(PyObject* os, PyObject* copy, PyObject* mode) {
    Ref flags =
        os_flags(os, {"O_WRONLY", "O_CREAT", "O_EXCL", "O_CLOEXEC", "O_NOINHERIT", "O_BINARY"});
    Ref fd;
    try {
        fd = call_method(os, TARVEL_NAME("open"), copy, flags, mode);
    } catch (Error& e) {
        if (e.matches(PyExc_FileExistsError)) return {};
        throw;
    }
    // os.open's mode passes through the umask: the copy gets the bits themselves.
    Ref fchmod = Ref::steal_maybe(PyObject_GetAttrString(os, "fchmod"));
    if (!fchmod) PyErr_Clear();  // not on this system: the bits os.open gave
    try {
        if (fchmod) call(fchmod.get(), fd, mode);
    } catch (Error&) {
        call_method(os, TARVEL_NAME("close"), fd);
        throw;
    }
    return fd;
}

}  // namespace

Ref keep_copy(PyObject* globals, PyObject* path) {
    Ref datetime = global(globals, TARVEL_NAME("datetime"));
    Ref now = call_method(datetime.get(), TARVEL_NAME("now"));
    Ref stamp = call_method(now.get(), TARVEL_NAME("strftime"), str("%Y%m%d-%H%M%S"));
    Ref name = getattr(path, TARVEL_NAME("name"));
    Ref base = fstring(name, ".bad-", stamp);
    Ref content = call_method(path, TARVEL_NAME("read_bytes"));
    // The copy is as private as the file it copies.
    Ref info = call_method(path, TARVEL_NAME("stat"));
    Ref stat = import("stat");
    Ref mode = call_method(stat.get(), TARVEL_NAME("S_IMODE"),
                           getattr(info.get(), TARVEL_NAME("st_mode")));
    Ref os = import("os");
    Ref copy = call_method(path, TARVEL_NAME("with_name"), base);
    Ref fd = create_copy(os.get(), copy.get(), mode.get());
    for (long n = 2; !fd; ++n) {
        copy = call_method(path, TARVEL_NAME("with_name"), fstring(base, "-", integer(n)));
        fd = create_copy(os.get(), copy.get(), mode.get());
    }
    try {
        write_descriptor(os.get(), fd.get(), content.get(), nullptr, false);
    } catch (Error&) {
        try {
            call_method(copy.get(), TARVEL_NAME("unlink"));
        } catch (Error&) {
            // the write's own error is the one to report
        }
        throw;
    }
    return copy;
}

Ref keep_unreadable(PyObject* globals, PyObject* path, const char* level, const char* what,
                    Ref* failure) {
    try {
        Ref copy = keep_copy(globals, path);
        log(globals, level, fstring("Kept a copy of the unreadable ", what, " as ", copy));
        return copy;
    } catch (Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        log(globals, level,
            fstring("Failed to keep a copy of the unreadable ", what, ": ", e.value()));
        if (failure != nullptr) *failure = Ref::borrow(e.value());
        return {};
    }
}

}  // namespace tarvel::py
