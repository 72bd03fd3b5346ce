// Feeds one reply message (the bytes after the length prefix) to the client's reply decoder, reading the
// body as each of the results the client knows: a string (Ping) and a three-field record (Request).
#include <cstddef>
#include <cstdint>
#include <string>

#include "rcf/archive.h"
#include "rcf/exception.h"
#include "reply.h"

namespace {

struct Record {
  std::int32_t status = 0;
  std::string detail;
  std::string data;
  void serialize(SF::Archive& ar) { ar & status & detail & data; }
};

template <typename T>
void readValue(void* context, SF::Archive& ar) {
  if (!ar.atEnd()) ar & *static_cast<T*>(context);
}

template <typename T>
void decodeAs(const uint8_t* data, size_t size) {
  T value{};
  try {
    (void)RCF::wire::decodeReply(data, size, {&value, &readValue<T>});
  } catch (const RCF::Exception&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  decodeAs<std::string>(data, size);
  decodeAs<Record>(data, size);
  return 0;
}
