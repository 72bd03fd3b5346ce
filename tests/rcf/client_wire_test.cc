// The client writes the recorded RCF 3.4 requests byte for byte and decodes every recorded reply.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "rcf_vectors.h"
#include "rpc_service.h"
#include "scripted_peer.h"
#include "wire.h"

namespace brannic_test {
namespace {

using rpc_sdk::BnqRequest;
using rpc_sdk::BnqResponse;
using Client = rpc_sdk::RcfClient<rpc_sdk::IRpcService>;

const std::string kData = std::string("\x00\x01\xff", 3);

int handleOf(Client& c) {
  auto* t = dynamic_cast<RCF::BsdClientTransport*>(&c.getClientStub().getTransport());
  return t == nullptr ? -2 : t->getNativeHandle();
}

TEST(ClientWire, WritesTheRecordedRequests) {
  ScriptedPeer peer({{PeerStep::kReply, rcfVector("ping_ok").reply},
                     {PeerStep::kReply, rcfVector("request_ok").reply},
                     {PeerStep::kReply, rcfVector("request_servant_throws").reply}});
  Client client(RCF::UnixLocalEndpoint(peer.path()), "");
  EXPECT_EQ(handleOf(client), -1);
  EXPECT_EQ(client.Ping(), "pong");
  const int handle = handleOf(client);
  EXPECT_GE(handle, 0);

  BnqResponse resp{5, "in", "xyz"};
  client.Request(BnqRequest{7, "hello"}, resp);
  EXPECT_EQ(resp.status, 1007);
  EXPECT_EQ(resp.detail, "ok:hello");
  EXPECT_EQ(hex(resp.data), hex(kData));

  BnqResponse fresh;
  try {
    client.Request(BnqRequest{99, ""}, fresh);
    ADD_FAILURE() << "expected the servant's exception";
  } catch (const RCF::Exception& e) {
    EXPECT_EQ(e.getErrorId(), 6);
    EXPECT_STREQ(e.what(), "Server-side application exception. Exception type: St13runtime_error. "
                           "Exception message: 'boom from server'.");
  }
  EXPECT_EQ(fresh.status, 0);
  EXPECT_EQ(handleOf(client), handle) << "a remote exception keeps the connection";

  const auto sent = peer.requests();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(hex(sent[0]), hex(rcfVector("ping_ok").request));
  EXPECT_EQ(hex(sent[1]), hex(rcfVector("request_ok").request));
  EXPECT_EQ(hex(sent[2]), hex(rcfVector("request_servant_throws").request));
  EXPECT_EQ(peer.connections(), 1);
}

TEST(ClientWire, BindingNameIsTheInterfaceNameUnlessGiven) {
  ScriptedPeer peer({{PeerStep::kReply, rcfVector("unknown_binding").reply}});
  Client client(RCF::UnixLocalEndpoint(peer.path()), "INope");
  try {
    client.Ping();
    ADD_FAILURE() << "expected an exception";
  } catch (const RCF::Exception& e) {
    EXPECT_EQ(e.getErrorId(), 25);
    EXPECT_STREQ(e.what(), "Server-side binding not found. Binding: INope.");
  }
  ASSERT_EQ(peer.requests().size(), 1u);
  EXPECT_EQ(hex(peer.requests()[0]), hex(rcfVector("unknown_binding").request));
  EXPECT_GE(handleOf(client), 0);
}

// Header integers (and so the lengths of header texts): 0..254 take one byte, 255 and up ff + 4 bytes LE.
TEST(ClientWire, HeaderIntegersAtTheOneByteEdge) {
  const struct {
    std::int32_t value;
    std::string bytes;
  } cases[] = {
      {0, std::string(1, '\0')},
      {254, "\xfe"},
      {255, std::string("\xff\xff\x00\x00\x00", 5)},
      {256, std::string("\xff\x00\x01\x00\x00", 5)},
      {-1, "\xff\xff\xff\xff\xff"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    std::string out;
    RCF::wire::putInt(out, c.value);
    EXPECT_EQ(hex(out), hex(c.bytes));
    RCF::wire::Reader in(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size());
    EXPECT_EQ(in.getInt(), c.value);
    EXPECT_EQ(in.remaining(), 0u);
  }

  // The same edge as the length of a binding name, written by the stub and read back as a header.
  const std::string recorded = rcfVector("ping_ok").request;
  const std::string afterName = recorded.substr(4 + 3 + 11);  // prefix, 01 07 0b, "IRpcService"
  for (const auto& c : cases) {
    if (c.value < 254) continue;
    SCOPED_TRACE("binding name of " + std::to_string(c.value));
    const std::string name(static_cast<std::size_t>(c.value), 'b');
    ScriptedPeer peer({{PeerStep::kReply, rcfVector("ping_ok").reply}});
    Client client(RCF::UnixLocalEndpoint(peer.path()), name);
    EXPECT_EQ(client.Ping(), "pong");
    const auto sent = peer.requests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(hex(sent[0]), hex(frame("\x01\x07" + c.bytes + name + afterName)));

    RCF::wire::Reader in(reinterpret_cast<const unsigned char*>(sent[0].data()) + 4, sent[0].size() - 4);
    EXPECT_EQ(in.getInt(), RCF::wire::kRequest);
    const RCF::wire::RequestHeader header = RCF::wire::getRequestHeader(in);
    EXPECT_EQ(header.bindingName, name);
    EXPECT_EQ(header.functionId, 1);
    EXPECT_EQ(header.runtimeVersion, 13);
    EXPECT_EQ(in.remaining(), 0u);
  }
}

// Each reply a client can receive, to Ping or Request: the result, or the exception it must raise.
TEST(ClientWire, DecodesEveryKindOfReply) {
  struct Case {
    const char* what;
    std::string reply;
    bool ping;
    int errorId;  // 0: success
    const char* text;
    bool staysOpen;
    std::string pingResult;
    BnqResponse response;
  } cases[] = {
      {"ping answer", rcfVector("ping_ok").reply, true, 0, "", true, "pong", {}},
      {"request answer", rcfVector("request_ok").reply, false, 0, "", true, "", {1007, "ok:hello", kData}},
      {"empty body to Ping", rcfVector("canned_ping_fnid-1").reply, true, 0, "", true, "", {}},
      {"empty body keeps the record", rcfVector("canned_ping_fnid-1").reply, false, 0, "", true, "", {5, "in", "xyz"}},
      {"invalid function id", rcfVector("unknown_fnid_5").reply, true, 37, "Invalid function id. Function id: 5", true, "", {}},
      {"unknown binding", rcfVector("unknown_binding").reply, true, 25, "Server-side binding not found. Binding: INope.", true, "", {}},
      {"servant exception", rcfVector("request_servant_throws").reply, false, 6, nullptr, true, "", {5, "in", "xyz"}},
      {"message too long", frame(std::string("\x00\x01\x02\x00\x00\x00\x00\x00\x00\x00", 10)), true, 2, nullptr, false, "", {}},
      {"runtime-12 exception layout", rcfVector("runtime_v12_err").reply, false, -1, nullptr, false, "", {5, "in", "xyz"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedPeer peer({{PeerStep::kReply, c.reply}});
    Client client(RCF::UnixLocalEndpoint(peer.path()), "");
    BnqResponse resp{5, "in", "xyz"};
    std::string pingResult = "unset";
    try {
      if (c.ping) {
        pingResult = client.Ping();
      } else {
        client.Request(BnqRequest{7, "hello"}, resp);
      }
      EXPECT_EQ(c.errorId, 0) << "no exception";
    } catch (const RCF::Exception& e) {
      if (c.errorId >= 0) {
        EXPECT_EQ(e.getErrorId(), c.errorId) << e.what();
      }
      if (c.text != nullptr) {
        EXPECT_STREQ(e.what(), c.text);
      }
    }
    if (c.errorId == 0 && c.ping) {
      EXPECT_EQ(pingResult, c.pingResult);
    }
    if (!c.ping) {
      EXPECT_EQ(resp.status, c.response.status);
      EXPECT_EQ(resp.detail, c.response.detail);
      EXPECT_EQ(hex(resp.data), hex(c.response.data));
    }
    EXPECT_EQ(handleOf(client) >= 0, c.staysOpen);
  }
}

TEST(ClientWire, VersionMismatchLowersTheRuntimeVersionForGood) {
  // The recorded version-mismatch message, from a server at runtime version 12 instead of 13.
  std::string mismatch = rcfVector("runtime_v14").reply;
  mismatch[7] = 12;
  const std::string pong = rcfVector("ping_ok").reply;
  ScriptedPeer peer({{PeerStep::kReply, mismatch}, {PeerStep::kReply, pong}, {PeerStep::kReply, pong}});
  Client client(RCF::UnixLocalEndpoint(peer.path()), "");
  EXPECT_EQ(client.Ping(), "pong");
  EXPECT_EQ(client.getClientStub().getRuntimeVersion(), 12);
  EXPECT_EQ(client.Ping(), "pong");
  const auto sent = peer.requests();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(hex(sent[0]), hex(rcfVector("ping_ok").request));
  EXPECT_EQ(hex(sent[1]), hex(rcfVector("runtime_v12").request));
  EXPECT_EQ(hex(sent[2]), hex(rcfVector("runtime_v12").request));
  EXPECT_EQ(peer.connections(), 1) << "the resend uses the same connection";
}

// A server that names a non-zero archive version: the resend and every later request of the client
// object, on a new connection too, carry it along with the lower runtime version.
TEST(ClientWire, VersionMismatchAdoptsTheServersArchiveVersion) {
  std::string mismatch = rcfVector("runtime_v14").reply;
  mismatch[7] = 12;  // runtime version
  mismatch[8] = 1;   // archive version
  const std::string pong = rcfVector("ping_ok").reply;
  ScriptedPeer peer({{PeerStep::kReply, mismatch},
                     {PeerStep::kReplyThenClose, pong},
                     {PeerStep::kReply, pong},
                     {PeerStep::kReply, rcfVector("request_ok").reply}});
  Client client(RCF::UnixLocalEndpoint(peer.path()), "");
  EXPECT_EQ(client.Ping(), "pong");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(client.Ping(), "pong");
  BnqResponse resp{5, "in", "xyz"};
  client.Request(BnqRequest{7, "hello"}, resp);
  EXPECT_EQ(resp.status, 1007);

  // Header fields 10 (runtime version) and 13 (archive version) of a recorded request.
  const auto lowered = [](std::string request) {
    request[4 + 20] = 12;
    request[4 + 23] = 1;
    return request;
  };
  const auto sent = peer.requests();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(hex(sent[0]), hex(rcfVector("ping_ok").request));
  EXPECT_EQ(hex(sent[1]), hex(lowered(rcfVector("ping_ok").request))) << "the resend";
  EXPECT_EQ(hex(sent[2]), hex(lowered(rcfVector("ping_ok").request))) << "after reconnecting";
  EXPECT_EQ(hex(sent[3]), hex(lowered(rcfVector("request_ok").request)));
  EXPECT_EQ(peer.connections(), 2);
}

}  // namespace
}  // namespace brannic_test
