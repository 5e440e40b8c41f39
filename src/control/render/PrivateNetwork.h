// A network of its own for the rendering browser: a fresh network namespace
// that holds loopback and a link that leads nowhere. Nothing a page does there
// reaches this machine's services or any other network, over TCP or UDP
// (WebRTC's STUN, say), whatever the browser's own settings say: its one way
// out is the policy proxy, whose listening socket is made inside the
// namespace (Listen) and served by this process outside it, which connects
// from the real network after the policy has decided.
//
// Root (the CI machine) creates the namespace directly; other users (and a
// root that may not, in a container) through a user namespace of their own,
// which Debian allows unprivileged users by default. Where neither is allowed
// (kernel.unprivileged_userns_clone=0, Ubuntu's AppArmor restriction of user
// namespaces, a container's seccomp filter), Spawn fails and says so:
// rendering is refused rather than done with a way out that bypasses the
// policy.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "control/base/Spawn.h"

class PrivateNetwork {
 public:
  PrivateNetwork() = default;
  ~PrivateNetwork();
  PrivateNetwork(const PrivateNetwork&) = delete;
  PrivateNetwork& operator=(const PrivateNetwork&) = delete;

  // Starts argv[0] with Spawn (options: its descriptors and environment),
  // in a process group of its own (its id is *pid), in a fresh network
  // namespace with only loopback up (and a link that leads nowhere, so that
  // pages are not told they are offline), with no signal blocked and the
  // usual ones at their defaults. False with a message when the namespace
  // cannot be made (*refused true; nothing was started) or the program
  // cannot be run (*pid -1) or ended at once (*pid is the caller's to reap).
  bool Spawn(const std::vector<std::string>& argv, SpawnOptions options, pid_t* pid, std::string* error,
             bool* refused);

  // A TCP socket listening on 127.0.0.1 (a free port) inside the namespace of
  // the process Spawn started; the caller's to close. -1 with a message.
  int Listen(std::string* error) const;

 private:
  int m_net = -1;   // the namespace, for Listen
  int m_user = -1;  // its user namespace, when it is not this process's own
  int m_link = -1;  // the far end of the link that keeps pages from seeing offline
};
