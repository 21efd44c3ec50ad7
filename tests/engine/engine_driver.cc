// Drives one tunnel engine from standard input, for the end-to-end test and
// the benchmark. One operation per line:
//   start PATH    Start with the configuration read from PATH
//   check         CheckTunnel
//   stop          Stop
//   running       IsRunning
//   error         LastError (answers ok)
//   session       the tunnel's session token (answers ok)
//   recover       RecoverAbandonedTunnel
//   helper ACTION HOST LIMIT
//                 RunRouteHelper(ACTION, HOST, LIMIT)
// and one answer line per operation on standard output:
//   OP ok|fail MILLISECONDS TEXT
// where TEXT is the last response on success and the last error on failure,
// with line breaks shown as " | ". The engine is destroyed at end of input,
// which stops the tunnel as the runner does when it exits.
#include <chrono>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "v2ray_engine_linux.h"

namespace {

std::string OneLine(std::string text) {
  for (size_t at = text.find('\n'); at != std::string::npos;
       at = text.find('\n', at)) {
    text.replace(at, 1, " | ");
  }
  return text;
}

}  // namespace

int main() {
  V2RayEngineLinux engine;
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream words(line);
    std::string op;
    std::string arg;
    std::string host;
    int limit = 0;
    words >> op >> arg >> host >> limit;
    const auto t0 = std::chrono::steady_clock::now();
    bool ok = false;
    if (op == "start") {
      std::ifstream in(arg, std::ios::binary);
      std::stringstream config;
      config << in.rdbuf();
      ok = engine.Start(config.str(), "allow", {});
    } else if (op == "check") {
      ok = engine.CheckTunnel();
    } else if (op == "stop") {
      ok = engine.Stop();
    } else if (op == "running") {
      ok = engine.IsRunning();
    } else if (op == "error") {
      std::cout << op << " ok 0 " << OneLine(engine.LastError()) << std::endl;
      continue;
    } else if (op == "session") {
      std::cout << op << " ok 0 " << engine.session() << std::endl;
      continue;
    } else if (op == "recover") {
      ok = engine.RecoverAbandonedTunnel();
    } else if (op == "helper") {
      ok = engine.RunRouteHelper(arg, host, limit);
    } else {
      std::cout << op << " fail 0 unknown operation" << std::endl;
      continue;
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - t0)
                        .count();
    std::cout << op << (ok ? " ok " : " fail ") << ms << " "
              << OneLine(ok ? engine.LastResponse() : engine.LastError())
              << std::endl;
  }
  return 0;
}
