// The on-disk state: where it lives, how names become file names, atomic writes.
//
//   $CRYPTOAPI_HOME/providers                       optional provider list
//   $CRYPTOAPI_HOME/keys/<user|machine>/@<family>/<container>/{exchange,signature}.pem
//   $CRYPTOAPI_HOME/stores/<user|machine>/<STORE>/<NNNNNNNN>.der (+ .props)
//   $CRYPTOAPI_HOME/pending/<id>/                   an import not yet finished
#ifndef CRYPTOAPI_STATE_DIR_H
#define CRYPTOAPI_STATE_DIR_H

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace cryptoapi {

enum class Location { CurrentUser, LocalMachine };

// CRYPTOAPI_HOME, else $XDG_DATA_HOME/cryptoapi, else ~/.local/share/cryptoapi.
std::string state_home();
std::string location_dir_name(Location loc);

// Whether the state folder may be trusted: it and every folder below it on the way to
// `path` (those that exist) must be owned by this user (or root) and not writable by
// group or others (files on the way too), or another local user could plant keys or certificates. Empty when
// safe; otherwise a message naming the folder.
// `seen`, if given, is the lstat the caller has just taken of the folder `seen_path` on
// the way, which the walk then uses instead of taking it again.
std::string unsafe_state_folder(const std::string &path, const std::string &seen_path = {},
                                const struct stat *seen = nullptr);
// true (and the reason on stderr, once) when unsafe_state_folder finds a fault.
bool refuse_unsafe_state(const std::string &path, const std::string &seen_path = {},
                         const struct stat *seen = nullptr);

// A name as one safe path component: [A-Za-z0-9_-] and inner dots stay, every other
// byte becomes %XX, so names are reversible and can never climb out of their folder.
std::string encode_name(const std::string &name);
bool decode_name(const std::string &component, std::string &name);

// mkdir -p with private permissions (0700) for every folder it creates.
bool ensure_dir(const std::string &path);
// Writes a file by temporary file and rename, so readers see the old or the new content.
bool write_file_atomic(const std::string &path, const std::string &data, mode_t mode);
// Like write_file_atomic, but fails (EEXIST in errno) when `path` already exists.
bool write_file_exclusive(const std::string &path, const std::string &data, mode_t mode);
// The readers open with O_NONBLOCK: a FIFO found where a file of the state should be
// reads as empty instead of holding the caller until someone writes to it.
bool read_file(const std::string &path, std::string &out);
// The same in as few system calls as can be (open, read, close) for a file that is
// expected to hold `expected` bytes: a read that does not fill its buffer, which on a
// regular file happens only at its end, ends it. Any size is still read whole.
// `before`, if given, receives the file's stat taken before the read.
bool read_file_expecting(const std::string &path, size_t expected, std::string &out,
                         struct stat *before = nullptr);
// Writes a file the user named (not one of the state's own): through a temporary file
// and a rename when `path` is absent or a regular file, so readers never see half of
// it; otherwise (a symlink, a device, a FIFO) into what the path names, so that e.g.
// /dev/null stays the device. Refuses what is neither a regular file, a character
// device nor a FIFO (errno EINVAL).
bool write_output_file(const std::string &path, const std::string &data, mode_t mode);

// A point at which a test may have the process killed (CRYPTOAPI_CRASH_AT=N kills it
// with SIGKILL at the Nth point reached), so that crash safety can be tested step by step.
void crash_point();
bool path_exists(const std::string &path);
bool is_dir(const std::string &path);
// Entry names of a folder, sorted, without "." and ".."; empty if it does not exist.
std::vector<std::string> list_dir(const std::string &path);
bool remove_tree(const std::string &path);

}  // namespace cryptoapi

#endif
