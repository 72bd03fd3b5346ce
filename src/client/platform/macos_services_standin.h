// Stand-ins for the macOS services of the client, built from Linux facilities, so that the macOS build's
// code runs (and is tested) on Linux. They give what the macOS calls give: proc_pidpath from the
// process's executable link, LOCAL_PEERCRED and LOCAL_PEERPID from SO_PEERCRED.
#ifndef BRANNIC_SRC_CLIENT_PLATFORM_MACOS_SERVICES_STANDIN_H_
#define BRANNIC_SRC_CLIENT_PLATFORM_MACOS_SERVICES_STANDIN_H_

#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>

#define SOL_LOCAL 0
#define LOCAL_PEERCRED 0x001
#define LOCAL_PEERPID 0x002
#define XU_NGROUPS 16

struct xucred {
  unsigned int cr_version;
  uid_t cr_uid;
  short cr_ngroups;
  gid_t cr_groups[XU_NGROUPS];
};
static_assert(sizeof(struct xucred) == 76, "xucred has the macOS layout");

// Writes the executable path of pid into buffer; returns its length, or 0 when it is unknown.
int proc_pidpath(int pid, void* buffer, uint32_t buffersize);

// getsockopt at level SOL_LOCAL with LOCAL_PEERCRED (struct xucred) or LOCAL_PEERPID (int).
int macosGetsockopt(int fd, int level, int name, void* value, socklen_t* len);

// For tests: makes every LOCAL_PEERPID query fail (as it may on macOS) while set.
void macosStandinFailPeerPid(bool fail);

#endif  // BRANNIC_SRC_CLIENT_PLATFORM_MACOS_SERVICES_STANDIN_H_
