#include "shadow.h"

#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>

#include "child.h"
#include "process.h"
#include "session.h"
#include "trial/wire.h"

namespace trialhost {

namespace {

constexpr int kSocketFd = kChannel;

void Send(const std::string& frame) {
  // A host gone away ends the shadow at its next read.
  wire::WriteAll(kSocketFd, frame);
}

// A copy of this process whose parent is the host, as if the host had forked it: the
// host hears of its end from the kernel, at once, and nothing here stands between.
// The C library's fork would make this process the parent; a fork by system call
// leaves out what the library does around one (its handlers, its locks), which is
// nothing to leave out while one thread runs, as it does here whenever this is
// asked for (the host forks from the shadow only then).
pid_t ForkForHost() {
  std::fflush(nullptr);
  return static_cast<pid_t>(
      syscall(SYS_clone, CLONE_PARENT | SIGCHLD, nullptr, nullptr, nullptr, nullptr));
}

trial::ShadowState State() {
  return trial::ShadowState{ThreadCount()};
}

void Take(Session& session, const std::vector<trial::Action>& actions) {
  for (const trial::Action& action : actions) {
    session.Take(action);
    session.RunEvents();
  }
}

// Reads what has arrived, the descriptors sent along with it included.
bool Receive(wire::FrameReader& reader, std::deque<int>& fds) {
  char bytes[16384];
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 16)];
  iovec io{bytes, sizeof bytes};
  msghdr message{};
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t got = recvmsg(kSocketFd, &message, MSG_CMSG_CLOEXEC);
  if (got < 0 && errno == EINTR) return true;
  if (got <= 0) return false;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < count; ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
      fds.push_back(fd);
    }
  }
  reader.Feed(std::string_view(bytes, static_cast<std::size_t>(got)));
  return true;
}

int TakeFd(std::deque<int>& fds) {
  if (fds.empty()) return -1;
  const int fd = fds.front();
  fds.pop_front();
  return fd;
}

}  // namespace

std::uint32_t ThreadCount() {
  std::uint32_t count = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
  }
  return count;
}

bool SendWithDescriptors(int socket, const std::string& frame, const std::vector<int>& fds) {
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 16)] = {};
  iovec io{const_cast<char*>(frame.data()), frame.size()};
  msghdr message{};
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
  cmsghdr* c = CMSG_FIRSTHDR(&message);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
  std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
  // The descriptors travel with the first byte; the rest of a frame too long for one
  // call follows without them.
  ssize_t sent;
  while ((sent = sendmsg(socket, &message, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
  }
  if (sent < 0) return false;
  return wire::WriteAll(socket, std::string_view(frame).substr(static_cast<std::size_t>(sent)));
}

void RunShadow(int socket, const std::vector<trial::Action>& log, pid_t parent) {
  PrepareChild(parent);
  setpgid(0, 0);
  if (isolated) DropCapabilities();
  // What package code prints here is printed again by the workbench itself.
  ArrangeDescriptors(-1, -1, -1, {socket});
  // It tells nobody of its stages: it only repeats what has passed its trial.
  SilentReporter silent;
  Session session(silent);
  Take(session, log);
  Send(trial::Encode(trial::Kind::Committed, 0, State()));

  wire::FrameReader reader(64u << 20, 64u << 20);
  std::deque<int> fds;
  for (;;) {
    if (!Receive(reader, fds)) _exit(0);
    while (std::optional<wire::Frame> frame = reader.Next()) {
      if (frame->kind == static_cast<std::uint8_t>(trial::Kind::Commit)) {
        Take(session, trial::Decode<trial::CommitRequest>(*frame).actions);
        Send(trial::Encode(trial::Kind::Committed, frame->id, State()));
      } else if (frame->kind == static_cast<std::uint8_t>(trial::Kind::Spawn)) {
        const ChildEnds ends{TakeFd(fds), TakeFd(fds), TakeFd(fds)};
        const pid_t pid = ForkForHost();
        if (pid == 0) RunTrialChild(session, frame->id, ends, nullptr, parent);
        for (const int fd : {ends.request, ends.reports, ends.output}) close(fd);
        Send(trial::EncodeNumber(trial::Kind::Spawned, frame->id,
                                 static_cast<std::uint64_t>(pid > 0 ? pid : 0)));
      }
    }
  }
}

}  // namespace trialhost
