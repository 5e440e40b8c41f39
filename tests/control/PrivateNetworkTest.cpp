// The rendering browser's own network, with a shell in the browser's place:
// its one way out is the listener made for it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "control/render/PrivateNetwork.h"

namespace {
int Port(int socket) {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  EXPECT_EQ(getsockname(socket, reinterpret_cast<sockaddr*>(&address), &size), 0);
  return ntohs(address.sin_port);
}
}  // namespace

TEST(PrivateNetwork, AProcessInsideReachesOnlyTheListenerMadeForIt) {
  // A UDP listener on this machine's loopback.
  int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  int ports[2];
  ASSERT_EQ(pipe2(ports, O_CLOEXEC), 0);
  const int portIn = fcntl(ports[0], F_DUPFD_CLOEXEC, 10);
  close(ports[0]);

  // The shell sends a datagram to that listener's port, then, once told the
  // port of its listener, the interfaces, routes and addresses it sees
  // through it.
  const std::vector<std::string> argv = {
      "/bin/bash", "-c",
      "echo lost >/dev/udp/127.0.0.1/" + std::to_string(Port(udp)) +
          "; read port <&3; { echo inside; cut -d: -f1 /proc/net/dev | tail -n +3 | tr -d ' '; "
          "echo routes; tail -n +2 /proc/net/route; grep -v ' lo$' /proc/net/if_inet6; echo end; } "
          ">/dev/tcp/127.0.0.1/$port"};
  SpawnOptions options;
  options.environment = {"PATH=/usr/bin:/bin"};
  options.fds = {ChildFd::Null(), ChildFd::Null(), ChildFd::Null(), ChildFd::Give(portIn)};
  PrivateNetwork network;
  pid_t pid = -1;
  std::string error;
  bool refused = false;
  const bool started = network.Spawn(argv, options, &pid, &error, &refused);
  close(portIn);
  if (refused) GTEST_SKIP() << error;  // (rendering is refused here, with that message)
  ASSERT_TRUE(started) << error;

  const int listener = network.Listen(&error);
  ASSERT_GE(listener, 0) << error;
  const std::string port = std::to_string(Port(listener)) + "\n";
  ASSERT_EQ(write(ports[1], port.data(), port.size()), static_cast<ssize_t>(port.size()));
  pollfd p{listener, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 20000), 1) << "nothing came through the listener";
  int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  std::string got;
  char chunk[256];
  for (ssize_t n; (p = {client, POLLIN, 0}, poll(&p, 1, 20000) == 1) && (n = read(client, chunk, sizeof chunk)) > 0;)
    got.append(chunk, static_cast<size_t>(n));
  // Loopback and the link that keeps pages from seeing offline, with no
  // route and no address on it.
  EXPECT_EQ(got, "inside\nlo\nkestrix0\nroutes\nend\n");
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  // Sent before the shell's connection, a datagram would be waiting by now.
  p = {udp, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0) << "a datagram from inside reached this machine's loopback";
  for (int fd : {udp, ports[1], listener, client}) close(fd);
}
