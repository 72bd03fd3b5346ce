// The cost of one checked connection, connectWithRetry(5000, 0, 0) on a live daemon, and of its steps:
// the liveness check, connecting with the Ping handshake, and the peer check, each against the Ping round
// trip on an open connection, measured in the same run. The steps are measured in turn within each round,
// so a drift of the machine's speed touches them all alike; the medians and their ratios are printed.
//
// It starts the stand-in daemon at the real socket and pid-file paths (root only; nothing else may use
// them meanwhile) and stops it at the end.
//
// Usage: bench_client_connect [rounds]        (default 2000)
//        bench_client_connect --only STEP [rounds]
//            measures one step alone (ping, liveness, connect-ping, peer-check, connect-with-retry), for
//            timing the whole process from outside.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "rpc_service_client.h"
#include "rpc_service_client_impl.h"
#include "standin_daemon.h"

namespace {

using Clock = std::chrono::steady_clock;
using Client = rpc_sdk::RcfClient<rpc_sdk::IRpcService>;

constexpr const char* kSocketPath = "/tmp/tolvane_rpc_service.sock";
constexpr int kTimeoutMs = 5000;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "bench_client_connect: %s\n", what.c_str());
  std::exit(1);
}

// A fresh client object on the daemon, as the client's connect builds it, with its first Ping done.
std::unique_ptr<Client> connectAndPing() {
  auto client = std::make_unique<Client>(RCF::UnixLocalEndpoint(kSocketPath), "");
  RCF::ClientStub& stub = client->getClientStub();
  stub.setAutoReconnect(false);
  stub.setConnectTimeoutMs(kTimeoutMs);
  stub.setRemoteCallTimeoutMs(kTimeoutMs);
  if (client->Ping() != "pong") fail("unexpected Ping answer");
  return client;
}

// One measured step: `prepare` runs untimed before `measure`, `finish` untimed after it.
struct Step {
  const char* name;
  std::function<void()> prepare;
  std::function<void()> measure;
  std::function<void()> finish;
  std::vector<double> micros;
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string only;
  int argi = 1;
  if (argc > 2 && std::string(argv[1]) == "--only") {
    only = argv[2];
    argi = 3;
  }
  const int rounds = argi < argc ? std::atoi(argv[argi]) : 2000;
  if (rounds <= 0) fail("rounds must be positive");
  if (::geteuid() != 0) fail("needs root: the daemon's socket and pid-file paths are compiled in");

  std::unique_ptr<brannic_test::StandinDaemon> daemon;
  try {
    daemon = std::make_unique<brannic_test::StandinDaemon>(
        kSocketPath, std::vector<std::string>{"--pid-file", rpc_sdk::platform::kSystemPidFile});
  } catch (const std::exception& e) {
    fail(e.what());
  }

  std::unique_ptr<Client> open = connectAndPing();
  rpc_sdk::RpcServiceClientImpl impl(kSocketPath);
  std::unique_ptr<Client> fresh;
  std::unique_ptr<rpc_sdk::RpcServiceClient> client;
  bool ok = true;
  std::vector<Step> steps;
  steps.push_back({"ping", [] {}, [&] { ok = open->Ping() == "pong"; }, [] {}, {}});
  steps.push_back({"liveness", [] {}, [&] { ok = impl.isDaemonAlive(); }, [] {}, {}});
  steps.push_back({"connect-ping", [] {}, [&] { fresh = connectAndPing(); }, [&] { fresh.reset(); }, {}});
  steps.push_back({"peer-check", [&] { ok = impl.connect(kTimeoutMs); },
                   [&] { ok = ok && impl.validateServerAndCacheCredentials(); }, [&] { impl.client.reset(); }, {}});
  steps.push_back({"connect-with-retry", [&] { client = std::make_unique<rpc_sdk::RpcServiceClient>(kSocketPath); },
                   [&] { ok = client->connectWithRetry(kTimeoutMs, 0, 0); }, [&] { client.reset(); }, {}});
  if (!only.empty()) {
    steps.erase(std::remove_if(steps.begin(), steps.end(), [&](const Step& s) { return only != s.name; }),
                steps.end());
    if (steps.empty()) fail("unknown step '" + only + "'");
  }

  const int warmup = std::max(1, rounds / 10);
  for (int round = -warmup; round < rounds; ++round) {
    for (Step& step : steps) {
      step.prepare();
      const auto start = Clock::now();
      step.measure();
      const auto end = Clock::now();
      step.finish();
      if (!ok) fail(std::string(step.name) + " failed: " + impl.lastError);
      if (round >= 0) step.micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
  }
  open.reset();
  daemon.reset();
  if (!only.empty()) {
    std::printf("%s: median %.1f us over %d rounds\n", steps[0].name, median(steps[0].micros), rounds);
    return 0;
  }

  const double ping = median(steps[0].micros);
  std::printf("%d rounds, medians (us) and ratio to the Ping round trip on an open connection\n", rounds);
  double parts = 0;
  for (const Step& step : steps) {
    const double m = median(step.micros);
    if (step.name != std::string("ping") && step.name != std::string("connect-with-retry")) parts += m;
    std::printf("  %-20s %10.1f us  %7.2fx\n", step.name, m, m / ping);
  }
  std::printf("  %-20s %10.1f us  %7.2fx  (liveness + connect-ping + peer-check)\n", "sum of steps", parts,
              parts / ping);
  return 0;
}
