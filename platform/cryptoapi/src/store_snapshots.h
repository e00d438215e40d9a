// Store folders and certificate files read recently, kept in memory for the life of the
// process, so that opening a store that has not changed since costs one stat of its
// folder instead of reading its stamp and index again, and a certificate read before
// costs one stat of its file instead of reading it.
//
// What is kept is used only while stat tells exactly what it told when it was read
// (device, inode, size, modification and change times), and is kept only if those times
// were old enough then that a later change cannot carry the same ones (file times come
// from a clock that may lag by a tick). A store changes only by files added, replaced
// (renamed into place) or removed in its folder, each of which gives the folder new
// times; a chmod, chown or rename of the folder gives it a new change time or inode; a
// certificate file rewritten in place gets new times of its own.
#ifndef CRYPTOAPI_STORE_SNAPSHOTS_H
#define CRYPTOAPI_STORE_SNAPSHOTS_H

#include <sys/stat.h>
#include <time.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "cert_store.h"

namespace cryptoapi {

// What stat told of a path, and the time taken just before it.
struct FileLook {
    bool found = false;
    struct stat st {};
    struct timespec before {};
};
// With `follow` false a symbolic link at `path` is seen as the link (lstat).
FileLook look_at(const std::string &path, bool follow = true);

// Whether a change made after `now` is sure to give a file a time other than `time`:
// file times come from a clock that may lag by a tick, and some file systems keep whole
// seconds only.
bool settled(const struct timespec &now, const struct timespec &time);

// The index log of the store folder `dir` as this process read it before (whole, and
// checked then), if `look` (taken now) shows the folder unchanged since.
std::shared_ptr<const IndexText> recall_store_log(const std::string &dir, const FileLook &look);
// Keeps the index log of a store just read and found to describe the folder as `look`
// shows it. The text is shared, not copied: it is never changed once read.
void remember_store(const std::string &dir, const FileLook &look, std::shared_ptr<const IndexText> log);
// Drops what is kept of the store (before this process changes it).
void forget_store(const std::string &dir);

// The bytes of the certificate file `path`, if they were read before, their SHA-1 was
// `sha1` and the file is unchanged since.
bool recall_certificate(const std::string &path, const std::array<BYTE, 20> &sha1, std::vector<BYTE> &der);
// Keeps the bytes of a certificate file read just after `before` (its stat, taken on the
// open file before the read) at time `now` (taken before that).
void remember_certificate(const std::string &path, const struct timespec &now, const struct stat &before,
                          const std::array<BYTE, 20> &sha1, const std::vector<BYTE> &der);

// Forgets every store and certificate (tests that change index files behind the library's
// back, and want the next open to read them).
void forget_all_stores();

}  // namespace cryptoapi

#endif
