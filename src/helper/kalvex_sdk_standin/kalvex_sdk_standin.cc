// The stand-in Kalvex SDK for builds without the framework. The builders and the wrapper keep what
// they are given; the wrapper's Jotrel facility writes real log files (see jotrel_log.h). Every
// call is reported to EnterCall, so tests can read the calls in order and inject failures.
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "call_record.h"
#include "jotrel_log.h"
#include "kalvex/kalvex_sdk.h"

namespace kalvex {
namespace {

bool g_is_debug = false;

struct GlobalEnv {
  long long aid = 0;
  std::string host, root_path, did, uid, app_version, channel, session_id;
};

struct InstanceEnv {
  long long aid = 0;
  std::string name, process_name, pid;
};

class GlobalEnvBuilder final : public KalvexGlobalEnvBuilderBase {
 public:
  GlobalEnvBuilder(std::string builder_name, long long aid) : name(std::move(builder_name)) {
    env.aid = aid;
  }

  std::string name;
  GlobalEnv env;
};

class EnvBuilder final : public KalvexEnvBuilderBase {
 public:
  EnvBuilder(std::string builder_name, long long aid, const char* process_name)
      : name(std::move(builder_name)) {
    env.aid = aid;
    env.name = process_name;
  }

  std::string name;
  InstanceEnv env;
};

// What one session was given, plus its open log.
class Wrapper final : public KalvexWrapperBase {
 public:
  explicit Wrapper(std::string wrapper_name) : name(std::move(wrapper_name)) {}

  std::string name;
  bool is_debug = g_is_debug;
  GlobalEnv global_env;
  InstanceEnv instance_env;
  std::vector<std::pair<std::string, std::string>> record_context;
  bool launch_reported = false;
  bool uploaded = false;
  bool jotrel_crash_upload = false;
  long cloud_message_interval_ms = 0;
  std::unique_ptr<standin::JotrelLog> jotrel;
};

GlobalEnvBuilder& Impl(KalvexGlobalEnvBuilderBase& builder) {
  return static_cast<GlobalEnvBuilder&>(builder);
}
EnvBuilder& Impl(KalvexEnvBuilderBase& builder) { return static_cast<EnvBuilder&>(builder); }
Wrapper& Impl(KalvexWrapperBase& wrapper) { return static_cast<Wrapper&>(wrapper); }

KalvexGlobalEnvBuilderBase& SetGlobalField(KalvexGlobalEnvBuilderBase& builder, const char* call,
                                           std::string GlobalEnv::*field, const char* value) {
  GlobalEnvBuilder& self = Impl(builder);
  standin::EnterCall(self.name, call, {value});
  self.env.*field = value;
  return builder;
}

KalvexEnvBuilderBase& SetInstanceField(KalvexEnvBuilderBase& builder, const char* call,
                                       std::string InstanceEnv::*field, const char* value) {
  EnvBuilder& self = Impl(builder);
  standin::EnterCall(self.name, call, {value});
  self.env.*field = value;
  return builder;
}

// Member calls that take no argument and only record that they happened.
void NoteCall(KalvexWrapperBase& wrapper, const char* call, bool Wrapper::*flag) {
  Wrapper& self = Impl(wrapper);
  standin::EnterCall(self.name, call, {});
  self.*flag = true;
}

}  // namespace

void KalvexGlobalEnvBuilderBase::SetIsDebug(bool is_debug) {
  standin::EnterCall("", "SetIsDebug", {is_debug ? "true" : "false"});
  g_is_debug = is_debug;
}

KalvexGlobalEnvBuilderBase& KalvexGlobalEnvBuilderBase::SetHost(const char* host) {
  return SetGlobalField(*this, "SetHost", &GlobalEnv::host, host);
}
KalvexGlobalEnvBuilderBase& KalvexGlobalEnvBuilderBase::SetRootPathName(const char* root_path) {
  return SetGlobalField(*this, "SetRootPathName", &GlobalEnv::root_path, root_path);
}
KalvexGlobalEnvBuilderBase& KalvexGlobalEnvBuilderBase::SetDid(const char* did) {
  return SetGlobalField(*this, "SetDid", &GlobalEnv::did, did);
}
KalvexGlobalEnvBuilderBase& KalvexGlobalEnvBuilderBase::SetUid(const char* uid) {
  return SetGlobalField(*this, "SetUid", &GlobalEnv::uid, uid);
}
KalvexGlobalEnvBuilderBase& KalvexGlobalEnvBuilderBase::SetAppVersion(const char* app_version) {
  return SetGlobalField(*this, "SetAppVersion", &GlobalEnv::app_version, app_version);
}
KalvexGlobalEnvBuilderBase& KalvexGlobalEnvBuilderBase::SetChannel(const char* channel) {
  return SetGlobalField(*this, "SetChannel", &GlobalEnv::channel, channel);
}
KalvexGlobalEnvBuilderBase& KalvexGlobalEnvBuilderBase::SetSessionID(const char* session_id) {
  return SetGlobalField(*this, "SetSessionID", &GlobalEnv::session_id, session_id);
}

KalvexEnvBuilderBase& KalvexEnvBuilderBase::SetProcessName(const char* process_name) {
  return SetInstanceField(*this, "SetProcessName", &InstanceEnv::process_name, process_name);
}
KalvexEnvBuilderBase& KalvexEnvBuilderBase::SetPid(const char* pid) {
  return SetInstanceField(*this, "SetPid", &InstanceEnv::pid, pid);
}

void KalvexWrapperBase::InitGlobalEnv(KalvexGlobalEnvBuilderBase& builder) {
  Wrapper& self = Impl(*this);
  standin::EnterCall(self.name, "InitGlobalEnv", {Impl(builder).name});
  self.global_env = Impl(builder).env;
}

void KalvexWrapperBase::ResetGlobalEnv(KalvexGlobalEnvBuilderBase& builder) {
  Wrapper& self = Impl(*this);
  standin::EnterCall(self.name, "ResetGlobalEnv", {Impl(builder).name});
  self.global_env = Impl(builder).env;
}

void KalvexWrapperBase::InitInstanceEnv(KalvexEnvBuilderBase& builder) {
  Wrapper& self = Impl(*this);
  standin::EnterCall(self.name, "InitInstanceEnv", {Impl(builder).name});
  self.instance_env = Impl(builder).env;
}

void KalvexWrapperBase::AddRecordContext(const char* key, const char* value) {
  Wrapper& self = Impl(*this);
  standin::EnterCall(self.name, "AddRecordContext", {key, value});
  self.record_context.emplace_back(key, value);
}

void KalvexWrapperBase::LaunchReport() {
  NoteCall(*this, "LaunchReport", &Wrapper::launch_reported);
}

void KalvexWrapperBase::Upload() { NoteCall(*this, "Upload", &Wrapper::uploaded); }

void KalvexWrapperBase::InitJotrel(const char* log_dir, const char* process_name) {
  Wrapper& self = Impl(*this);
  standin::EnterCall(self.name, "InitJotrel", {log_dir, process_name});
  self.jotrel = std::make_unique<standin::JotrelLog>(log_dir, process_name);
}

void KalvexWrapperBase::UploadJotrelIfCrashed() {
  NoteCall(*this, "UploadJotrelIfCrashed", &Wrapper::jotrel_crash_upload);
}

void KalvexWrapperBase::WriteJotrel(JOTREL_LEVEL level, const char* tag, const char* message) {
  Wrapper& self = Impl(*this);
  const int value = static_cast<int>(level);
  standin::EnterCall(self.name, "WriteJotrel", {std::to_string(value), tag, message});
  if (!self.jotrel) throw std::logic_error("WriteJotrel before InitJotrel");
  self.jotrel->Write(value, tag, message);
}

void KalvexWrapperBase::OpenCloudMessage(long interval_ms) {
  Wrapper& self = Impl(*this);
  standin::EnterCall(self.name, "OpenCloudMessage", {std::to_string(interval_ms)});
  self.cloud_message_interval_ms = interval_ms;
}

KalvexWrapperBase* CreateKalvexWrapper() {
  const bool fail = standin::ShouldReturnNull("CreateKalvexWrapper");
  const std::string name = fail ? "null" : standin::NextObjectName('w');
  standin::EnterCall("", "CreateKalvexWrapper", {name});
  return fail ? nullptr : new Wrapper(name);
}

// The Destroy functions free the object before the call is recorded, so that an injected failure
// leaks nothing.
void DestroyKalvexWrapper(KalvexWrapperBase*& wrapper) {
  const std::string name = wrapper ? Impl(*wrapper).name : "null";
  delete static_cast<Wrapper*>(wrapper);
  wrapper = nullptr;
  standin::EnterCall("", "DestroyKalvexWrapper", {name});
}

KalvexGlobalEnvBuilderBase* CreateKalvexGlobalEnvBuilder(long long aid) {
  const bool fail = standin::ShouldReturnNull("CreateKalvexGlobalEnvBuilder");
  const std::string name = fail ? "null" : standin::NextObjectName('g');
  standin::EnterCall("", "CreateKalvexGlobalEnvBuilder", {std::to_string(aid), name});
  return fail ? nullptr : new GlobalEnvBuilder(name, aid);
}

void DestroyKalvexGlobalEnvBuilder(KalvexGlobalEnvBuilderBase*& builder) {
  const std::string name = builder ? Impl(*builder).name : "null";
  delete static_cast<GlobalEnvBuilder*>(builder);
  builder = nullptr;
  standin::EnterCall("", "DestroyKalvexGlobalEnvBuilder", {name});
}

KalvexEnvBuilderBase* CreateKalvexEnvBuilder(long long aid, const char* process_name) {
  const bool fail = standin::ShouldReturnNull("CreateKalvexEnvBuilder");
  const std::string name = fail ? "null" : standin::NextObjectName('e');
  standin::EnterCall("", "CreateKalvexEnvBuilder", {std::to_string(aid), process_name, name});
  return fail ? nullptr : new EnvBuilder(name, aid, process_name);
}

void DestroyKalvexEnvBuilder(KalvexEnvBuilderBase*& builder) {
  const std::string name = builder ? Impl(*builder).name : "null";
  delete static_cast<EnvBuilder*>(builder);
  builder = nullptr;
  standin::EnterCall("", "DestroyKalvexEnvBuilder", {name});
}

}  // namespace kalvex
