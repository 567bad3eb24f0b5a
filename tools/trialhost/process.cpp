#include "process.h"

#include <dirent.h>
#include <fcntl.h>
#include <link.h>
#include <linux/capability.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <set>
#include <vector>

namespace trialhost {

namespace {

// The sanitizers catch SIGSEGV and friends to print a report and then end the
// process their own way (an abort, an exit status): a child must die of the signal
// itself, so that it is told as what it is. The raw system call, because the
// sanitizers also stand in for sigaction.
void RestoreDefaultCrashSignals() {
  struct KernelSigaction {
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)();
    unsigned long mask;
  };
  for (const int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP}) {
    KernelSigaction action{SIG_DFL, 0, nullptr, 0};
    syscall(SYS_rt_sigaction, signal, &action, nullptr, sizeof action.mask);
  }
}

void WriteFile(const char* path, const char* text) {
  if (std::FILE* file = std::fopen(path, "w")) {
    std::fputs(text, file);
    std::fclose(file);
  }
}

}  // namespace

void PrepareChild(pid_t parent) {
  // A child never outlives the process that watches it.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(0);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);
  RestoreDefaultCrashSignals();
  // When memory runs out, the kernel ends a trial's process before the workbench's.
  WriteFile("/proc/self/oom_score_adj", "1000");
}

bool isolated = false;
pid_t hostPid = 0;

void DropCapabilities() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  syscall(SYS_capset, &header, data);
}

namespace {

std::set<int>& LibraryDescriptors() {
  static std::set<int> descriptors;
  return descriptors;
}

std::set<int> OpenDescriptors() {
  std::set<int> open;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') open.insert(std::atoi(entry->d_name));
    }
    closedir(dir);
  }
  return open;
}

}  // namespace

void KeepLibraryDescriptors() {
  for (const int fd : OpenDescriptors()) {
    if (fd > 2) LibraryDescriptors().insert(fd);
  }
}

void ArrangeDescriptors(int in, int out, int err, std::initializer_list<int> channels) {
  // Moved out of the way first: a wanted descriptor may sit where another goes.
  std::vector<int> moved;
  for (const int fd : {in, out, err}) moved.push_back(fd >= 0 ? dup(fd) : -1);
  std::vector<int> movedChannels;
  for (const int fd : channels) movedChannels.push_back(dup(fd));
  for (int target = 0; target < 3; ++target) {
    const int fd = moved[static_cast<std::size_t>(target)] >= 0
                       ? moved[static_cast<std::size_t>(target)]
                       : open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd >= 0) dup2(fd, target);
  }
  int target = kChannel;
  for (const int fd : movedChannels) dup2(fd, target++);
  for (const int fd : OpenDescriptors()) {
    if (fd > 2 && (fd < kChannel || fd >= target) && LibraryDescriptors().count(fd) == 0) {
      close(fd);
    }
  }
}

namespace {

void ReadPages(ElfW(Addr) from, ElfW(Addr) to) {
  unsigned sum = 0;
  for (ElfW(Addr) page = from & ~ElfW(Addr){4095}; page < to; page += 4096) {
    sum += *reinterpret_cast<const volatile unsigned char*>(page);
  }
  (void)sum;
}

// The tables a symbol lookup reads in one object: its hash table, symbols, versions
// and names, as its dynamic section gives them.
int ReadSymbolTables(dl_phdr_info* info, std::size_t, void*) {
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    if (info->dlpi_phdr[i].p_type != PT_DYNAMIC) continue;
    // The dynamic linker has relocated these in place, except in objects it mapped
    // itself without relocating (the vDSO): those are still offsets.
    const auto address = [info](ElfW(Addr) value) {
      return value != 0 && value < info->dlpi_addr ? value + info->dlpi_addr : value;
    };
    ElfW(Addr) strings = 0, stringsSize = 0, symbols = 0, hash = 0;
    const auto* dynamic =
        reinterpret_cast<const ElfW(Dyn)*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
    for (; dynamic->d_tag != DT_NULL; ++dynamic) {
      switch (dynamic->d_tag) {
        case DT_STRTAB:
          strings = address(dynamic->d_un.d_ptr);
          break;
        case DT_STRSZ:
          stringsSize = dynamic->d_un.d_val;
          break;
        case DT_SYMTAB:
          symbols = address(dynamic->d_un.d_ptr);
          break;
        case DT_GNU_HASH:
          hash = address(dynamic->d_un.d_ptr);
          break;
      }
    }
    if (strings == 0 || symbols == 0) continue;
    ReadPages(strings, strings + stringsSize);
    // The linkers lay out hash table, symbols and their versions, then the names.
    const ElfW(Addr) first = hash != 0 && hash < symbols ? hash : symbols;
    if (first < strings) ReadPages(first, strings);
  }
  return 0;
}

int HoldMapping(void* data) {
  const int* hold = static_cast<const int*>(data);
  close(hold[1]);
  char byte;
  // Ends when the last writer, the exiting process, has closed its files, which it
  // does after giving up its share of the mapping.
  while (read(hold[0], &byte, 1) < 0) {
  }
  syscall(SYS_exit, 0);
  return 0;
}

}  // namespace

void TouchLinkerTables() {
  dl_iterate_phdr(&ReadSymbolTables, nullptr);
  // Each object's record is written as libraries come and go: a byte of each page it
  // spans is written as it is.
  for (link_map* object = _r_debug.r_map; object != nullptr; object = object->l_next) {
    for (const std::size_t offset : {std::size_t{0}, sizeof(link_map), std::size_t{1024}}) {
      auto* byte = reinterpret_cast<volatile unsigned char*>(object) + offset;
      *byte = *byte;
    }
  }
}

void ExitAtOnce() {
  // A forked process's exit tears its mapping down before its parent hears of the
  // end, which takes long for a process with Qt mapped. Another process sharing the
  // mapping takes that work off the exit: the last one out tears it down.
  static int hold[2];
  static char stack[16384];
  if (pipe(hold) == 0) {
    clone(&HoldMapping, stack + sizeof stack, CLONE_VM, hold);
  }
  _exit(0);
}

}  // namespace trialhost
