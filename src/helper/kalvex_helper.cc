// kalvex-helper: drives the Kalvex logging SDK for a parent process over a line protocol.
//
// The parent writes one request per line on standard input: request id, method and arguments,
// separated by TABs, each argument Base64. Every request that names a method gets exactly one
// reply line on standard output, "<id>\t<ok|err>\t<Base64 message>", flushed before the next line
// is read, so the parent may write ahead and read the replies in order. The program reads no
// arguments, environment or files. After a successful `shutdown` it reads no further, and moves a
// seekable input (a file) back to the first byte after the `shutdown` line, for whoever reads the
// same descriptor next; what a pipe or a socket has passed to the helper's buffer stays read.
// A request whose reply cannot be formed for want of memory gets, in its place, the "err" reply
// "kalvex-helper ran out of memory", which takes no memory to write, and the helper reads on.
//
// Exit codes: 0 at the end of input (or after a failed read) and after `shutdown`; 1 when a
// request line does not fit in memory (it gets no reply, and nothing after it is read), when the
// SDK's teardown at the end of input fails, and when the helper refuses to start. It writes
// nothing but replies, except one line on standard error when it refuses to start, before it
// reads a request or calls the SDK: when a closed standard descriptor can be filled with neither
// /dev/null nor a pipe, and when standard input or standard output is a socket that keeps packet
// bounds instead of carrying a byte stream.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <iterator>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kalvex/kalvex_sdk.h"

namespace {

// ---- Line protocol ----------------------------------------------------------------------------

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr unsigned char kNotInAlphabet = 0xFF;

using Args = std::vector<std::string>;

// Maps each byte value to its 6-bit value in kBase64Alphabet, or to kNotInAlphabet.
const std::array<unsigned char, 256>& Base64DecodeTable() {
  static const std::array<unsigned char, 256> table = [] {
    std::array<unsigned char, 256> t{};
    t.fill(kNotInAlphabet);
    for (unsigned char i = 0; i < 64; ++i) t[static_cast<unsigned char>(kBase64Alphabet[i])] = i;
    return t;
  }();
  return table;
}

// Standard Base64 with '=' padding; the empty text for no bytes.
std::string Base64Encode(const std::string& bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  const auto byte = [&bytes](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i]));
  };
  const auto put = [&text](std::uint32_t bits) { text.push_back(kBase64Alphabet[bits & 0x3F]); };
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t group = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
    put(group >> 18);
    put(group >> 12);
    put(group >> 6);
    put(group);
  }
  const std::size_t rest = bytes.size() - i;
  if (rest == 1) {
    const std::uint32_t group = byte(i) << 16;
    put(group >> 18);
    put(group >> 12);
    text += "==";
  } else if (rest == 2) {
    const std::uint32_t group = byte(i) << 16 | byte(i + 1) << 8;
    put(group >> 18);
    put(group >> 12);
    put(group >> 6);
    text += '=';
  }
  return text;
}

// Lenient Base64: bytes outside the alphabet are skipped, the first '=' ends the text, and
// left-over bits that do not fill a byte are dropped. Never fails.
std::string Base64Decode(std::string_view text) {
  const std::array<unsigned char, 256>& table = Base64DecodeTable();
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3 + 2);
  std::uint32_t bits = 0;
  unsigned pending = 0;
  for (const char c : text) {
    if (c == '=') break;
    const unsigned char value = table[static_cast<unsigned char>(c)];
    if (value == kNotInAlphabet) continue;
    bits = (bits << 6 | value) & 0x3FFF;  // at most 7 old bits plus 6 new ones are pending
    pending += 6;
    if (pending >= 8) {
      pending -= 8;
      bytes.push_back(static_cast<char>(static_cast<unsigned char>(bits >> pending)));
    }
  }
  return bytes;
}

// Waits, with no time limit, until the non-blocking descriptor `fd` is ready for `events`, or shows a
// hang-up or an error, which the next read or write then reports. False only when the wait itself fails.
bool WaitUntilReady(int fd, short events) {
  pollfd target{fd, events, 0};
  return ::poll(&target, 1, -1) >= 0 || errno == EINTR;
}

// Where standard output stands between replies. A write that fails after part of a reply went out
// leaves it in the middle of a line, and the next reply then begins with LF: the cut reply stays
// damaged but alone on its line, and no later reply is read under its id. Only an LF that has gone
// out puts the output back at the start of a line.
struct ReplyOutput {
  bool mid_line = false;
};

// Writes the buffers `parts` to standard output, in order, with as few writes as the output takes.
// An output that would block (a full non-blocking pipe) is waited for until it takes more. Any
// other failure drops what is left of them: nothing is held back to come out before a later write.
// After each write that took bytes, `output` records whether the last of them was an LF.
void WriteToOutput(ReplyOutput& output, iovec* parts, int count) {
  while (count > 0) {
    const ssize_t written = ::writev(STDOUT_FILENO, parts, count);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitUntilReady(STDOUT_FILENO, POLLOUT)) return;
      continue;
    }
    if (written <= 0) return;
    auto done = static_cast<std::size_t>(written);
    char last = '\0';  // the last byte this write took
    while (count > 0 && done >= parts->iov_len) {
      if (parts->iov_len > 0) last = static_cast<const char*>(parts->iov_base)[parts->iov_len - 1];
      done -= parts->iov_len;
      ++parts;
      --count;
    }
    if (count > 0 && done > 0) {
      last = static_cast<const char*>(parts->iov_base)[done - 1];
      parts->iov_base = static_cast<char*>(parts->iov_base) + done;
      parts->iov_len -= done;
    }
    output.mid_line = last != '\n';
  }
}

// Writes one reply line, whose message is already `encoded` in Base64, straight to the output
// descriptor, after an LF when the output stands in the middle of a line; nothing of it stays
// buffered, and a failed write does not change what the helper does next. Takes no memory.
void WriteEncodedResponse(ReplyOutput& output, std::string_view id, std::string_view status,
                          std::string_view encoded) {
  char tab = '\t';
  char lf = '\n';
  const auto part = [](const void* data, std::size_t size) {
    return iovec{const_cast<void*>(data), size};
  };
  iovec parts[] = {part(&lf, output.mid_line ? 1 : 0),
                   part(id.data(), id.size()), part(&tab, 1),
                   part(status.data(), status.size()), part(&tab, 1),
                   part(encoded.data(), encoded.size()), part(&lf, 1)};
  WriteToOutput(output, parts, static_cast<int>(std::size(parts)));
}

// Writes one reply line with `message` as WriteEncodedResponse does. Throws std::bad_alloc when
// the message's Base64 text cannot be formed; nothing is written then.
void WriteResponse(ReplyOutput& output, std::string_view id, std::string_view status,
                   const std::string& message) {
  WriteEncodedResponse(output, id, status, Base64Encode(message));
}

// Writes `text` to standard error as far as it goes there; used only when the helper refuses to
// start, and standard error may be closed or fail.
void SayOnStandardError(std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

// Puts /dev/null on the closed descriptor `fd`, the lowest closed one; false when it cannot be opened
// there (no /dev, a node of mode 000, no descriptor left).
bool FillWithNull(int fd) {
  // The lower descriptors are open, so the open takes the lowest free number: this one.
  const int null_fd = ::open("/dev/null", O_RDWR);
  if (null_fd == fd) return true;
  if (null_fd >= 0) ::close(null_fd);
  return false;
}

// Puts the read end of a new pipe on the closed descriptor `fd` and closes the write end: as input
// it ends at once, and as output every write on it fails, as on a closed output. False when no pipe
// can be made.
bool FillWithPipe(int fd) {
  int ends[2];
  if (::pipe(ends) != 0) return false;
  if (ends[0] != fd) {
    // The read end did not take the lowest number: move it there, over the write end if that did.
    if (::dup2(ends[0], fd) != fd) {
      ::close(ends[0]);
      ::close(ends[1]);
      return false;
    }
    ::close(ends[0]);
  }
  if (ends[1] != fd) ::close(ends[1]);
  return true;
}

// Fills each of the descriptors 0, 1 and 2 that is closed, so that a file opened later (by the SDK,
// say) cannot take a standard descriptor's number and receive the replies: with /dev/null, or where
// that cannot be opened, with the read end of a pipe. False when neither can be had.
bool FillClosedStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (!FillWithNull(fd) && !FillWithPipe(fd)) return false;
  }
  return true;
}

// True when the descriptor `fd` is a socket whose type is not SOCK_STREAM. Such a socket keeps
// packet bounds. As input, a read cuts a packet longer than its buffer and drops the rest, and an
// empty packet reads as the end of input, so requests would be lost or joined under a wrong id. As
// output, a reply longer than the socket's packet limit fails whole (EMSGSIZE) and is lost.
bool KeepsPacketBounds(int fd) {
  int type = 0;
  socklen_t size = sizeof type;
  // Fails with ENOTSOCK for every descriptor that is not a socket.
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0) return false;
  return type != SOCK_STREAM;
}

// Decodes the `count` TAB-separated argument fields of `fields` (count - 1 TABs) in order.
Args DecodeArguments(std::string_view fields, std::size_t count) {
  Args args;
  args.reserve(count);
  for (std::size_t i = 1; i < count; ++i) {
    const std::size_t tab = fields.find('\t');
    args.push_back(Base64Decode(fields.substr(0, tab)));
    fields.remove_prefix(tab + 1);
  }
  if (count > 0) args.push_back(Base64Decode(fields));
  return args;
}

// ---- Kalvex session ---------------------------------------------------------------------------

// The one session record. `wrapper` is owned and handed back only through ReleaseWrapper.
struct KalvexState {
  kalvex::KalvexWrapperBase* wrapper = nullptr;
  long long aid = 0;
  bool is_debug = false;
  bool jotrel_ready = false;
  std::string host;
  std::string root_path;
  std::string did;
  std::string uid;
  std::string app_version;
  std::string channel;
  std::string global_session_id;
  std::string process_name;
  std::string pid;
  std::string product;
  std::string env;
  std::string platform;
};

KalvexState g_state;

// Ends the SDK session, if any: the log facility is marked stopped and the wrapper destroyed.
void ReleaseWrapper() {
  g_state.jotrel_ready = false;
  if (g_state.wrapper != nullptr) {
    kalvex::KalvexWrapperBase* wrapper = g_state.wrapper;
    g_state.wrapper = nullptr;
    kalvex::DestroyKalvexWrapper(wrapper);
  }
}

// Hands `builder` to `destroy` while the exception of a call on it is being handled. What
// `destroy` throws is dropped, so that the exception being handled goes on unchanged.
template <typename Builder>
void DestroyAfterFailedCall(Builder*& builder, void (*destroy)(Builder*&)) noexcept {
  try {
    destroy(builder);
  } catch (...) {
  }
}

// Hands `builder` to `consume` and then to `destroy`, also when `consume` throws; the exception
// then goes on unchanged. When `consume` returned, an exception from `destroy` goes on.
template <typename Builder, typename Consume>
void ConsumeBuilder(Builder*& builder, void (*destroy)(Builder*&), Consume consume) {
  try {
    consume(*builder);
  } catch (...) {
    DestroyAfterFailedCall(builder, destroy);
    throw;
  }
  destroy(builder);
}

// A new global-environment builder filled from g_state, owned by the caller (who hands it to
// DestroyKalvexGlobalEnvBuilder). Throws std::runtime_error when the SDK gives none; a setter that
// throws has the builder handed back first.
kalvex::KalvexGlobalEnvBuilderBase* BuildGlobalEnv() {
  kalvex::KalvexGlobalEnvBuilderBase* builder = kalvex::CreateKalvexGlobalEnvBuilder(g_state.aid);
  if (builder == nullptr) throw std::runtime_error("CreateKalvexGlobalEnvBuilder failed");
  try {
    builder->SetHost(g_state.host.c_str())
        .SetRootPathName(g_state.root_path.c_str())
        .SetDid(g_state.did.c_str())
        .SetUid(g_state.uid.c_str())
        .SetAppVersion(g_state.app_version.c_str())
        .SetChannel(g_state.channel.c_str())
        .SetSessionID(g_state.global_session_id.c_str());
  } catch (...) {
    DestroyAfterFailedCall(builder, &kalvex::DestroyKalvexGlobalEnvBuilder);
    throw;
  }
  return builder;
}

void AddContextIfSet(const char* key, const std::string& value) {
  if (!value.empty()) g_state.wrapper->AddRecordContext(key, value.c_str());
}

void RequireField(const std::string& value, const char* message) {
  if (value.empty()) throw std::runtime_error(message);
}

void HandleInit(const Args& args) {
  g_state.host = args[0];
  try {
    g_state.aid = std::stoll(args[1], nullptr, 10);
  } catch (const std::logic_error&) {  // std::invalid_argument or std::out_of_range
    throw std::runtime_error("Invalid integer field: aid");
  }
  g_state.root_path = args[2];
  if (!g_state.root_path.empty() && g_state.root_path.back() != '/' &&
      g_state.root_path.back() != '\\') {
    g_state.root_path += '/';
  }
  g_state.did = args[3];
  g_state.uid = args[4];
  g_state.app_version = args[5];
  g_state.channel = args[6];
  g_state.global_session_id = args[7];
  g_state.process_name = args[8];
  g_state.pid = args[9];
  g_state.is_debug = args[10] == "1" || args[10] == "true" || args[10] == "TRUE";
  g_state.product = args[11];
  g_state.env = args[12];
  g_state.platform = args[13];

  RequireField(g_state.host, "Kalvex host is required");
  RequireField(g_state.root_path, "Kalvex root path is required");
  RequireField(g_state.did, "Kalvex did is required");
  RequireField(g_state.process_name, "Kalvex process name is required");
  RequireField(g_state.pid, "Kalvex pid is required");

  ReleaseWrapper();
  kalvex::KalvexGlobalEnvBuilderBase::SetIsDebug(g_state.is_debug);
  g_state.wrapper = kalvex::CreateKalvexWrapper();
  if (g_state.wrapper == nullptr) throw std::runtime_error("CreateKalvexWrapper failed");
  kalvex::KalvexWrapperBase& wrapper = *g_state.wrapper;

  kalvex::KalvexGlobalEnvBuilderBase* global_builder = BuildGlobalEnv();
  ConsumeBuilder(global_builder, &kalvex::DestroyKalvexGlobalEnvBuilder,
                 [&wrapper](kalvex::KalvexGlobalEnvBuilderBase& b) { wrapper.InitGlobalEnv(b); });

  kalvex::KalvexEnvBuilderBase* env_builder =
      kalvex::CreateKalvexEnvBuilder(g_state.aid, "nimbrel-main");
  if (env_builder == nullptr) throw std::runtime_error("CreateKalvexEnvBuilder failed");
  try {
    env_builder->SetProcessName(g_state.process_name.c_str()).SetPid(g_state.pid.c_str());
  } catch (...) {
    DestroyAfterFailedCall(env_builder, &kalvex::DestroyKalvexEnvBuilder);
    throw;
  }
  ConsumeBuilder(env_builder, &kalvex::DestroyKalvexEnvBuilder,
                 [&wrapper](kalvex::KalvexEnvBuilderBase& b) { wrapper.InitInstanceEnv(b); });

  AddContextIfSet("product", g_state.product);
  AddContextIfSet("env", g_state.env);
  AddContextIfSet("platform", g_state.platform);
  AddContextIfSet("channel", g_state.channel);
  AddContextIfSet("app_version", g_state.app_version);
  AddContextIfSet("device_id", g_state.did);
  AddContextIfSet("user_unique_id", g_state.uid);
  wrapper.LaunchReport();
  wrapper.Upload();
  const std::string log_dir = g_state.root_path + "jotrel";
  wrapper.InitJotrel(log_dir.c_str(), g_state.process_name.c_str());
  wrapper.UploadJotrelIfCrashed();
  g_state.jotrel_ready = true;
  wrapper.OpenCloudMessage(300000);
}

void HandleSetUserUniqueId(const Args& args) {
  if (g_state.wrapper == nullptr) throw std::runtime_error("Kalvex helper is not initialized");
  kalvex::KalvexWrapperBase& wrapper = *g_state.wrapper;
  g_state.uid = args[0];
  kalvex::KalvexGlobalEnvBuilderBase* builder = BuildGlobalEnv();
  ConsumeBuilder(builder, &kalvex::DestroyKalvexGlobalEnvBuilder,
                 [&wrapper](kalvex::KalvexGlobalEnvBuilderBase& b) { wrapper.ResetGlobalEnv(b); });
  AddContextIfSet("user_unique_id", g_state.uid);
}

kalvex::JOTREL_LEVEL LevelFromName(const std::string& name) {
  if (name == "verbose") return kalvex::JOTREL_LEVEL_VERBOSE;
  if (name == "debug") return kalvex::JOTREL_LEVEL_DEBUG;
  if (name == "warn") return kalvex::JOTREL_LEVEL_WARN;
  if (name == "error") return kalvex::JOTREL_LEVEL_ERROR;
  return kalvex::JOTREL_LEVEL_INFO;
}

void HandleWriteLog(const Args& args) {
  if (g_state.wrapper == nullptr) throw std::runtime_error("Kalvex helper is not initialized");
  if (!g_state.jotrel_ready) throw std::runtime_error("Kalvex jotrel is not initialized");
  g_state.wrapper->WriteJotrel(LevelFromName(args[0]), args[1].c_str(), args[2].c_str());
}

void HandleShutdown(const Args&) { ReleaseWrapper(); }

// ---- Dispatch and request loop ----------------------------------------------------------------

struct Method {
  std::string_view name;
  bool any_count;         // shutdown takes any number of arguments, and ignores them
  std::size_t arg_count;  // otherwise exactly this many
  const char* count_message;
  void (*handler)(const Args&);
};

constexpr Method kMethods[] = {
    {"init", false, 14, "init expects 14 arguments", HandleInit},
    {"setUserUniqueId", false, 1, "setUserUniqueId expects 1 argument", HandleSetUserUniqueId},
    {"writeLog", false, 3, "writeLog expects 3 arguments", HandleWriteLog},
    {"shutdown", true, 0, nullptr, HandleShutdown},
};

// The method named `name` in kMethods, or null.
const Method* FindMethod(std::string_view name) {
  for (const Method& m : kMethods) {
    if (m.name == name) return &m;
  }
  return nullptr;
}

constexpr std::string_view kUnknownMethod = "Unknown method: ";

// Answers the request `id` for `method` with the `arg_count` argument fields `fields`, as
// HandleLine describes. Throws std::bad_alloc when the arguments, or the reply, cannot be formed.
bool Dispatch(ReplyOutput& output, std::string_view id, std::string_view method,
              std::string_view fields, std::size_t arg_count) {
  const Method* const known = FindMethod(method);
  if (known == nullptr) {
    // The text of a failure ends at its first NUL, as an exception's what() text does.
    const std::string_view shown = method.substr(0, method.find('\0'));
    std::string message;
    message.reserve(kUnknownMethod.size() + shown.size());
    message.append(kUnknownMethod).append(shown);
    WriteResponse(output, id, "err", message);
    return false;
  }
  const bool takes_args = !known->any_count && arg_count == known->arg_count;
  if (!takes_args && !known->any_count) {
    WriteResponse(output, id, "err", known->count_message);
    return false;
  }
  const Args args = takes_args ? DecodeArguments(fields, arg_count) : Args();
  try {
    known->handler(args);
  } catch (const std::exception& e) {
    WriteResponse(output, id, "err", e.what());
    return false;
  } catch (...) {
    WriteResponse(output, id, "err", "unknown exception");
    return false;
  }
  WriteResponse(output, id, "ok", "");
  return known->name == "shutdown";
}

// Handles one request line, with its reply if it asks for one. True after a successful `shutdown`.
//
// The line's cost stays in proportion to its length, not to its count of fields: the TABs are
// counted and the method looked up first, and only the arguments of a known method with the right
// count are split and decoded; those of `shutdown` (ignored) and of an unknown method (unused)
// never are. Decoding cannot fail, so the replies are the same as if every field were decoded first.
//
// A request whose arguments, "err" text or encoded reply cannot be formed for want of memory gets
// the "err" reply whose message is `out_of_memory`, encoded before the first request, in place of
// its own. A handler's own failure, std::bad_alloc included, is answered with its text as ever.
bool HandleLine(const std::string& line, ReplyOutput& output, std::string_view out_of_memory) {
  const auto tabs = static_cast<std::size_t>(std::count(line.begin(), line.end(), '\t'));
  if (tabs == 0) return false;  // an empty line, or one without a TAB
  const std::string_view text(line);
  const std::size_t id_end = text.find('\t');
  const std::string_view id = text.substr(0, id_end);
  const std::string_view rest = text.substr(id_end + 1);
  const std::size_t method_end = rest.find('\t');
  const std::string_view method = rest.substr(0, method_end);
  const std::string_view fields =
      method_end == std::string_view::npos ? std::string_view() : rest.substr(method_end + 1);
  try {
    return Dispatch(output, id, method, fields, tabs - 1);
  } catch (const std::bad_alloc&) {
    WriteEncodedResponse(output, id, "err", out_of_memory);
  }
  return false;
}

// Reads standard input line by line through a buffer of its own. Descriptor 0 is read directly, so
// that an input the parent left non-blocking is waited for like a blocking one: only a read that
// meets the end of input, or a read that fails, ends it.
class LineReader {
 public:
  // Puts the next line, without its LF, into `line` and returns true. A last line without LF counts
  // once the input ends. Returns false at the end of input, and after a failed read, which drops an
  // unfinished line; from then on it reads nothing. Throws std::bad_alloc when `line` cannot grow.
  bool Next(std::string& line);

  // True when no whole line waits in the buffer and nothing can be read from the input at once:
  // the parent has not yet written the next request, or not all of it. False once the input ended.
  bool Idle() const;

  // Moves a seekable input back by what the buffer still holds, to the first byte not handed out,
  // so that whoever reads the same descriptor next begins there; from then on it reads nothing. A
  // pipe, a socket or a terminal cannot be moved back: what it passed to the buffer stays read.
  void GiveBackUnread();

 private:
  enum class Filled { kData, kEnd, kFailed };
  // Reads into the empty buffer, waiting while a non-blocking input has nothing yet.
  Filled Fill();

  static constexpr std::size_t kChunk = std::size_t{64} << 10;
  std::vector<char> buffer_ = std::vector<char>(kChunk);
  std::size_t begin_ = 0;  // buffer_[begin_, end_) is read but not yet handed out
  std::size_t end_ = 0;
  bool ended_ = false;
};

bool LineReader::Next(std::string& line) {
  line.clear();
  if (ended_) return false;
  for (;;) {
    const char* const data = buffer_.data();
    const void* const lf = std::memchr(data + begin_, '\n', end_ - begin_);
    if (lf != nullptr) {
      const auto at = static_cast<std::size_t>(static_cast<const char*>(lf) - data);
      line.append(data + begin_, at - begin_);
      begin_ = at + 1;
      return true;
    }
    line.append(data + begin_, end_ - begin_);
    begin_ = end_ = 0;
    switch (Fill()) {
      case Filled::kData:
        continue;
      case Filled::kEnd:
        ended_ = true;
        return !line.empty();
      case Filled::kFailed:
        ended_ = true;
        line.clear();
        return false;
    }
  }
}

bool LineReader::Idle() const {
  if (ended_) return false;
  if (std::memchr(buffer_.data() + begin_, '\n', end_ - begin_) != nullptr) return false;
  pollfd input{STDIN_FILENO, POLLIN, 0};
  // A failed poll counts as idle too: giving memory back early costs only time.
  return ::poll(&input, 1, 0) <= 0;
}

void LineReader::GiveBackUnread() {
  const auto held = static_cast<off_t>(end_ - begin_);
  begin_ = end_ = 0;
  ended_ = true;
  // Fails with ESPIPE where the input cannot seek: there is nothing to go back to then.
  if (held != 0) (void)::lseek(STDIN_FILENO, -held, SEEK_CUR);
}

LineReader::Filled LineReader::Fill() {
  for (;;) {
    const ssize_t got = ::read(STDIN_FILENO, buffer_.data(), buffer_.size());
    if (got > 0) {
      end_ = static_cast<std::size_t>(got);
      return Filled::kData;
    }
    if (got == 0) return Filled::kEnd;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return Filled::kFailed;
    // Waiting for the parent is the helper's normal state.
    if (!WaitUntilReady(STDIN_FILENO, POLLIN)) return Filled::kFailed;
  }
}

// A line longer than this is large: its buffer, and with it the free memory of the heap, is given
// back after its request rather than kept for the rest of the run, unless more large lines follow.
constexpr std::size_t kLargeLine = std::size_t{4} << 20;

// Hands the free memory of the heap back to the system. glibc's allocator keeps it: once its mmap
// threshold has grown, a large request's arguments and reply come from the heap, which is not
// trimmed by itself. Elsewhere the allocator returns large blocks on its own.
void GiveBackFreeMemory() {
#ifdef __GLIBC__
  ::malloc_trim(0);  // the result says only whether there was memory to give back
#endif
}

// Decides after each request when the memory of large lines goes back to the system. It is kept
// through a run of large lines, so that each of them does not grow its buffer and fault its pages
// in anew, and given back after a large line that follows smaller ones, after the line that ends a
// run of large ones, and whenever the input falls idle after a large line.
class LineMemory {
 public:
  // Called with the line of the request just handled, and the reader that it came from.
  void AfterRequest(std::string& line, const LineReader& input) {
    const bool large = line.size() > kLargeLine;
    const bool first_of_run = large && !previous_large_;
    previous_large_ = large;
    held_ = held_ || large;
    if (held_ && (first_of_run || !large || input.Idle())) {
      std::string().swap(line);
      GiveBackFreeMemory();
      held_ = false;
    }
  }

 private:
  bool previous_large_ = false;
  bool held_ = false;  // a large line's memory has not been given back since
};

// Reads and answers requests until the end of input, a failed read or a successful `shutdown`,
// which leaves the input just after its line. `out_of_memory` is the encoded message of the reply
// to a request that runs out of memory.
void RunRequestLoop(std::string_view out_of_memory) {
  LineReader input;
  ReplyOutput output;
  LineMemory memory;
  std::string line;
  while (input.Next(line)) {
    if (HandleLine(line, output, out_of_memory)) {
      input.GiveBackUnread();
      return;
    }
    memory.AfterRequest(line, input);
  }
}

constexpr std::string_view kNoStandardDescriptor =
    "kalvex-helper: a standard descriptor is closed, and neither /dev/null nor a pipe can take "
    "its place\n";
constexpr std::string_view kNoByteStreamInput =
    "kalvex-helper: standard input is a socket that does not carry a byte stream\n";
constexpr std::string_view kNoByteStreamOutput =
    "kalvex-helper: standard output is a socket that does not carry a byte stream\n";
constexpr char kOutOfMemory[] = "kalvex-helper ran out of memory";

}  // namespace

int main() {
  // The refusals come before any request is read, and before the SDK is called.
  if (!FillClosedStandardDescriptors()) {
    SayOnStandardError(kNoStandardDescriptor);
    return 1;
  }
  if (KeepsPacketBounds(STDIN_FILENO)) {
    SayOnStandardError(kNoByteStreamInput);
    return 1;
  }
  if (KeepsPacketBounds(STDOUT_FILENO)) {
    SayOnStandardError(kNoByteStreamOutput);
    return 1;
  }
  int exit_code = 0;
  try {
    // Set aside before the first request, so that a request that runs out of memory needs none
    // for its reply.
    const std::string out_of_memory = Base64Encode(kOutOfMemory);
    RunRequestLoop(out_of_memory);
  } catch (...) {
    // Out of memory while a request line was read (its id may not have come yet), or at start.
    exit_code = 1;
  }
  try {
    ReleaseWrapper();
  } catch (...) {
    exit_code = 1;
  }
  return exit_code;
}
