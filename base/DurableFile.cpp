// Whole-file replacement through a temporary file and rename, with a rewrite
// in place where the directory or a mount forbids the rename.
#include "base/DurableFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "base/ErrorText.h"

namespace {

// A link is replaced at the place it points to, so it stays a link.
std::string resolveLink(const std::string& path) {
    struct stat status {};
    char resolved[PATH_MAX];
    if (lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode) && realpath(path.c_str(), resolved))
        return resolved;
    return path;
}

bool fail(std::string* error, int code) {
    if (error) *error = errorText(code);
    return false;
}

// The rename alone is atomic but not durable: without the directory sync a
// power cut can bring back the old name's content.
void syncDirectory(const std::string& path) {
    int fd = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

enum class Outcome { Done, CannotPlace, WriteFailed };

// Temporary file beside the target, then rename. CannotPlace means the route
// itself is closed here (no temporary file, no rename), not that data failed.
Outcome replaceByRename(const std::string& path, const std::string& content, Durability durability,
                        mode_t mode, int* code) {
    std::string temporary = path + ".tmp";
    ::unlink(temporary.c_str());  // left behind by a run that died while writing
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        *code = errno;
        return Outcome::CannotPlace;
    }
    // The mode is set, not inherited from the file replaced, and not narrowed by
    // the service's umask: a file once written 0600 would otherwise stay closed
    // to the group the operators read it with, however its directory is set up.
    ::fchmod(fd, mode);
    bool ok = writeAll(fd, content) && (durability == Durability::Replace || ::fsync(fd) == 0);
    if (!ok) *code = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        *code = errno;
    }
    if (!ok) {
        ::unlink(temporary.c_str());
        return Outcome::WriteFailed;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        *code = errno;
        ::unlink(temporary.c_str());
        return Outcome::CannotPlace;
    }
    if (durability == Durability::Sync) syncDirectory(path);
    return Outcome::Done;
}

// Truncate, write, sync: not atomic, so it is only the way out where no
// temporary file can be placed beside the target.
bool rewriteInPlace(const std::string& path, const std::string& content, int* code) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        *code = errno;
        return false;
    }
    bool ok =
        writeAll(fd, content) && ::ftruncate(fd, static_cast<off_t>(content.size())) == 0 && ::fsync(fd) == 0;
    if (!ok) *code = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        *code = errno;
    }
    return ok;
}

}  // namespace

bool appendToFile(const std::string& path, const std::string& content, std::string* error) {
    std::string target = resolveLink(path);
    int fd = ::open(target.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return fail(error, errno);
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        int code = errno;
        ::close(fd);
        return fail(error, code);
    }
    bool ok = writeAll(fd, content) && ::fdatasync(fd) == 0;
    int code = errno;
    // A part of a record at the end would read as damage, or worse as a
    // shorter record: what the failed append left is cut off again.
    if (!ok && ::ftruncate(fd, status.st_size) == 0) ::fdatasync(fd);
    ::close(fd);
    return ok || fail(error, code);
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool identityOf(const std::string& path, FileIdentity* identity) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return false;
    auto ns = [](const struct timespec& t) {
        return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
    };
    identity->inode = static_cast<uint64_t>(status.st_ino);
    identity->size = static_cast<int64_t>(status.st_size);
    identity->modifiedNs = ns(status.st_mtim);
    identity->changedNs = ns(status.st_ctim);
    return true;
}

bool writeAll(int fd, const std::string& content) {
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool replaceFile(const std::string& path, const std::string& content, Durability durability,
                 std::string* error) {
    std::string target = resolveLink(path);
    struct stat status {};
    if (::stat(target.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return fail(error, EISDIR);
    int code = 0;
    Outcome outcome = replaceByRename(target, content, durability, kGroupReadableMode, &code);
    if (outcome == Outcome::Done) return true;
    // A write that failed (full disk, I/O error) would fail in place as well and
    // then damage the old file; only a closed route is worth the second way.
    if (outcome == Outcome::WriteFailed) return fail(error, code);
    if (rewriteInPlace(target, content, &code)) return true;
    return fail(error, code);
}

bool replaceFileByRename(const std::string& path, const std::string& content, mode_t mode,
                         std::string* error) {
    std::string target = resolveLink(path);
    int code = 0;
    if (replaceByRename(target, content, Durability::Replace, mode, &code) == Outcome::Done) return true;
    return fail(error, code);
}

bool readWholeFile(const std::string& path, size_t limit, std::string* content) {
    content->clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
        int code = S_ISDIR(status.st_mode) ? EISDIR : errno;
        ::close(fd);
        errno = code;
        return false;
    }
    char buffer[16384];
    while (content->size() < limit) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        content->append(buffer, std::min(static_cast<size_t>(n), limit - content->size()));
    }
    ::close(fd);
    return true;
}
