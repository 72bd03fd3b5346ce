// Linked into a copy of the stand-in daemon that plays an impostor. Before main, the process enters a user
// namespace of its own (where it holds every capability), replaces each mapping of its own executable with
// an anonymous copy of the same bytes, and then points its executable link, /proc/<pid>/exe, at the signed
// stand-in (BRANNIC_RELINK_TARGET) with prctl(PR_SET_MM, PR_SET_MM_MAP) and exe_fd. From then on the link
// names a signed file the process does not run. Where the kernel refuses a step, the process says so on
// stderr and runs on as it is: the tests read the link to tell whether the switch took place.
#include <fcntl.h>
#include <linux/prctl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// An owned descriptor.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool fail(const char* step) {
  std::fprintf(stderr, "exe link switch: %s: %s\n", step, std::strerror(errno));
  return false;
}

struct Mapping {
  std::uintptr_t start = 0;
  std::uintptr_t end = 0;
  int prot = PROT_NONE;
};

// The mappings of the file `exe` (by inode) in /proc/self/maps.
bool mappingsOf(const struct stat& exe, std::vector<Mapping>* out) {
  std::ifstream maps("/proc/self/maps");
  if (!maps) return fail("open /proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    std::istringstream fields(line);
    std::string range, perms, offset, device;
    unsigned long long inode = 0;
    if (!(fields >> range >> perms >> offset >> device >> inode) || inode != exe.st_ino || perms.size() < 3) continue;
    Mapping m;
    m.start = std::strtoull(range.c_str(), nullptr, 16);
    m.end = std::strtoull(range.c_str() + range.find('-') + 1, nullptr, 16);
    m.prot = (perms[0] == 'r' ? PROT_READ : 0) | (perms[1] == 'w' ? PROT_WRITE : 0) |
             (perms[2] == 'x' ? PROT_EXEC : 0);
    out->push_back(m);
  }
  if (out->empty()) {
    errno = ENOENT;
    return fail("no mapping of the executable");
  }
  return true;
}

// The memory layout the kernel keeps for this process, as /proc/self/stat gives it, so that PR_SET_MM_MAP
// changes nothing but the executable link.
bool currentLayout(prctl_mm_map* map) {
  std::ifstream stat("/proc/self/stat");
  std::string text;
  std::getline(stat, text);
  const size_t nameEnd = text.rfind(") ");
  if (nameEnd == std::string::npos) return fail("read /proc/self/stat");
  std::istringstream fields(text.substr(nameEnd + 2));
  std::vector<unsigned long long> values{0, 0, 0};  // fields 1 and 2 stand before the state (field 3)
  for (std::string word; fields >> word;) values.push_back(std::strtoull(word.c_str(), nullptr, 10));
  if (values.size() <= 51) return fail("short /proc/self/stat");
  map->start_code = values[26];
  map->end_code = values[27];
  map->start_stack = values[28];
  map->start_data = values[45];
  map->end_data = values[46];
  map->start_brk = values[47];
  map->arg_start = values[48];
  map->arg_end = values[49];
  map->env_start = values[50];
  map->env_end = values[51];
  void* const brk = ::sbrk(0);
  if (brk == reinterpret_cast<void*>(-1)) return fail("sbrk");
  map->brk = reinterpret_cast<std::uintptr_t>(brk);
  return true;
}

// Moves an anonymous copy of each mapping over the mapping itself. The copy is read through /proc/self/mem,
// so that no instrumented code reads the executable's pages; a mapping that cannot be read holds nothing
// worth keeping and gets zeros.
bool replaceWithAnonymousCopies(const std::vector<Mapping>& mappings) {
  const Fd mem(::open("/proc/self/mem", O_RDONLY | O_CLOEXEC));
  if (mem.get() < 0) return fail("open /proc/self/mem");
  for (const Mapping& m : mappings) {
    const size_t length = m.end - m.start;
    void* const copy = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (copy == MAP_FAILED) return fail("mmap");
    if ((m.prot & PROT_READ) != 0 &&
        ::pread(mem.get(), copy, length, static_cast<off_t>(m.start)) != static_cast<ssize_t>(length)) {
      return fail("read /proc/self/mem");
    }
    if (::mprotect(copy, length, m.prot) != 0) return fail("mprotect");
    if (::mremap(copy, length, length, MREMAP_MAYMOVE | MREMAP_FIXED, reinterpret_cast<void*>(m.start)) ==
        MAP_FAILED) {
      return fail("mremap");
    }
  }
  return true;
}

bool switchExecutableLink(const char* target) {
  struct stat exe {};
  if (::stat("/proc/self/exe", &exe) != 0) return fail("stat /proc/self/exe");
  std::vector<Mapping> mappings;
  prctl_mm_map map{};
  if (!mappingsOf(exe, &mappings) || !currentLayout(&map)) return false;
  const Fd signedFile(::open(target, O_RDONLY | O_CLOEXEC));
  if (signedFile.get() < 0) return fail(target);
  map.exe_fd = static_cast<std::uint32_t>(signedFile.get());
  if (!replaceWithAnonymousCopies(mappings)) return false;
  if (::unshare(CLONE_NEWUSER) != 0) return fail("unshare(CLONE_NEWUSER)");
  if (::prctl(PR_SET_MM, PR_SET_MM_MAP, &map, sizeof map, 0) != 0) return fail("prctl(PR_SET_MM_MAP)");
  return true;
}

__attribute__((constructor)) void switchBeforeMain() { switchExecutableLink(BRANNIC_RELINK_TARGET); }

}  // namespace
