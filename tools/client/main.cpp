// kestrix-client: start the host, send it requests, print what it answers.
//
//   kestrix-client '{"method":"new","sender":{"tab":{"id":1},"url":"http://127.0.0.1/"}}'
//                  '{"method":"getVersion","event":"v"}'   (one command line)
//   printf '%s\n' '{"method":"getPrinters","event":"p"}' | kestrix-client
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "Session.h"

namespace {

void Usage(std::ostream& out) {
  out << "usage: kestrix-client [options] [REQUEST...] [-- HOST [ARG...]]\n"
         "\n"
         "Starts the host, sends each REQUEST (a JSON text) as one framed message,\n"
         "answers the host's pings, and prints every reply and event it sends back,\n"
         "one per line. Without REQUEST arguments the requests are read from standard\n"
         "input, one per line (blank lines and lines starting with # are skipped).\n"
         "\n"
         "  -- HOST [ARG...]  the host to start (default: kestrix-host next to this program)\n"
         "  --wait-ms N       after the last request, end once nothing came for N ms (default 2000)\n"
         "  --echo            show each request sent (\"> \") and each message received (\"< \")\n"
         "  --pings           print the host's pings (and the answers, with --echo) too\n"
         "  --no-pong         do not answer pings (the host then ends itself after about 6 s)\n"
         "  --no-exit         do not send {\"method\":\"exit\"} at the end: wait for the host's\n"
         "                    keepalive to end it\n"
         "  -h, --help        this text\n"
         "\n"
         "Exit status: the host's exit status, 1 when it cannot be started or does not end.\n";
}

std::string DefaultHost() {
  char self[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    std::string path(self, static_cast<size_t>(n));
    std::string sibling = path.substr(0, path.find_last_of('/') + 1) + "kestrix-host";
    if (::access(sibling.c_str(), X_OK) == 0) return sibling;
  }
  return "build/kestrix-host";
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  ClientOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--") {
      for (++i; i < argc; ++i) options.command.push_back(argv[i]);
      break;
    }
    if (a == "-h" || a == "--help") {
      Usage(std::cout);
      return 0;
    } else if (a == "--wait-ms" && i + 1 < argc) {
      char* end = nullptr;
      long v = std::strtol(argv[++i], &end, 10);
      if (*end || v < 0 || v > 3600000) {
        std::cerr << "kestrix-client: --wait-ms takes a number of milliseconds\n";
        return 2;
      }
      options.waitMs = static_cast<int>(v);
    } else if (a == "--echo") {
      options.echo = true;
    } else if (a == "--pings") {
      options.printPings = true;
    } else if (a == "--no-pong") {
      options.answerPings = false;
    } else if (a == "--no-exit") {
      options.sendExit = false;
    } else if (a.rfind("--", 0) == 0) {
      std::cerr << "kestrix-client: unknown option " << a << "\n";
      Usage(std::cerr);
      return 2;
    } else {
      options.requests.push_back(a);
    }
  }
  if (options.command.empty()) options.command.push_back(DefaultHost());
  return Session(options).Run();
}
