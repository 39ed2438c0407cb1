// native/tests/test_fs.cpp: tests of the raw file steps: temporary files, writes, listing, locks
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fs/TFiles.hpp"
#include "tests/check.hpp"

#ifdef TARVEL_FS_POSIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#endif

using namespace tarvel::fs;

namespace {

// ---- everywhere: names and settling --------------------------------------------------------

void test_temporary_names() {
    const std::string longest(kNameMax - 15, 'x');  // "." + name + ".12.3.tmp" is 10 more
    struct Case {
        std::string name, pid, n, expected;
    } cases[] = {
        {"state.json", "42", "7", ".state.json.42.7.tmp"},
        {"a", "1", "1", ".a.1.1.tmp"},
        {longest, "12", "3", "." + longest + ".12.3.tmp"},
        {longest + "xxxxxx", "12", "3", ".tarvel-12-3.tmp"},
        {std::string(kNameMax, 'y'), "99999", "123456", ".tarvel-99999-123456.tmp"},
    };
    for (const Case& c : cases) {
        const std::string got = temporary_name(c.name, c.pid, c.n);
        CHECK(got == c.expected, got);
        CHECK(got.size() <= kNameMax, got);
    }
    const unsigned long first = next_temporary_number();
    CHECK(next_temporary_number() == first + 1, "numbers count up");
}

void test_settled_identity() {
    constexpr long long kSecond = 1'000'000'000;
    struct Case {
        long long modified, changed, now;
        bool settled;
    } cases[] = {
        {10 * kSecond, 10 * kSecond, 11 * kSecond, true},
        {10 * kSecond, 10 * kSecond, 10 * kSecond + 99'999'999, false},
        {10 * kSecond, 10 * kSecond, 10 * kSecond + 100'000'000, true},
        {10 * kSecond, 12 * kSecond, 11 * kSecond, false},  // the later of the two times counts
        {12 * kSecond, 10 * kSecond, 12 * kSecond + 50'000'000, false},
    };
    for (const Case& c : cases) {
        const Identity identity{7, c.modified, c.changed, 3, 1};
        const auto got = settled_identity(identity, c.now);
        CHECK(got.has_value() == c.settled, std::to_string(c.now));
        if (got) CHECK(*got == identity, "the identity is handed back as it is");
    }
}

#ifdef TARVEL_FS_POSIX

// ---- POSIX: the system calls ---------------------------------------------------------------

// A fresh directory under the system's temporary one, ending in "/".
std::string fresh_directory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/tarvel-fs-XXXXXX";
    const char* made = ::mkdtemp(pattern.data());
    if (made == nullptr) {
        std::perror("mkdtemp");
        std::exit(2);
    }
    return pattern + "/";
}

bool present(const std::string& name) {
    struct stat info{};
    return ::lstat(name.c_str(), &info) == 0;
}

std::string content_of(const std::string& name) {
    std::string content;
    return read_whole(name, content) == 0 ? content : "<unreadable>";
}

void put(const std::string& name, const std::string& content) {
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    CHECK(fd >= 0 && write_and_close(fd, content, false) == 0, name);
}

bool always(const std::string&) {
    return true;
}

void test_temporary_file_is_exclusive(const std::string& root) {
    // A file and a link already at the next names are skipped, never reused or followed.
    const std::string pid = std::to_string(::getpid());
    const unsigned long n = next_temporary_number();
    const std::string taken = root + temporary_name("target", pid, std::to_string(n + 1));
    const std::string linked = root + temporary_name("target", pid, std::to_string(n + 2));
    put(taken, "someone's");
    CHECK(::symlink((root + "elsewhere").c_str(), linked.c_str()) == 0, linked);
    std::vector<std::string> tried;
    {
        TemporaryFile temp;
        const int fd = temp.create(root, "target", [&](const std::string& name) {
            tried.push_back(name);
            return true;
        });
        CHECK(fd >= 0, "created past two taken names");
        CHECK(tried.size() == 3 && tried[0] == taken && tried[1] == linked, "the names tried");
        CHECK(temp.name() == tried.back(), temp.name());
        CHECK(write_and_close(fd, "new", false) == 0, "written");
        CHECK(content_of(temp.name()) == "new", temp.name());
    }
    CHECK(content_of(taken) == "someone's", "a file already there is left alone");
    CHECK(!present(root + "elsewhere"), "a link already there is not followed");
    CHECK(tried.size() == 3 && !present(tried.back()), "the temporary file is removed unkept");
}

void test_temporary_file_refused(const std::string& root) {
    TemporaryFile temp;
    std::string asked;
    const int fd = temp.create(root, "refused", [&](const std::string& name) {
        asked = name;
        return false;
    });
    CHECK(fd == -ECANCELED, std::to_string(fd));
    CHECK(temp.name().empty() && !asked.empty() && !present(asked), "nothing made");
    TemporaryFile nowhere;
    CHECK(nowhere.create(root + "missing/", "x", always) == -ENOENT, "a missing directory");
    CHECK(nowhere.name().empty(), "nothing to remove");
}

void test_write_flush_rename(const std::string& root) {
    const std::string target = root + "state.json";
    put(target, "old");
    CHECK(::chmod(target.c_str(), 0640) == 0, target);
    const auto found = writable_target(target);
    CHECK(found && found->existing && found->mode == 0640, "the target");
    CHECK(found && found->directory == root && found->name == "state.json", target);
    std::string temp_name;
    for (const bool durable : {false, true}) {
        TemporaryFile temp;
        const int fd = temp.create(found->directory, found->name, always);
        temp_name = temp.name();
        const std::string text = durable ? "durable text\n" : std::string(1 << 20, 'z');
        CHECK(fd >= 0 && write_and_close(fd, text, durable) == 0, "written and flushed");
        CHECK(set_mode(temp.name().c_str(), found->mode) == 0, "mode set");
        CHECK(rename_file(temp.name().c_str(), target.c_str()) == 0, "renamed");
        temp.keep();
        flush_directory(directory_name(found->directory));
        CHECK(content_of(target) == text, "the new content");
        struct stat info{};
        CHECK(::stat(target.c_str(), &info) == 0 && (info.st_mode & 07777) == 0640, "mode kept");
    }
    CHECK(!present(temp_name), "the kept temporary file is the target now");
    CHECK(write_and_close(-1, "x", false) == EBADF, "a bad descriptor");
    CHECK(rename_file((root + "none").c_str(), target.c_str()) == ENOENT, "nothing to rename");
}

void test_directory_names() {
    const std::pair<std::string, std::string> cases[] = {
        {"", "."}, {"/", "/"}, {"a/", "a"}, {"a/b/", "a/b"}, {"/x/y/", "/x/y"}};
    for (const auto& [directory, expected] : cases)
        CHECK(directory_name(directory) == expected, directory);
    flush_directory("/nonexistent-directory/of/tarvel");  // ignored, as the header says
}

void test_writable_targets(const std::string& root) {
    put(root + "plain", "x");
    CHECK(::mkdir((root + "folder").c_str(), 0755) == 0, "folder");
    CHECK(::symlink("plain", (root + "link").c_str()) == 0, "link");
    struct Case {
        std::string path;
        bool usable, existing;
    } cases[] = {
        {root + "plain", true, true},     {root + "new", true, false},
        {root + "folder", false, false},  {root + "link", false, false},
        {root + "folder/", false, false}, {root + "missing/new", true, false},  // met at creation
        {"relative-name", true, false},
    };
    for (const Case& c : cases) {
        const auto got = writable_target(c.path);
        CHECK(got.has_value() == c.usable, c.path);
        if (got) CHECK(got->existing == c.existing && got->directory + got->name == c.path, c.path);
    }
    if (::geteuid() != 0) {  // root may write anything
        CHECK(::chmod((root + "plain").c_str(), 0444) == 0, "read-only");
        CHECK(!writable_target(root + "plain"), "a file the user may not write");
    }
}

void test_directory_reading(const std::string& root) {
    const std::string directory = root + "skills/";
    CHECK(make_directory(directory.c_str()) == 0, directory);
    for (const std::string name : {".json", ".tmp", "a.json", "b.json", "c.txt", "d.json.tmp"})
        put(directory + name, "{" + name + "}");
    CHECK(make_directory((directory + "sub.json").c_str()) == 0, "a directory with the suffix");
    std::vector<Entry> entries;
    CHECK(read_directory(directory.c_str(), ".json", false, entries) == 0, "read");
    std::vector<std::string> names;
    for (const Entry& entry : entries)
        names.push_back(entry.name);
    std::sort(names.begin(), names.end());
    const std::vector<std::string> expected{".json", "a.json", "b.json", "sub.json"};
    CHECK(names == expected, std::to_string(names.size()));
    for (const Entry& entry : entries)
        CHECK(!entry.identity, "no identities asked");
    // Identities are read once the files' times have settled (see settled_identity).
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    entries.clear();
    CHECK(read_directory(directory.c_str(), ".json", true, entries) == 0, "read again");
    for (const Entry& entry : entries) {
        struct stat info{};
        CHECK(::stat((directory + entry.name).c_str(), &info) == 0, entry.name);
        if (S_ISDIR(info.st_mode)) {
            CHECK(!entry.identity, entry.name);
            continue;
        }
        CHECK(entry.identity && (*entry.identity)[0] == static_cast<long long>(info.st_size) &&
                  (*entry.identity)[3] == static_cast<long long>(info.st_ino) &&
                  (*entry.identity)[4] == static_cast<long long>(info.st_dev),
              entry.name);
        CHECK(file_identity((directory + entry.name).c_str()) == entry.identity, entry.name);
    }
    CHECK(entries.size() == 4, "the same entries");
    entries.clear();
    CHECK(read_directory((root + "none").c_str(), "", false, entries) == ENOENT, "no directory");
    CHECK(entries.empty(), "nothing listed");
}

void test_reading_and_status(const std::string& root) {
    const std::string name = root + "read.txt";
    put(name, "line one\nline two\n");
    std::string content;
    CHECK(read_whole(name, content) == 0 && content == "line one\nline two\n", content);
    CHECK(read_whole(root + "absent", content) == ENOENT, "no file");
    CHECK(read_whole(root, content) == EINVAL, "a directory is no regular file");
    std::string sized;
    const auto room = [&sized](std::size_t size) {
        sized.assign(size, '?');
        return sized.data();
    };
    CHECK(read_sized(name, room) == 0 && sized == "line one\nline two\n", sized);
    CHECK(read_sized(root + "absent", room) == ENOENT, "no file, sized");
    CHECK(read_sized(root, room) == EINVAL, "a directory, sized");
    CHECK(read_sized(name, [](std::size_t) -> char* { return nullptr; }) == ENOMEM, "no room");
    CHECK(status(name.c_str()) == 0 && status((root + "absent").c_str()) == ENOENT, "status");
    CHECK(status((name + "/below").c_str()) == ENOTDIR, "below a file");
    Signature signature;
    CHECK(read_signature(name.c_str(), signature) == 0 && signature.size == 18, "signature");
    CHECK(read_signature((root + "absent").c_str(), signature) == ENOENT, "no signature");
}

void test_make_directory(const std::string& root) {
    const std::string made = root + "made";
    CHECK(make_directory(made.c_str()) == 0, "made");
    CHECK(make_directory(made.c_str()) == 0, "a directory already there");
    put(root + "file", "x");
    CHECK(make_directory((root + "file").c_str()) == EEXIST, "a file already there");
    CHECK(make_directory((root + "no/parent").c_str()) == ENOENT, "no parent");
}

void test_lock_files(const std::string& root) {
    const std::string name = root + "state.json.lock";
    const int first = open_lock_file(name.c_str());
    const int second = open_lock_file(name.c_str());
    CHECK(first >= 0 && second >= 0 && present(name), "opened twice, made once");
    CHECK(lock(first, true) == 0, "locked");
    CHECK(lock(first, false) == 0, "locked again by its holder");
    const int busy = lock(second, false);
    CHECK(busy == EWOULDBLOCK || busy == EAGAIN, std::to_string(busy));
    CHECK(close_file(first) == 0, "closing lets go");
    CHECK(lock(second, false) == 0, "free again");
    CHECK(close_file(second) == 0 && close_file(second) == EBADF, "closed");
    CHECK(::symlink(name.c_str(), (root + "linked.lock").c_str()) == 0, "link");
    CHECK(open_lock_file((root + "linked.lock").c_str()) == -ELOOP, "a link is never followed");
    CHECK(open_lock_file((root + "none/x.lock").c_str()) == -ENOENT, "no directory");
}

#endif

}  // namespace

int main() {
    test_temporary_names();
    test_settled_identity();
#ifdef TARVEL_FS_POSIX
    const std::string root = fresh_directory();
    test_temporary_file_is_exclusive(root);
    test_temporary_file_refused(root);
    test_write_flush_rename(root);
    test_directory_names();
    test_writable_targets(root);
    test_directory_reading(root);
    test_reading_and_status(root);
    test_make_directory(root);
    test_lock_files(root);
    const std::string remove = "rm -rf '" + root + "'";
    if (std::system(remove.c_str()) != 0) std::printf("could not remove %s\n", root.c_str());
#else
    std::printf("the system calls' tests are POSIX-only: skipped\n");
#endif
    return tarvel::testing::summary();
}
