// Feeds one request message (the bytes after the length prefix) to the server side's dispatcher, with
// functions that decode a record and a string as the stand-in daemon's do.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "rcf/server.h"

namespace {

struct Record {
  std::int32_t command = 0;
  std::string payload;
  void serialize(SF::Archive& ar) { ar & command & payload; }
};

const RCF::RequestDispatcher& dispatcher() {
  static const RCF::RequestDispatcher d = [] {
    RCF::RequestDispatcher r;
    r.bind("IRpcService", 0, [](SF::Archive& in, SF::Archive& out) {
      Record a, b;
      if (!in.atEnd()) in & a;
      if (!in.atEnd()) in & b;
      if (a.command == 99) throw std::runtime_error("boom");
      out & b;
    });
    r.bind("IRpcService", 1, [](SF::Archive&, SF::Archive& out) {
      std::string s = "pong";
      out & s;
    });
    return r;
  }();
  return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const RCF::ServerReply reply = dispatcher().handle(data, size);
  // Every reply frame carries its own length.
  if (!reply.frame.empty()) {
    const size_t n = static_cast<size_t>(static_cast<unsigned char>(reply.frame[0])) |
                     static_cast<size_t>(static_cast<unsigned char>(reply.frame[1])) << 8 |
                     static_cast<size_t>(static_cast<unsigned char>(reply.frame[2])) << 16 |
                     static_cast<size_t>(static_cast<unsigned char>(reply.frame[3])) << 24;
    if (n + 4 != reply.frame.size()) __builtin_trap();
  }
  return 0;
}
