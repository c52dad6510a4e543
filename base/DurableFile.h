// Whole-file replacement for the files whose loss repeats or loses alarms (the
// states file, the outbox): a temporary file renamed over the old one, with a
// rewrite in place for the places where no rename is possible.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

// The mode of every file replaced whole: the owner writes, the group reads
// (the operators' group reads the states and the outbox), others nothing.
constexpr mode_t kGroupReadableMode = 0640;

// How far a new content must be carried to the disk before the call returns.
enum class Durability {
    Replace,  // renamed into place; the kernel writes it back in its own time
    Sync,     // synced before the rename, and the directory synced after it
};

// Replaces the file at `path` (or, for a symbolic link, the file it points to)
// with `content`. The new content goes to "<path>.tmp" first, so a crash or a
// failed write leaves the previous file whole. Where the temporary file cannot
// be created or renamed (a directory without write permission, a file that is
// a bind mount), the file is rewritten in place instead. A file placed by the
// rename has kGroupReadableMode; one rewritten in place keeps its mode. False
// with `error` set when neither worked.
bool replaceFile(const std::string& path, const std::string& content, Durability durability,
                 std::string* error);

// As replaceFile, but only by the temporary file and the rename, never in
// place: for a file another program may read at any moment, which must see
// the old content or the new, never a part. The temporary file is
// "<path>.tmp", a name a reader of "*.prom" files passes over. The file gets
// `mode` whatever the umask.
bool replaceFileByRename(const std::string& path, const std::string& content, mode_t mode,
                         std::string* error);

// Appends `content` to the existing file at `path` and syncs its data: one
// synced write where a rewrite costs a temporary file, its sync and the
// directory's. A failed append is cut back off, so the file holds what it held
// before. False with `error` set when the file is missing or takes no more.
bool appendToFile(const std::string& path, const std::string& content, std::string* error);

// Writes all of `content` to the descriptor, resuming after short writes;
// false (errno set) when the file takes no more: disk full, size limit, I/O error.
bool writeAll(int fd, const std::string& content);

// What tells that a file changed without reading it: its identity, size and
// the times of its last write and last status change.
struct FileIdentity {
    uint64_t inode = 0;
    int64_t size = -1;
    int64_t modifiedNs = 0;
    int64_t changedNs = 0;
    bool operator==(const FileIdentity& other) const {
        return inode == other.inode && size == other.size && modifiedNs == other.modifiedNs &&
               changedNs == other.changedNs;
    }
    bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};

// False when the file's status cannot be taken (it does not exist).
bool identityOf(const std::string& path, FileIdentity* identity);

// The directory part of a path ("." for a bare name).
std::string directoryOf(const std::string& path);

// Reads at most `limit` bytes of the file; false (errno set) when it cannot be
// opened or is a directory.
bool readWholeFile(const std::string& path, size_t limit, std::string* content);
