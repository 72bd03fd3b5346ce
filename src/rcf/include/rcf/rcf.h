// The client side of the RPC layer: RCF 3.4's wire protocol (runtime version 13, SF binary serialisation)
// over Unix-domain stream sockets, with RCF's names. Include this one header.
//
//   RCF::RcfInit init;                                   // one reference on the layer
//   RcfClient<IRpcService> client(RCF::UnixLocalEndpoint(path), "");
//   client.getClientStub().setConnectTimeoutMs(5000);
//   client.getClientStub().setRemoteCallTimeoutMs(5000);
//   client.getClientStub().setAutoReconnect(false);      // on by default; see rcf/client_stub.h
//   std::string answer = client.Ping();                  // failures raise RCF::Exception
#ifndef BRANNIC_SRC_RCF_INCLUDE_RCF_RCF_H_
#define BRANNIC_SRC_RCF_INCLUDE_RCF_RCF_H_

#include "rcf/archive.h"
#include "rcf/client.h"
#include "rcf/client_stub.h"
#include "rcf/client_transport.h"
#include "rcf/endpoint.h"
#include "rcf/exception.h"
#include "rcf/init.h"
#include "rcf/interface.h"

#endif  // BRANNIC_SRC_RCF_INCLUDE_RCF_RCF_H_
