#include "control/render/PrivateNetwork.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

// The children here run their work through Spawn's beforeExec and SpawnTask:
// in a copy of a threaded process, so only system calls; everything they need
// (texts, the report socket) is made before.

namespace {
// Where the child failed, for the message.
enum Step : int { kUnshare = 1, kUserMap, kLoopback, kEnter, kListen };

const char* StepText(int step) {
  switch (step) {
    case kUnshare: return "cannot make a network namespace for the rendering browser";
    case kUserMap: return "cannot map the user into the rendering browser's user namespace";
    case kLoopback: return "cannot bring up loopback in the rendering browser's network namespace";
    case kEnter: return "cannot enter the rendering browser's network namespace";
    case kListen: return "cannot listen in the rendering browser's network namespace";
    default: return "cannot start";
  }
}

// Writes text to a /proc file in one call (as the kernel wants maps written).
bool WriteProc(const char* path, const char* text) {
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t length = static_cast<ssize_t>(std::strlen(text));
  const bool ok = write(fd, text, static_cast<size_t>(length)) == length;
  close(fd);
  return ok;
}

bool LoopbackUp() {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return false;
  ifreq request{};
  std::memcpy(request.ifr_name, "lo", 3);
  bool ok = ioctl(s, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  ok = ok && ioctl(s, SIOCSIFFLAGS, &request) == 0;
  close(s);
  return ok;
}

// A link that makes the namespace look like a network to the browser:
// without an address besides loopback's it would tell pages they are offline
// (navigator.onLine false). It is a TUN device whose other end is held by the
// process outside and never read, with the one address 192.0.2.1/32 (set
// aside for documentation): no route leads to it (IPv6 is off on it, so not
// even a link-local one), and a connection to that address stays in the
// namespace. -1 where there is no TUN driver (pages then see offline).
int FakeLink() {
  int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  ifreq request{};
  std::memcpy(request.ifr_name, "kestrix0", 9);
  request.ifr_flags = IFF_TUN | IFF_NO_PI;
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  bool ok = s >= 0 && ioctl(fd, TUNSETIFF, &request) == 0;
  WriteProc("/proc/sys/net/ipv6/conf/kestrix0/disable_ipv6", "1");
  auto* address = reinterpret_cast<sockaddr_in*>(&request.ifr_addr);
  address->sin_family = AF_INET;
  address->sin_addr.s_addr = htonl(0xC0000201);  // 192.0.2.1
  ok = ok && ioctl(s, SIOCSIFADDR, &request) == 0;
  address->sin_addr.s_addr = htonl(0xFFFFFFFF);
  ok = ok && ioctl(s, SIOCSIFNETMASK, &request) == 0 && ioctl(s, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  ok = ok && ioctl(s, SIOCSIFFLAGS, &request) == 0;
  if (s >= 0) close(s);
  if (!ok) {
    close(fd);
    return -1;
  }
  return fd;
}

// What a child reports, {step, errno} (step 0: success), with a descriptor
// when fd is not -1.
bool Report(int socket, int step, int error, int fd) {
  int what[2] = {step, error};
  iovec data{what, sizeof what};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  if (fd >= 0) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
  }
  return sendmsg(socket, &message, MSG_NOSIGNAL) == sizeof what;
}

// One report; false at the end of them (the child exec'd or ended).
bool ReadReport(int socket, int what[2], int* fd) {
  iovec data{what, 2 * sizeof(int)};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t got;
  while ((got = recvmsg(socket, &message, MSG_CMSG_CLOEXEC | MSG_WAITALL)) < 0 && errno == EINTR) {
  }
  for (cmsghdr* h = CMSG_FIRSTHDR(&message); got > 0 && h; h = CMSG_NXTHDR(&message, h))
    if (h->cmsg_level == SOL_SOCKET && h->cmsg_type == SCM_RIGHTS) std::memcpy(fd, CMSG_DATA(h), sizeof(int));
  return got == 2 * sizeof(int);
}

// Reports {step, errno} and returns errno, which ends the child.
int Fail(int report, int step) {
  const int error = errno ? errno : EINVAL;
  Report(report, step, error, -1);
  return error;
}

// What the browser's child does before it starts the browser.
struct Namespace {
  bool root = false;
  std::string uidMap, gidMap;
  int report = -1;
};

// In the child: the network namespace (through a user namespace of its own
// unless root may make it directly), loopback up and the fake link, whose
// descriptor goes up the report socket.
int EnterNamespace(void* context) {
  const Namespace& ns = *static_cast<const Namespace*>(context);
  // Root makes the namespace directly; anyone else (or a root without the
  // right, in a container) in a user namespace of its own, mapped to itself.
  if (!ns.root || unshare(CLONE_NEWNET) != 0) {
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return Fail(ns.report, kUnshare);
    if (!WriteProc("/proc/self/setgroups", "deny") || !WriteProc("/proc/self/uid_map", ns.uidMap.c_str()) ||
        !WriteProc("/proc/self/gid_map", ns.gidMap.c_str()))
      return Fail(ns.report, kUserMap);
  }
  if (!LoopbackUp()) return Fail(ns.report, kLoopback);
  const int link = FakeLink();
  if (link >= 0) {
    Report(ns.report, 0, 0, link);
    close(link);
  }
  return 0;
}

// What the listening child does: enter the namespace, listen, hand the socket up.
struct Entry {
  int user = -1, net = -1, report = -1;
};

int ListenInside(void* context) {
  const Entry& entry = *static_cast<const Entry*>(context);
  if ((entry.user >= 0 && setns(entry.user, CLONE_NEWUSER) != 0) || setns(entry.net, CLONE_NEWNET) != 0)
    return Fail(entry.report, kEnter);
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 128) != 0)
    return Fail(entry.report, kListen);
  return Report(entry.report, 0, 0, s) ? 0 : 1;
}

bool SameNamespace(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}
}  // namespace

PrivateNetwork::~PrivateNetwork() {
  if (m_link >= 0) close(m_link);
  if (m_net >= 0) close(m_net);
  if (m_user >= 0) close(m_user);
}

bool PrivateNetwork::Spawn(const std::vector<std::string>& argv, SpawnOptions options, pid_t* pid,
                           std::string* error, bool* refused) {
  *pid = -1;
  *refused = false;
  int report[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, report) != 0) {
    *error = std::string("cannot create a socket pair: ") + std::strerror(errno);
    return false;
  }
  Namespace ns;
  ns.root = geteuid() == 0;
  ns.uidMap = std::to_string(geteuid()) + " " + std::to_string(geteuid()) + " 1\n";
  ns.gidMap = std::to_string(getegid()) + " " + std::to_string(getegid()) + " 1\n";
  ns.report = report[1];
  // Its own process group, so that every helper process it starts goes with it.
  options.detach = SpawnOptions::Detach::Group;
  options.defaultSignals = true;
  options.beforeExec = EnterNamespace;
  options.context = &ns;
  const pid_t child = ::Spawn(argv, options, error);
  close(report[1]);
  // Reports until the child's end closes (at the exec, or its end): the link, or a failure.
  int what[2] = {0, 0};
  while (ReadReport(report[0], what, &m_link) && what[0] == 0) {
  }
  close(report[0]);
  if (child < 0) {
    if (what[0] != 0) *error = std::string(StepText(what[0])) + ": " + std::strerror(what[1]);
    *refused = what[0] == kUnshare || what[0] == kUserMap || what[0] == kLoopback;
    if (*refused)
      *error += " (rendering needs a network namespace of its own, made through a user namespace for users other "
                "than root; the system forbids them: see sysctl user.max_user_namespaces, "
                "kernel.unprivileged_userns_clone and, on Ubuntu, kernel.apparmor_restrict_unprivileged_userns)";
    return false;
  }
  *pid = child;
  const std::string here = "/proc/" + std::to_string(child) + "/ns/";
  m_net = open((here + "net").c_str(), O_RDONLY | O_CLOEXEC);
  if (!SameNamespace(here + "user", "/proc/self/ns/user"))
    m_user = open((here + "user").c_str(), O_RDONLY | O_CLOEXEC);
  if (m_net < 0) {
    *error = argv[0] + " ended as soon as it started";
    return false;  // (the caller reaps it)
  }
  return true;
}

int PrivateNetwork::Listen(std::string* error) const {
  int pair[2];
  if (m_net < 0) {
    *error = "the rendering browser has no network namespace";
    return -1;
  }
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    *error = std::string("cannot create a socket pair: ") + std::strerror(errno);
    return -1;
  }
  // A thread may enter another network namespace, but only a process with a
  // single thread may enter a user namespace: a child does the work and hands
  // the socket back.
  Entry entry{m_user, m_net, pair[1]};
  const pid_t child = SpawnTask(ListenInside, &entry, error);
  close(pair[1]);
  if (child < 0) {
    close(pair[0]);
    return -1;
  }
  int what[2] = {kListen, 0};
  int fd = -1;
  ReadReport(pair[0], what, &fd);
  close(pair[0]);
  int status;
  waitpid(child, &status, 0);
  if (fd < 0)
    *error = std::string(StepText(what[0])) + ": " + (what[1] ? std::strerror(what[1]) : "the helper process failed");
  return fd;
}
