#pragma once

#include <sys/types.h>

#include <string>

namespace trial::detail {

// Starts the host program with `socket` as its standard input. With `isolate`, in a
// user, process and mount namespace of its own, with its own /proc, where the kernel
// allows it: the host is then the first process there, and its trial children can
// neither see nor signal anything outside. `isolation` says which it got and, when
// not isolated, why. -1 with `error` set when it cannot be started at all.
pid_t SpawnHost(const std::string& path, int socket, bool isolate, std::string& isolation,
                std::string& error);

}  // namespace trial::detail
