// Whole-file replacement for the files whose loss repeats or loses alarms (the
// states file, the outbox): a temporary file renamed over the old one, with a
// rewrite in place for the places where no rename is possible.
#pragma once

#include <string>

// How far a new content must be carried to the disk before the call returns.
enum class Durability {
    Replace,  // renamed into place; the kernel writes it back in its own time
    Sync,     // synced before the rename, and the directory synced after it
};

// Replaces the file at `path` (or, for a symbolic link, the file it points to)
// with `content`. The new content goes to "<path>.tmp" first, so a crash or a
// failed write leaves the previous file whole. Where the temporary file cannot
// be created or renamed (a directory without write permission, a file that is
// a bind mount), the file is rewritten in place instead. False with `error`
// set when neither worked.
bool replaceFile(const std::string& path, const std::string& content, Durability durability,
                 std::string* error);

// Writes all of `content` to the descriptor, resuming after short writes;
// false (errno set) when the file takes no more: disk full, size limit, I/O error.
bool writeAll(int fd, const std::string& content);

// Reads at most `limit` bytes of the file; false when it cannot be opened.
bool readWholeFile(const std::string& path, size_t limit, std::string* content);
