// RCF::ClientTransport and RCF::BsdClientTransport: the socket under a client stub.
#ifndef BRANNIC_SRC_RCF_INCLUDE_RCF_CLIENT_TRANSPORT_H_
#define BRANNIC_SRC_RCF_INCLUDE_RCF_CLIENT_TRANSPORT_H_

#include <chrono>
#include <cstddef>
#include <string>

namespace RCF {

class ClientStub;

// Base of the client transports; a client stub owns exactly one.
class ClientTransport {
 public:
  virtual ~ClientTransport() = default;
  ClientTransport(const ClientTransport&) = delete;
  ClientTransport& operator=(const ClientTransport&) = delete;

 protected:
  ClientTransport() = default;
};

// A stream socket transport (Unix domain). It owns its descriptor and closes it on destruction.
class BsdClientTransport final : public ClientTransport {
 public:
  BsdClientTransport() = default;
  ~BsdClientTransport() override;

  // The connected socket's descriptor, or -1 while not connected. The transport keeps ownership.
  int getNativeHandle() const { return fd_; }

 private:
  friend class ClientStub;
  using Deadline = std::chrono::steady_clock::time_point;

  // All of these raise RCF::Exception on failure; none of them closes the socket by itself.
  void connect(const std::string& path, Deadline deadline);
  bool isAlive() const;
  void send(const std::string& data, Deadline deadline);
  void receiveFrame(std::string& body, std::size_t limit, Deadline deadline);
  void close();

  void receiveExactly(unsigned char* data, std::size_t size, Deadline deadline, bool waitFirst);
  void waitFor(short events, Deadline deadline, bool connecting);

  int fd_ = -1;
};

}  // namespace RCF

#endif  // BRANNIC_SRC_RCF_INCLUDE_RCF_CLIENT_TRANSPORT_H_
