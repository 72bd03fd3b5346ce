// Feeds mutated ELF files to the ELF path of Verifier::verifyFile and to the ELF content hash. The input
// always begins with the ELF magic, so every input takes the ELF path. Nothing may crash, leak or throw,
// and a signature section read back must be within its size limit.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codeSign/src/internal/elf_file.h"
#include "codeSign/src/verifier.h"

namespace {

// One in-memory file, rewritten for every input and opened by the library through its /proc path.
struct MemoryFile {
  MemoryFile() : fd(memfd_create("fuzz-elf", MFD_CLOEXEC)), path("/proc/self/fd/" + std::to_string(fd)) {
    if (fd < 0) std::abort();
  }
  void write(const uint8_t* data, size_t size) {
    static const uint8_t kMagic[4] = {0x7F, 'E', 'L', 'F'};
    std::vector<uint8_t> bytes(kMagic, kMagic + 4);
    if (size > 4) bytes.insert(bytes.end(), data + 4, data + size);
    if (ftruncate(fd, 0) != 0 || pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
      std::abort();
    }
  }
  int fd;
  std::string path;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static MemoryFile file;
  file.write(data, size);
  // Without a key the signature is not checked, so a mutated file whose window holds reaches the hash.
  bnq::sign::VerifyOptions options;
  options.skip_time_check = true;
  bnq::sign::Verifier verifier(std::move(options));
  (void)verifier.verifyFile(file.path);
  const auto section = bnq::sign::readSignatureSection(file.path);
  if (section && (section->empty() || section->size() > bnq::sign::kMaxSignatureSectionSize)) std::abort();
  const std::string hash = bnq::sign::computeElfContentHash(file.path);
  if (!hash.empty() && hash.size() != 64) std::abort();
  return 0;
}
