// Loads one package as the workbench does, in a process of its own, and says what
// came of it: "loaded" and the path of every object the load mapped, or
// "refused: <message>". It runs the package's code: the test table only hands it
// packages built for the tests. What the real loader and dynamic linker do here
// is the oracle pkginfo --check is held against.

#include <link.h>

#include <cstdio>
#include <set>
#include <string>

#include "rtl/package.h"
#include "rtl/sysutils.h"

namespace {

std::set<std::string> MappedObjects() {
  std::set<std::string> names;
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* out) {
        if (info->dlpi_name != nullptr && info->dlpi_name[0] != '\0') {
          static_cast<std::set<std::string>*>(out)->insert(info->dlpi_name);
        }
        return 0;
      },
      &names);
  return names;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: load_probe PACKAGE\n");
    return 2;
  }
  const std::set<std::string> before = MappedObjects();
  try {
    rtl::LoadPackage(argv[1]);
  } catch (const rtl::Exception& e) {
    std::printf("refused: %s\n", e.Message().c_str());
    return 1;
  }
  std::printf("loaded\n");
  for (const std::string& name : MappedObjects()) {
    if (before.count(name) == 0) std::printf("%s\n", name.c_str());
  }
  return 0;
}
