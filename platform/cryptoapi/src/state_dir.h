// The on-disk state: where it lives, how names become file names, atomic writes.
//
//   $CRYPTOAPI_HOME/providers                       optional provider list
//   $CRYPTOAPI_HOME/keys/<user|machine>/<provider>/<container>/{exchange,signature}.pem
//   $CRYPTOAPI_HOME/stores/<user|machine>/<STORE>/<NNNNNNNN>.der (+ .props)
#ifndef CRYPTOAPI_STATE_DIR_H
#define CRYPTOAPI_STATE_DIR_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace cryptoapi {

enum class Location { CurrentUser, LocalMachine };

// CRYPTOAPI_HOME, else $XDG_DATA_HOME/cryptoapi, else ~/.local/share/cryptoapi.
std::string state_home();
std::string location_dir_name(Location loc);

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
bool read_file(const std::string &path, std::string &out);
bool path_exists(const std::string &path);
bool is_dir(const std::string &path);
// Entry names of a folder, sorted, without "." and ".."; empty if it does not exist.
std::vector<std::string> list_dir(const std::string &path);
bool remove_tree(const std::string &path);

}  // namespace cryptoapi

#endif
