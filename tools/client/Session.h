// One session with the host: starts it with pipes on its standard input and
// output, sends requests as frames, answers its pings, and prints every
// message it sends back, decoded, one per line.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct ClientOptions {
  std::vector<std::string> command;   // the host and its arguments
  std::vector<std::string> requests;  // from the command line; empty: read standard input
  int waitMs = 2000;        // quiet time after the last request before the session ends
  bool answerPings = true;  // keep the host alive by answering its pings
  bool printPings = false;  // print the host's pings too
  bool sendExit = true;     // end with {"method":"exit"}; else let the keepalive end the host
  bool echo = false;        // show what is sent ("> ") and received ("< ")
};

class Session {
 public:
  explicit Session(const ClientOptions& options) : m_opt(options) {}
  // Runs the whole session; the process exit status to return.
  int Run();

 private:
  bool Start();
  bool Send(const std::string& text);
  void TakeOutput();  // reads what the host wrote and handles whole frames
  void Handle(const std::string& text);
  void TakeInputLines(bool atEnd);
  int Finish();

  ClientOptions m_opt;
  pid_t m_pid = -1;
  int m_toHost = -1;
  int m_fromHost = -1;
  bool m_hostClosed = false;
  std::string m_outBuffer;  // bytes from the host not yet a whole frame
  std::string m_inBuffer;   // bytes of standard input not yet a whole line
  long long m_lastActivityMs = 0;
};
