// ScriptedPeer: an in-process server on a temporary Unix socket that answers each request frame it
// receives with the next scripted step, and records what it received.
#ifndef BRANNIC_TESTS_RCF_SCRIPTED_PEER_H_
#define BRANNIC_TESTS_RCF_SCRIPTED_PEER_H_

#include <atomic>

#include "rcf_vectors.h"  // hex(), frame()

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace brannic_test {

struct PeerStep {
  enum Kind {
    kReply,           // send `bytes` after `delayMs`
    kReplyThenClose,  // send `bytes`, then close the connection
    kDribble,         // send `bytes` one byte every `delayMs`
    kClose,           // close the connection without replying
    kSilent           // never reply; keep the connection open
  };
  Kind kind = kReply;
  std::string bytes;
  int delayMs = 0;
};

class ScriptedPeer {
 public:
  // Listens at once. `backlog` is passed to listen(); with `accept` false it never accepts.
  explicit ScriptedPeer(std::vector<PeerStep> steps, bool accept = true, int backlog = 16);
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  const std::string& path() const { return path_; }
  // Every request frame received so far (length prefix included), and the number of connections.
  std::vector<std::string> requests() const;
  int connections() const { return connections_; }

 private:
  void run();
  bool serveConnection(int fd, std::size_t& step);

  std::string path_;
  std::vector<PeerStep> steps_;
  int listenFd_ = -1;
  int stopPipe_[2] = {-1, -1};
  std::atomic<int> connections_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

}  // namespace brannic_test

#endif  // BRANNIC_TESTS_RCF_SCRIPTED_PEER_H_
