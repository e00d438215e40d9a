// The administration commands; each returns the exit status or throws Failure.
#ifndef CRYPTOAPI_ADMIN_COMMANDS_H
#define CRYPTOAPI_ADMIN_COMMANDS_H

#include "arguments.h"

namespace admin {

int import_pfx(const Arguments &args);
int add_cert(const Arguments &args);
int remove_cert(const Arguments &args);
int new_key(const Arguments &args);
int remove_container(const Arguments &args);
int list(const Arguments &args);

}  // namespace admin

#endif
