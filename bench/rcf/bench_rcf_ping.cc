// Ping round-trip time through the RPC layer against the stand-in daemon, and the ratio to a minimal
// blocking C client that sends the recorded Ping frame, measured in the same run on the same daemon.
//
// Usage: bench_rcf_ping [calls-per-side] [--no-pin]    starts its own daemon, prints medians and the ratio
//        bench_rcf_ping --only layer|raw N SOCKET      N pings against a running daemon (for whole-process timing)
//
// By default the benchmark and its daemon are pinned to one CPU. Unpinned, the figures are dominated by
// where the scheduler happens to place each of the daemon's connection threads (a thread that shares the
// client's CPU answers in about a fifth of the time of one that must be woken on another CPU), which says
// nothing about either client.

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "raw_ping_client.h"
#include "rpc_service.h"
#include "standin_daemon.h"

namespace {

using Clock = std::chrono::steady_clock;
using Client = rpc_sdk::RcfClient<rpc_sdk::IRpcService>;

double medianNs(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

int runOnly(const std::string& side, long n, const std::string& socket) {
  if (side == "layer") {
    RCF::RcfInit init;
    Client client(RCF::UnixLocalEndpoint(socket), "");
    for (long i = 0; i < n; ++i) {
      if (client.Ping() != "pong") return 1;
    }
    return 0;
  }
  const int fd = raw_ping_connect(socket.c_str());
  if (fd < 0) return 1;
  unsigned char buf[256];
  for (long i = 0; i < n; ++i) {
    if (raw_ping(fd, buf, sizeof buf) != 26) return 1;
  }
  close(fd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--only") == 0) return runOnly(argv[2], std::atol(argv[3]), argv[4]);
  long calls = 20000;
  bool pin = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--no-pin") == 0) {
      pin = false;
    } else {
      calls = std::atol(argv[i]);
    }
  }
  if (pin) {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
      for (std::size_t cpu = 0; cpu < static_cast<std::size_t>(CPU_SETSIZE); ++cpu) {
        if (!CPU_ISSET(cpu, &allowed)) continue;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        if (sched_setaffinity(0, sizeof one, &one) != 0) std::perror("bench_rcf_ping: sched_setaffinity");
        break;
      }
    }
  }
  const std::string socket = "/tmp/brannic-bench-rcf-" + std::to_string(getpid()) + ".sock";
  brannic_test::StandinDaemon daemon(socket, {});

  RCF::RcfInit init;
  Client client(RCF::UnixLocalEndpoint(socket), "");
  (void)client.Ping();
  const int fd = raw_ping_connect(socket.c_str());
  if (fd < 0) {
    std::fprintf(stderr, "bench_rcf_ping: cannot connect the baseline client\n");
    return 1;
  }
  unsigned char buf[256];
  std::vector<double> layer, raw;
  layer.reserve(static_cast<std::size_t>(calls));
  raw.reserve(static_cast<std::size_t>(calls));
  constexpr long kBlock = 500;
  for (long i = 0; i < 1000; ++i) {  // warm-up
    (void)client.Ping();
    (void)raw_ping(fd, buf, sizeof buf);
  }
  // Alternate blocks of calls so that drift of the machine's speed affects both sides alike.
  for (long done = 0; done < calls; done += kBlock) {
    for (long i = 0; i < kBlock; ++i) {
      const auto t0 = Clock::now();
      if (client.Ping() != "pong") return 1;
      layer.push_back(std::chrono::duration<double, std::nano>(Clock::now() - t0).count());
    }
    for (long i = 0; i < kBlock; ++i) {
      const auto t0 = Clock::now();
      if (raw_ping(fd, buf, sizeof buf) != 26) return 1;
      raw.push_back(std::chrono::duration<double, std::nano>(Clock::now() - t0).count());
    }
  }
  close(fd);
  const double l = medianNs(layer);
  const double r = medianNs(raw);

  std::printf("ping round trip (%s), %zu calls each: layer median %.2f us, raw C client median %.2f us, "
              "ratio %.3f\n",
              pin ? "pinned to one CPU" : "unpinned", layer.size(), l / 1000.0, r / 1000.0, l / r);
  return 0;
}
