// glue/PyFiles.hpp: crash-safe file replacement and the keeping of unreadable files, through Path
#pragma once

#include "glue/PyRef.hpp"

#include <array>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace tarvel::py {

// path.write_text(text[, encoding=...]) made crash-safe: the text is written
// beside `path` and renamed over it in one step, so a killed process leaves the
// old file or the new one, never a part of either, and a failed write leaves no
// temporary file. While the module's DURABLE_WRITES (in `globals`, read now)
// is true, the new file is flushed to stable storage before the rename and,
// on POSIX, its directory after it, so a power cut too leaves one whole file.
// Otherwise it does what the plain write does: it writes through a symbolic
// link, keeps the permission bits of the file it replaces, refuses a read-only
// file, and writes in place where the system refuses the rename (a directory
// the user cannot add to), putting the old bytes back if that write fails.
// A PermissionError of EACCES from the rename (Windows: another process holds
// the file open) is met by trying again over about a second before the write
// in place. Where the module's _MAX_PATH is set, the temporary file's full
// path stays below it (see max_path()).
// Errors name `path`, as the plain write's do. `text` may also be bytes,
// written as path.write_bytes(text) would write them.
void replace_file(PyObject* globals, PyObject* path, PyObject* text,
                  const char* encoding = nullptr);

// The value of a module's _MAX_PATH global: where full paths are limited (Windows' MAX_PATH,
// 260 with the closing NUL), replace_file gives its temporary file a short name when the usual
// one would reach the limit, and writes in place when even that would. None elsewhere.
Ref max_path();

// The module's DURABLE_WRITES global as a truth value, read at the moment of
// the call; a module without one writes durably.
bool durable_writes(PyObject* globals);

// The os.O_* flags named, or-ed together; those this system lacks are left out.
Ref os_flags(PyObject* os, std::initializer_list<const char*> names);

// Writes `text` to the descriptor as Path.write_text writes a file: text
// mode, the given encoding or the locale's, the platform's line ends; bytes
// as Path.write_bytes writes them. When `durable`, the bytes are flushed to
// stable storage before the file closes.
void write_descriptor(PyObject* os, PyObject* fd, PyObject* text, const char* encoding,
                      bool durable);

// path.parent; for a stock path (while Path.parent is pathlib's own) the same object as the last
// call gave when `path` is the same object again.
Ref parent_of(PyObject* path);

// Whether path.stat() would find no file at `path` (FileNotFoundError, NotADirectoryError), told
// with a system call while `path` is a stock path and Path.stat and os.stat are the original
// ones; false where Python must look.
bool missing_natively(PyObject* path);

// path.mkdir(parents=True, exist_ok=True), through the path's own method.
void make_dirs(PyObject* path);

// file_signature's tuple read with a system call while `path` is a stock path and Path.stat and
// os.stat are the original ones; nothing where Python must read it.
std::optional<Ref> signature_natively(PyObject* path);

// lock_beside's descriptor, the lock file opened and locked with system calls while `path` is a
// stock path and os.open and fcntl.flock are the original ones; nothing where Python must do it
// (and so meet whatever fails).
std::optional<Ref> lock_file_natively(PyObject* path, const char* suffix);

// path.exists(), where a name longer than the file system allows names no file
// (instead of raising on some Python versions and not on others).
bool exists(PyObject* path);

// Copies the bytes of `path` to "<name>.bad-<local time %Y%m%d-%H%M%S>" beside
// it ("-2", "-3", ... when taken), the time from the module's `datetime.now()`.
// Each of `companions` ("-wal", ...) found beside it as "<name><suffix>" is copied to "<copy's
// name><suffix>"; when one fails, no copy is left. Returns the copy's path.
Ref keep_copy(PyObject* globals, PyObject* path,
              std::initializer_list<const char*> companions = {});

// path.read_text(). While `path` is a stock pathlib path (its class and its
// read_text and open methods as pathlib made them), a file of plain ASCII text
// without carriage returns is read natively; any other file, and every failure,
// goes through path.read_text() itself, so texts and errors are Python's own.
Ref read_text(PyObject* path);

// What tells the present content of the file at `path` from any other, for reusing what was read
// from it: size, modification and change times, inode and device. Nothing while read_text would
// go through Python (see above), when the file cannot be looked at, or when it changed so lately
// that a rewrite within the same tick of the file system's clock could still go unseen.
std::optional<std::array<long long, 5>> file_identity(PyObject* path);
// The same for the file named `fs_name` (os.fsencode of its path), whose path is known stock.
std::optional<std::array<long long, 5>> file_identity_at(const char* fs_name);

// One file of a Listing: its name, the name as the file system spells it, and its identity (see
// file_identity) when the directory was read.
struct ListedFile {
    Ref name;
    std::string fs_name;
    std::optional<std::array<long long, 5>> identity;
};

// What sorted_glob(directory, suffix) finds, as the files' names and str(directory), while
// `directory` is a stock path and its files are read natively (see read_text); nothing otherwise.
struct Listing {
    Ref directory_text;
    std::string fs_directory;  // os.fsencode(str(directory))
    std::vector<ListedFile> files;
};
std::optional<Listing> stock_listing(PyObject* directory, const char* suffix);

// sorted(directory.glob("*" + suffix)), listed natively while `directory` is a
// stock pathlib path (and its glob method pathlib's own).
Ref sorted_glob(PyObject* directory, const char* suffix);

// keep_copy(), then logger.<level>("Kept a copy of the unreadable <what> as <copy>"),
// or "Failed to keep a copy of the unreadable <what>: <error>" when the copy fails. Returns the
// copy's path; a null Ref when the copy failed, with the error in `failure` when given.
Ref keep_unreadable(PyObject* globals, PyObject* path, const char* level, const char* what,
                    Ref* failure = nullptr, std::initializer_list<const char*> companions = {});

// Notes pathlib's own classes and methods, for the native paths above. Call at
// module import, before a host or test can patch them.
void remember_stock_paths();

}  // namespace tarvel::py
