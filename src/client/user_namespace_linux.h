// Where the user namespace of another process lies, seen from this process's own (Linux).
#ifndef BRANNIC_SRC_CLIENT_USER_NAMESPACE_LINUX_H_
#define BRANNIC_SRC_CLIENT_USER_NAMESPACE_LINUX_H_

#include <string>

namespace rpc_sdk {

enum class NamespacePlace {
  kOwn,         // this process's own user namespace
  kInside,      // nested, at any depth, inside this process's user namespace
  kOutside,     // beyond this process's reach: an ancestor of its namespace, or in another branch
  kUnreadable,  // the name does not open for want of permission (as for another user's process), or is gone
  kUnknown,     // the namespace opened, but where it lies could not be found out
};

// The place of the user namespace that `name` opens ("/proc/<pid>/ns/user"). Namespaces are told apart by
// the device and inode of their files. From the namespace, the walk goes up one parent at a time
// (NS_GET_PARENT) until it meets this process's namespace (kInside) or the kernel refuses the step out of
// this process's reach (kOutside). Any other failure, and a walk longer than user namespaces can nest (33
// levels below the initial one), gives kUnknown; so does a kernel without NS_GET_PARENT (before Linux 4.9).
NamespacePlace placeOfUserNamespace(const std::string& name);

}  // namespace rpc_sdk

#endif  // BRANNIC_SRC_CLIENT_USER_NAMESPACE_LINUX_H_
