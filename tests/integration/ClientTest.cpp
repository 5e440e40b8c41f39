// kestrix-client against the host with the fake control: requests from the
// command line and from standard input, one decoded line per reply, pings
// answered, and the host's exit status passed on.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "HostSession.h"

namespace kxtest {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class Client : public ::testing::Test {
 protected:
  void SetUp() override {
    if (ClientPath().empty() || FakeHostPath().empty()) GTEST_SKIP() << "kestrix-client or kestrix-host-fake missing";
  }
  // Runs the client to its end; its standard output and exit status.
  std::string RunClient(std::vector<std::string> args, const std::string& input, int* code,
                        Millis timeout = 20s) {
    std::vector<std::string> argv{ClientPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back("--");
    argv.push_back(FakeHostPath());
    harness::TempDir tmp;
    ChildProcess::Options options;
    options.env["TMPDIR"] = tmp.Path();
    ChildProcess client(argv, options);
    client.WriteRaw(input);
    client.CloseStdin();
    std::string out;
    EXPECT_TRUE(client.ReadAllOutput(&out, timeout)) << out;
    auto status = client.WaitExit(5s);
    *code = status && status->exited ? status->code : -1;
    return out;
  }
};

const char kNew[] = R"({"method":"new","sender":{"tab":{"id":5},"url":"http://127.0.0.1/"}})";

TEST_F(Client, PrintsOneLinePerReplyForRequestsGivenAsArguments) {
  int code = -1;
  std::string out = RunClient({"--wait-ms", "500", kNew, R"({"method":"getVersion","event":"v"})",
                               R"({"method":"getPrinters","event":"p"})"},
                              "", &code);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(Lines(out), (std::vector<std::string>{R"({"data":"1.0.0-fake","event":"v","tab":5})",
                                                  R"({"data":["Fake Printer A","Fake Printer B"],"event":"p","tab":5})"}));
}

TEST_F(Client, ReadsRequestLinesFromStandardInputAndSkipsCommentsAndBlanks) {
  int code = -1;
  std::string input = std::string("# set-up first\n") + kNew + "\n\n" + R"({"method":"getVersion","event":"v"})";
  std::string out = RunClient({"--wait-ms", "500"}, input, &code);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(Lines(out), std::vector<std::string>{R"({"data":"1.0.0-fake","event":"v","tab":5})"});
}

TEST_F(Client, AnswersPingsSoTheSessionOutlivesTheKeepalive) {
  // Quiet for longer than two ticks: without answers the host would end at
  // the second one and the client would see it gone before the request below.
  int code = -1;
  std::string out = RunClient({"--pings", "--wait-ms", "8000", kNew}, "", &code, 30s);
  EXPECT_EQ(code, 0);
  std::vector<std::string> lines = Lines(out);
  EXPECT_GE(lines.size(), 2u) << out;  // pings at 3 s and 6 s at least
  for (const std::string& line : lines) EXPECT_EQ(line, kPing);
}

TEST_F(Client, WithoutAnswersTheHostEndsByItsKeepalive) {
  int code = -1;
  auto started = harness::Clock::now();
  std::string out = RunClient({"--no-pong", "--no-exit", "--wait-ms", "60000", kNew}, "", &code, 30s);
  EXPECT_EQ(code, 0);
  EXPECT_LT(Seconds(harness::Clock::now() - started), 20.0);
  EXPECT_TRUE(out.empty()) << out;
}

}  // namespace
}  // namespace kxtest
