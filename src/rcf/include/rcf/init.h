// RCF::RcfInit: one reference on the process-wide RPC layer.
#ifndef BRANNIC_SRC_RCF_INCLUDE_RCF_INIT_H_
#define BRANNIC_SRC_RCF_INCLUDE_RCF_INIT_H_

namespace RCF {

// The first reference in the process sets SIGPIPE to ignored (it stays ignored after the last release);
// further references only count up. Counting is guarded by a lock, so references may be taken and released
// on any thread. The layer runs no thread of its own. Construction does not fail.
class RcfInit {
 public:
  RcfInit();
  ~RcfInit();
  RcfInit(const RcfInit&) = delete;
  RcfInit& operator=(const RcfInit&) = delete;
};

}  // namespace RCF

#endif  // BRANNIC_SRC_RCF_INCLUDE_RCF_INIT_H_
