// The operations of the Kalvex logging SDK that kalvex-helper calls.
//
// On macOS these resolve to the Kalvex framework; on Linux the stand-in library in
// src/helper/kalvex_sdk_standin/ implements them. Objects are created and destroyed only through the free functions below: a
// Create function returns a new object owned by the caller (or null on failure), and the matching
// Destroy function frees it and sets the caller's pointer variable to null. Texts are
// NUL-terminated and copied; nothing keeps a pointer to them after the call. Failures other than a
// null result are reported by throwing an exception derived from std::exception.
#ifndef BRANNIC_SRC_HELPER_KALVEX_SDK_INCLUDE_KALVEX_KALVEX_SDK_H_
#define BRANNIC_SRC_HELPER_KALVEX_SDK_INCLUDE_KALVEX_KALVEX_SDK_H_

namespace kalvex {

// Level of one Jotrel log record, passed by value.
enum JOTREL_LEVEL {
  JOTREL_LEVEL_VERBOSE = 0,
  JOTREL_LEVEL_DEBUG = 1,
  JOTREL_LEVEL_INFO = 2,
  JOTREL_LEVEL_WARN = 3,
  JOTREL_LEVEL_ERROR = 4,
};

// Collects the global environment of a session. The setters form a chain: each stores its text in
// the builder and returns the object on which the next setter is called, which need not be this
// one. Only the builder that CreateKalvexGlobalEnvBuilder returned goes to the wrapper and to
// DestroyKalvexGlobalEnvBuilder.
class KalvexGlobalEnvBuilderBase {
 public:
  // Debug mode for the wrappers created after this call.
  static void SetIsDebug(bool is_debug);

  KalvexGlobalEnvBuilderBase& SetHost(const char* host);
  KalvexGlobalEnvBuilderBase& SetRootPathName(const char* root_path);
  KalvexGlobalEnvBuilderBase& SetDid(const char* did);
  KalvexGlobalEnvBuilderBase& SetUid(const char* uid);
  KalvexGlobalEnvBuilderBase& SetAppVersion(const char* app_version);
  KalvexGlobalEnvBuilderBase& SetChannel(const char* channel);
  KalvexGlobalEnvBuilderBase& SetSessionID(const char* session_id);

  KalvexGlobalEnvBuilderBase(const KalvexGlobalEnvBuilderBase&) = delete;
  KalvexGlobalEnvBuilderBase& operator=(const KalvexGlobalEnvBuilderBase&) = delete;

 protected:
  KalvexGlobalEnvBuilderBase() = default;
  ~KalvexGlobalEnvBuilderBase() = default;
};

// Collects the environment of one process of a session. Its setters chain as the global
// builder's do; only the builder that CreateKalvexEnvBuilder returned goes to the wrapper and to
// DestroyKalvexEnvBuilder.
class KalvexEnvBuilderBase {
 public:
  KalvexEnvBuilderBase& SetProcessName(const char* process_name);
  KalvexEnvBuilderBase& SetPid(const char* pid);

  KalvexEnvBuilderBase(const KalvexEnvBuilderBase&) = delete;
  KalvexEnvBuilderBase& operator=(const KalvexEnvBuilderBase&) = delete;

 protected:
  KalvexEnvBuilderBase() = default;
  ~KalvexEnvBuilderBase() = default;
};

// One SDK session. The builders passed in are read during the call and stay the caller's.
class KalvexWrapperBase {
 public:
  void InitGlobalEnv(KalvexGlobalEnvBuilderBase& builder);
  void ResetGlobalEnv(KalvexGlobalEnvBuilderBase& builder);
  void InitInstanceEnv(KalvexEnvBuilderBase& builder);
  // Adds one key and value that every record of the session carries.
  void AddRecordContext(const char* key, const char* value);
  void LaunchReport();
  void Upload();
  // Starts the log facility Jotrel, writing into the directory log_dir.
  void InitJotrel(const char* log_dir, const char* process_name);
  void UploadJotrelIfCrashed();
  // Writes one log record; needs InitJotrel first.
  void WriteJotrel(JOTREL_LEVEL level, const char* tag, const char* message);
  void OpenCloudMessage(long interval_ms);

  KalvexWrapperBase(const KalvexWrapperBase&) = delete;
  KalvexWrapperBase& operator=(const KalvexWrapperBase&) = delete;

 protected:
  KalvexWrapperBase() = default;
  ~KalvexWrapperBase() = default;
};

KalvexWrapperBase* CreateKalvexWrapper();
void DestroyKalvexWrapper(KalvexWrapperBase*& wrapper);

KalvexGlobalEnvBuilderBase* CreateKalvexGlobalEnvBuilder(long long aid);
void DestroyKalvexGlobalEnvBuilder(KalvexGlobalEnvBuilderBase*& builder);

KalvexEnvBuilderBase* CreateKalvexEnvBuilder(long long aid, const char* process_name);
void DestroyKalvexEnvBuilder(KalvexEnvBuilderBase*& builder);

}  // namespace kalvex

#endif  // BRANNIC_SRC_HELPER_KALVEX_SDK_INCLUDE_KALVEX_KALVEX_SDK_H_
