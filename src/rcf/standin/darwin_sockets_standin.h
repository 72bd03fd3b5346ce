// Linux stand-ins for the Darwin socket facilities of the RPC layer, so that the layer's Darwin code runs
// (and is tested) on Linux. The stand-in keeps SO_NOSIGPIPE per socket itself, and sendOn() keeps SIGPIPE
// off only on a socket that has it, as Darwin does. For tests it tells what it saw of each socket.
#ifndef BRANNIC_SRC_RCF_STANDIN_DARWIN_SOCKETS_STANDIN_H_
#define BRANNIC_SRC_RCF_STANDIN_DARWIN_SOCKETS_STANDIN_H_

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <vector>

// Darwin's socket-level option that keeps a socket from raising SIGPIPE. No Linux option has this number;
// the stand-in handles it itself.
#define SO_NOSIGPIPE 0x1022

namespace RCF {
namespace darwin {

// setsockopt(); at level SOL_SOCKET, SO_NOSIGPIPE (an int, on when not 0) is kept by the stand-in.
int setSocketOption(int fd, int level, int name, const void* value, socklen_t len);

// send(); SIGPIPE is kept off only when the socket has SO_NOSIGPIPE.
ssize_t sendOn(int fd, const void* data, std::size_t size, int flags);

// What the stand-in saw of one socket.
struct SocketRecord {
  bool noSigpipe = false;             // SO_NOSIGPIPE is on now
  bool noSigpipeAtFirstSend = false;  // it was on when the first send was made
  int sends = 0;                      // sends made on the socket
};

// Every socket the stand-in has seen (through either call above), in the order it first saw them.
std::vector<SocketRecord> standinSockets();

}  // namespace darwin
}  // namespace RCF

#endif  // BRANNIC_SRC_RCF_STANDIN_DARWIN_SOCKETS_STANDIN_H_
