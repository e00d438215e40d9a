// cryptoapi-admin: manages the CryptoAPI stand-in's keys and certificate stores.
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "admin_support.h"
#include "commands.h"

namespace {

const char kUsage[] =
    "usage: cryptoapi-admin COMMAND [ARGS]\n"
    "\n"
    "  import-pfx FILE.p12 [--password PW] [--store NAME] [--machine] [--friendly-name NAME]\n"
    "             [--container NAME] [--provider NAME] [--key-spec exchange|signature]\n"
    "  add-cert FILE [--store NAME] [--machine] [--friendly-name NAME]\n"
    "           [--container NAME [--provider NAME] [--key-spec exchange|signature]]\n"
    "  new-key --container NAME [--provider NAME] [--algorithm rsa|dsa] [--bits N]\n"
    "          [--key-spec exchange|signature] [--machine] [--out FILE]\n"
    "  list providers\n"
    "  list containers [--provider NAME] [--machine]\n"
    "  list store NAME [--machine]\n"
    "  remove-cert --store NAME (--sha1 HEX | --subject TEXT) [--machine]\n"
    "  remove-container --container NAME [--provider NAME] [--machine]\n"
    "  help | -h | --help                 (also after a command)\n"
    "\n"
    "The state lives in $CRYPTOAPI_HOME (default $XDG_DATA_HOME/cryptoapi or\n"
    "~/.local/share/cryptoapi). The store defaults to MY, the location to the current user.\n";

struct Command {
    std::function<int(const admin::Arguments &)> run;
    std::set<std::string> valued;
};

}  // namespace

int main(int argc, char **argv) {
    const std::map<std::string, Command> commands = {
        {"import-pfx",
         {admin::import_pfx,
          {"password", "store", "friendly-name", "container", "provider", "key-spec"}}},
        {"add-cert", {admin::add_cert, {"store", "friendly-name", "container", "provider", "key-spec"}}},
        {"new-key", {admin::new_key, {"container", "provider", "algorithm", "bits", "key-spec", "out"}}},
        {"list", {admin::list, {"provider"}}},
        {"remove-cert", {admin::remove_cert, {"store", "sha1", "subject"}}},
        {"remove-container", {admin::remove_container, {"container", "provider"}}},
    };
    if (argc < 2 || std::strcmp(argv[1], "help") == 0 || std::strcmp(argv[1], "--help") == 0 ||
        std::strcmp(argv[1], "-h") == 0) {
        std::fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    auto it = commands.find(argv[1]);
    if (it == commands.end()) {
        std::fprintf(stderr, "cryptoapi-admin: unknown command \"%s\"\n\n%s", argv[1], kUsage);
        return 2;
    }
    admin::Arguments args;
    std::string error;
    if (!admin::parse_arguments(std::vector<std::string>(argv + 2, argv + argc), it->second.valued,
                                {"machine", "help"}, args, error)) {
        std::fprintf(stderr, "cryptoapi-admin %s: %s\n", argv[1], error.c_str());
        return 2;
    }
    if (args.flag("help")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    try {
        admin::prepare_state(args);
        return it->second.run(args);
    } catch (const admin::UsageError &u) {
        std::fprintf(stderr, "cryptoapi-admin %s: %s\n", argv[1], u.what());
        return 2;
    } catch (const admin::Failure &f) {
        std::fprintf(stderr, "cryptoapi-admin %s: %s\n", argv[1], f.what());
        return 1;
    }
}
