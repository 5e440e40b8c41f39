// A SOCKS5 proxy on 127.0.0.1 in the rendering browser's own network
// (PrivateNetwork.h) that the browser context of a job sends every
// connection through (pages, sub-resources, redirects, WebSockets), so that the
// network policy is applied where it holds: here the name is resolved and the
// address checked is the address then connected to. A browser's own checks
// before its connection (DevTools request interception, say) would look at a
// name that may resolve differently a moment later.
//
// Each client connection gets a thread (at most kMaxConnections at once; more
// are refused): SOCKS5 greeting without authentication, CONNECT to a name or
// address, resolution, the policy decision for each address in turn, then
// bytes relayed both ways until either side ends. Refusals are recorded so
// that the job can say what was refused.
#pragma once

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "control/site/NetworkPolicy.h"

class Socks5Server {
 public:
  static constexpr int kMaxConnections = 64;

  explicit Socks5Server(NetworkPolicy policy);
  ~Socks5Server();  // Stop()

  // Serves listener, a socket listening on 127.0.0.1 made in the browser's
  // own network namespace (PrivateNetwork.h), and closes it in the end;
  // connections go out from this process's network. False with a message
  // (listener -1: the message is the caller's, in *error).
  bool Start(int listener, std::string* error);
  // "socks5://127.0.0.1:PORT"
  std::string Address() const;
  // Closes the listener and every connection. A thread still waiting for a name
  // to resolve ends on its own afterwards, its connection already refused.
  void Stop();

  // What was refused so far, one line each ("127.0.0.1:8080: 127.0.0.1 is a loopback address ...").
  std::vector<std::string> Refusals() const;

 private:
  struct State;  // shared with the connection threads, which may outlive Stop()
  std::shared_ptr<State> m_state;
  static void Serve(std::shared_ptr<State> state, int client);
  std::thread m_acceptor;
  int m_port = 0;
};
