// RCF::I_RcfClient: the base of every generated client; it owns the client stub.
#ifndef BRANNIC_SRC_RCF_INCLUDE_RCF_CLIENT_H_
#define BRANNIC_SRC_RCF_INCLUDE_RCF_CLIENT_H_

#include <string>

#include "rcf/client_stub.h"
#include "rcf/endpoint.h"

namespace RCF {

class I_RcfClient {
 public:
  virtual ~I_RcfClient() = default;
  I_RcfClient(const I_RcfClient&) = delete;
  I_RcfClient& operator=(const I_RcfClient&) = delete;

  ClientStub& getClientStub() { return stub_; }

 protected:
  // An empty binding name stands for the interface name.
  I_RcfClient(const char* interfaceName, const Endpoint& endpoint, const std::string& bindingName)
      : stub_(endpoint, bindingName.empty() ? std::string(interfaceName) : bindingName) {}

 private:
  ClientStub stub_;
};

}  // namespace RCF

#endif  // BRANNIC_SRC_RCF_INCLUDE_RCF_CLIENT_H_
