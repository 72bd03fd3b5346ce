// RCF::Endpoint and RCF::UnixLocalEndpoint: where a client connects.
#ifndef BRANNIC_SRC_RCF_INCLUDE_RCF_ENDPOINT_H_
#define BRANNIC_SRC_RCF_INCLUDE_RCF_ENDPOINT_H_

#include <memory>
#include <string>

namespace RCF {

// An address a client can connect to. Copied by the client stub (clone), so the caller keeps its own.
class Endpoint {
 public:
  virtual ~Endpoint() = default;
  virtual std::unique_ptr<Endpoint> clone() const = 0;

 protected:
  Endpoint() = default;
  Endpoint(const Endpoint&) = default;
  Endpoint& operator=(const Endpoint&) = default;
};

// A Unix-domain stream socket path. The path is checked when connecting (it must be non-empty, hold no
// NUL byte and fit sockaddr_un::sun_path); a bad path fails that call with RCF::Exception.
class UnixLocalEndpoint : public Endpoint {
 public:
  explicit UnixLocalEndpoint(std::string path) : path_(std::move(path)) {}
  std::unique_ptr<Endpoint> clone() const override { return std::make_unique<UnixLocalEndpoint>(*this); }
  const std::string& getPath() const { return path_; }

 private:
  std::string path_;
};

}  // namespace RCF

#endif  // BRANNIC_SRC_RCF_INCLUDE_RCF_ENDPOINT_H_
