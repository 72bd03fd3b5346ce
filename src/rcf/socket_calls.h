// The socket calls of the client transport that differ between Linux and Darwin. A build compiles one of
// socket_calls_linux.cc and socket_calls_darwin.cc (chosen in this folder's CMakeLists.txt); nothing else in
// the layer depends on the platform.
#ifndef BRANNIC_SRC_RCF_SOCKET_CALLS_H_
#define BRANNIC_SRC_RCF_SOCKET_CALLS_H_

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace RCF {
namespace sockets {

// A new Unix-domain stream socket that is non-blocking, closed on exec and never raises SIGPIPE; -1 with
// errno set on failure.
int openStreamSocket();

// send() on a socket from openStreamSocket: never blocks, never raises SIGPIPE, and returns what send()
// returns (with errno set on -1).
ssize_t sendSome(int fd, const void* data, std::size_t size);

// The system's text for an errno value.
std::string errnoText(int err);

}  // namespace sockets
}  // namespace RCF

#endif  // BRANNIC_SRC_RCF_SOCKET_CALLS_H_
