// glue/PyNativeFiles.cpp: the native file steps, each beside the audit events of its Python step
#include "glue/PyNativeFiles.hpp"

#include "glue/PyFiles.hpp"
#include "glue/PyPlatform.hpp"
#include "glue/PyStock.hpp"

#include "fs/TFiles.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvel::py {

#ifdef TARVEL_POSIX_FILES
namespace {

// ---- the audit events ----------------------------------------------------------------------

// Each native step and the audit event of the Python step it stands in for, raised before the
// step with the same arguments, so a host's audit hooks see the same events either way.
enum class Step {
    Read,             // Path.read_text's io.open(path, "r")
    MakeDirectory,    // os.mkdir(path, 0o777)
    ListDirectory,    // Path.glob's os.scandir(directory)
    OpenLock,         // os.open(lock file, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC)
    Lock,             // fcntl.flock(fd, LOCK_EX)
    CreateTemporary,  // os.open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC), each name
    WriteTemporary,   // io.open(fd, "w")
    SetMode,          // os.chmod(temporary, mode of the file replaced)
    Rename,           // os.replace(temporary, path)
    FlushDirectory,   // os.open(directory, O_RDONLY | O_DIRECTORY) before os.fsync
};
struct AuditEvent {
    Step step;
    const char* event;
    const char* format;  // PySys_Audit's, for the arguments Python's step gives
};
constexpr AuditEvent kAuditEvents[] = {
    {Step::Read, "open", "Osi"},               // path, "r", flags
    {Step::MakeDirectory, "os.mkdir", "Oii"},  // path, mode, dir_fd -1
    {Step::ListDirectory, "os.scandir", "O"},  // directory
    {Step::OpenLock, "open", "OOi"},           // path, None, flags
    {Step::Lock, "fcntl.flock", "ii"},         // fd, LOCK_EX
    {Step::CreateTemporary, "open", "OOi"},    // path, None, flags
    {Step::WriteTemporary, "open", "isi"},     // fd, "w", flags
    {Step::SetMode, "os.chmod", "Oii"},        // path, mode, dir_fd -1
    {Step::Rename, "os.rename", "OOii"},       // from, to, -1, -1
    {Step::FlushDirectory, "open", "OOi"},     // directory, None, flags
};
constexpr bool table_in_order() {
    for (std::size_t i = 0; i < std::size(kAuditEvents); ++i)
        if (static_cast<std::size_t>(kAuditEvents[i].step) != i) return false;
    return true;
}
static_assert(table_in_order(), "kAuditEvents lists the steps in the order Step declares them");

// Raises the audit event of `step`: false, with the hook's error set, when a hook refuses it.
template <class... Args>
bool audited(Step step, Args... args) {
    const AuditEvent& event = kAuditEvents[static_cast<std::size_t>(step)];
    return PySys_Audit(event.event, event.format, args...) == 0;
}

// Raises the audit event of `step`, throwing a hook's refusal.
template <class... Args>
void audit(Step step, Args... args) {
    check(!audited(step, args...));
}

// ---- names ---------------------------------------------------------------------------------

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

Ref fs_text(const std::string& name) {
    return Ref::steal(
        PyUnicode_DecodeFSDefaultAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
}

// The system name of a stock `path` whose Path methods `methods` and os function os.<name> are
// the original ones; empty otherwise. `text` receives str(path).
std::string stock_name(PyObject* path,
                       std::initializer_list<std::pair<PyObject*, PyObject*>> methods,
                       PyObject* os_name, PyObject* os_original, Ref& text) {
    if (!is_stock(path, methods) || !unpatched(stock.os, os_name, os_original)) return {};
    return fs_path(path, text);
}

// The name of a stock path for a stat(): its Path.stat and os.stat the original ones.
std::string stat_name(PyObject* path, Ref& text) {
    return stock_name(path, {{TARVEL_NAME("stat"), stock.stat}}, TARVEL_NAME("stat"), stock.os_stat,
                      text);
}

// A step that may wait (a write, a flush, a lock), with the interpreter lock let go meanwhile,
// as os.write, os.fsync and fcntl.flock let it go.
template <class Fn>
auto without_interpreter(Fn step) {
    PyThreadState* const saved = PyEval_SaveThread();
    auto result = step();
    PyEval_RestoreThread(saved);
    return result;
}

}  // namespace
#endif

// ---- directories and stat ----------------------------------------------------------------

bool made_natively(PyObject* path) {
#ifdef TARVEL_POSIX_FILES
    Ref text;
    const std::string name = stock_name(
        path, {{TARVEL_NAME("mkdir"), stock.mkdir}, {TARVEL_NAME("is_dir"), stock.is_dir}},
        TARVEL_NAME("mkdir"), stock.os_mkdir, text);
    if (name.empty() || !unpatched(stock.os, TARVEL_NAME("stat"), stock.os_stat)) return false;
    // os.mkdir, and the is_dir that excuses a directory already there: 0 or the error number
    const auto attempt = [&] {
        audit(Step::MakeDirectory, text.get(), 0777, -1);
        return fs::make_directory(name.c_str(), 0777);
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
#else
    (void)path;
    return false;
#endif
}

std::optional<bool> exists_natively(PyObject* path) {
#ifdef TARVEL_POSIX_FILES
    Ref text;
    const std::string name =
        stock_name(path, {{TARVEL_NAME("exists"), stock.exists}, {TARVEL_NAME("stat"), stock.stat}},
                   TARVEL_NAME("stat"), stock.os_stat, text);
    if (name.empty()) return std::nullopt;
    const int failed = fs::status(name.c_str());
    if (failed == 0) return true;
    if (failed == ENOENT || failed == ENOTDIR || failed == ENAMETOOLONG) return false;
#else
    (void)path;
#endif
    return std::nullopt;
}

bool missing_natively(PyObject* path) {
#ifdef TARVEL_POSIX_FILES
    Ref text;
    const std::string name = stat_name(path, text);
    if (name.empty()) return false;
    const int failed = fs::status(name.c_str());
    return failed == ENOENT || failed == ENOTDIR;
#else
    (void)path;
    return false;
#endif
}

std::optional<Ref> signature_natively(PyObject* path) {
#ifdef TARVEL_POSIX_FILES
    Ref text;
    const std::string name = stat_name(path, text);
    if (name.empty()) return std::nullopt;
    fs::Signature info;
    const int failed = fs::read_signature(name.c_str(), info);
    if (failed == ENOENT || failed == ENOTDIR) return Ref::steal(PyTuple_New(0));
    if (failed != 0) return std::nullopt;
    Ref fields[] = {Ref::steal(PyLong_FromUnsignedLongLong(info.device)),
                    Ref::steal(PyLong_FromUnsignedLongLong(info.inode)),
                    Ref::steal(PyLong_FromLongLong(info.size)),
                    Ref::steal(PyLong_FromLongLong(info.modified)),
                    Ref::steal(PyLong_FromLongLong(info.changed))};
    Ref signature = Ref::steal(PyTuple_New(5));
    for (Py_ssize_t i = 0; i < 5; ++i)
        PyTuple_SET_ITEM(signature.get(), i, fields[i].release());
    return signature;
#else
    (void)path;
    return std::nullopt;
#endif
}

// ---- lock files --------------------------------------------------------------------------

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
    Ref lock_text = Ref::steal(PyUnicode_Concat(text.get(), str(suffix).get()));
    audit(Step::OpenLock, lock_text.get(), Py_None, fs::kLockFlags);
    const int fd = fs::open_lock_file(name.c_str());
    if (fd < 0) return std::nullopt;
    Ref descriptor = Ref::steal(PyLong_FromLong(fd));
    if (!audited(Step::Lock, fd, fs::kLockExclusive)) {
        fs::close_file(fd);
        throw Error();
    }
    for (;;) {
        const int failed = without_interpreter([fd] { return fs::lock(fd, true); });
        if (failed == 0) break;
        if (failed != EINTR || PyErr_CheckSignals() < 0) {
            fs::close_file(fd);
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

// ---- reading files and directories -------------------------------------------------------

#ifdef TARVEL_POSIX_FILES
namespace {

// Whether `n` bytes are ASCII text without a CR: every locale's codec reads ASCII alike, and
// without a CR there is no line end for universal newlines to translate.
bool plain_ascii(const char* text, std::size_t n) {
    std::uint64_t high = 0;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text + i, 8);
        high |= word;
    }
    for (; i < n; ++i)
        high |= static_cast<unsigned char>(text[i]);
    return (high & 0x8080808080808080ULL) == 0 && std::memchr(text, '\r', n) == nullptr;
}

}  // namespace
#endif

Ref read_text(PyObject* path) {
#ifdef TARVEL_POSIX_FILES
    if (read_natively(path)) {
        Ref text;
        const std::string name = fs_path(path, text);
        if (!name.empty()) audit(Step::Read, text.get(), "r", fs::kReadFlags);
        // Read straight into an ASCII str, which is kept when the bytes are plain ASCII text.
        Ref read;
        const auto room = [&read](std::size_t size) -> char* {
            if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return nullptr;
            read = Ref::steal_maybe(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
            return read ? reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(read.get())) : nullptr;
        };
        const int failed = name.empty() ? EINVAL : fs::read_sized(name, room);
        if (PyErr_Occurred()) throw Error();  // no memory for the text
        if (failed == 0 &&
            plain_ascii(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(read.get())),
                        static_cast<std::size_t>(PyUnicode_GET_LENGTH(read.get())))) {
            return read;
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

std::optional<std::array<long long, 5>> file_identity_at(const char* fs_name) {
#ifdef TARVEL_POSIX_FILES
    return fs::file_identity(fs_name);
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
    audit(Step::ListDirectory, listing.directory_text.get());
    std::vector<fs::Entry> entries;
    if (fs::read_directory(name.c_str(), suffix, identities, entries) != 0) return std::nullopt;
    listing.fs_directory = name;
    std::vector<ListedFile> files;
    files.reserve(entries.size());
    for (fs::Entry& entry : entries) {
        ListedFile& file = files.emplace_back();
        file.name = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(
            entry.name.data(), static_cast<Py_ssize_t>(entry.name.size())));
        file.fs_name = std::move(entry.name);
        file.identity = entry.identity;
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

// ---- replacing a file --------------------------------------------------------------------

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

// The exclusive temporary file beside `target`, each name tried raising os.open's audit event
// (a hook's refusal is thrown). The descriptor, or minus the errno.
int create_temporary(fs::TemporaryFile& temp, const fs::Target& target) {
    std::optional<Error> refused;
    const int fd = temp.create(target.directory, target.name, [&](const std::string& tried) {
        try {
            audit(Step::CreateTemporary, fs_text(tried).get(), Py_None, fs::kCreateFlags);
            return true;
        } catch (Error& e) {
            refused.emplace(std::move(e));
            return false;
        }
    });
    if (refused) throw std::move(*refused);
    return fd;
}

// The directory of the replaced file flushed, making the rename durable.
void flush_directory(const fs::Target& target) {
    const std::string name = fs::directory_name(target.directory);
    audit(Step::FlushDirectory, fs_text(name).get(), Py_None, fs::kDirectoryFlags);
    without_interpreter([&name] {
        fs::flush_directory(name);
        return 0;
    });
}

}  // namespace
#endif

bool replaced_natively(PyObject* globals, PyObject* path, PyObject* text, const char* encoding) {
#ifdef TARVEL_POSIX_FILES
    if (!is_stock(path, {{TARVEL_NAME("write_text"), stock.write_text},
                         {TARVEL_NAME("is_symlink"), stock.is_symlink},
                         {TARVEL_NAME("with_name"), stock.with_name}}) ||
        !replacing_unpatched()) {
        return false;
    }
    const auto data = plain_bytes(text, encoding);
    Ref target_text;
    const auto target = data ? fs::writable_target(fs_path(path, target_text)) : std::nullopt;
    if (!target) return false;
    const bool durable = durable_writes(globals);
    // The temporary file goes again on every way out before the rename, an exception included.
    fs::TemporaryFile temp;
    const int fd = create_temporary(temp, *target);
    if (fd < 0) return false;
    if (!audited(Step::WriteTemporary, fd, "w", fs::kWriteFlags)) {
        fs::close_file(fd);
        throw Error();
    }
    const std::string_view bytes = *data;
    if (without_interpreter([&] { return fs::write_and_close(fd, bytes, durable); }) != 0)
        return false;
    if (target->existing) {
        const int mode = static_cast<int>(target->mode);
        audit(Step::SetMode, fs_text(temp.name()).get(), mode, -1);
        if (fs::set_mode(temp.name().c_str(), target->mode) != 0) return false;
    }
    audit(Step::Rename, fs_text(temp.name()).get(), target_text.get(), -1, -1);
    if (fs::rename_file(temp.name().c_str(), target->path.c_str()) != 0) return false;
    temp.keep();
    if (durable) flush_directory(*target);
    return true;
#else
    (void)globals;
    (void)path;
    (void)text;
    (void)encoding;
    return false;
#endif
}

}  // namespace tarvel::py
