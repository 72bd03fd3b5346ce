// The client writes the recorded RCF 3.4 requests byte for byte and decodes every recorded reply.

#include <gtest/gtest.h>

#include <functional>

#include "rcf_vectors.h"
#include "rpc_service.h"
#include "scripted_peer.h"

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

}  // namespace
}  // namespace brannic_test
