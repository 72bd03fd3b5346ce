// An owned file descriptor, closed when its owner leaves scope.
#ifndef BRANNIC_SRC_CLIENT_DESCRIPTOR_H_
#define BRANNIC_SRC_CLIENT_DESCRIPTOR_H_

#include <unistd.h>

namespace rpc_sdk {

// Owns `fd` (a negative value owns nothing): get() gives it, and the destructor closes it.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace rpc_sdk

#endif  // BRANNIC_SRC_CLIENT_DESCRIPTOR_H_
