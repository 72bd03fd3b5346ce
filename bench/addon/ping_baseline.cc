// Times Ping round trips through the RPC layer alone against the daemon at the compiled-in socket path.
// Usage: bench_addon_ping_baseline CALLS   -> prints the median round trip in nanoseconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "rpc_service.h"

int main(int argc, char** argv) {
  const long calls = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 2000;
  if (calls <= 0) return 2;
  RCF::RcfInit init;
  rpc_sdk::RcfClient<rpc_sdk::IRpcService> client(RCF::UnixLocalEndpoint("/tmp/tolvane_rpc_service.sock"), "");
  client.getClientStub().setConnectTimeoutMs(5000);
  client.getClientStub().setRemoteCallTimeoutMs(5000);
  client.getClientStub().setAutoReconnect(false);  // as the daemon client runs it
  try {
    client.Ping();  // connects
    std::vector<long long> ns(static_cast<size_t>(calls));
    for (auto& t : ns) {
      const auto start = std::chrono::steady_clock::now();
      if (client.Ping() != "pong") return 1;
      t = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
    }
    std::nth_element(ns.begin(), ns.begin() + calls / 2, ns.end());
    std::printf("%lld\n", ns[static_cast<size_t>(calls / 2)]);
  } catch (const RCF::Exception& e) {
    std::fprintf(stderr, "ping failed: %s\n", e.what());
    return 1;
  }
  return 0;
}
