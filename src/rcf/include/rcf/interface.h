// Interface declaration macros: they generate the client class RcfClient<Interface> with one call stub per
// method, in the namespace where they are used.
//
//   RCF_BEGIN(IEcho, "IEcho")                        // tag type IEcho, interface name "IEcho"
//     RCF_METHOD_V2(void, Put, const Item&, Item&)   // function id 0: no result, two parameters
//     RCF_METHOD_R0(std::string, Name)               // function id 1: a result, no parameters
//   RCF_END(IEcho)
//
// Function ids are the methods' positions. `RcfClient<IEcho>(endpoint, bindingName)` calls the server
// object bound under bindingName, or under the interface name when bindingName is empty. Parameters
// passed by const reference or by value travel to the server only; non-const references travel both
// ways. A stub changes its caller's out-parameters only when the whole reply decoded; values the reply
// body does not reach (it ended early) keep what the caller had. Every failure raises RCF::Exception.
#ifndef BRANNIC_SRC_RCF_INCLUDE_RCF_INTERFACE_H_
#define BRANNIC_SRC_RCF_INCLUDE_RCF_INTERFACE_H_

#include <cstdint>
#include <string>
#include <tuple>
#include <type_traits>

#include "rcf/archive.h"
#include "rcf/client.h"
#include "rcf/client_stub.h"
#include "rcf/endpoint.h"

namespace RCF {
namespace detail {

// One parameter of a call stub, as declared (`const T&`, `T&` or `T`).
template <typename Declared>
class ParamSlot {
  using Ref = std::remove_reference_t<Declared>&;
  using Value = std::remove_cv_t<std::remove_reference_t<Declared>>;
  static constexpr bool kOut =
      std::is_lvalue_reference_v<Declared> && !std::is_const_v<std::remove_reference_t<Declared>>;
  struct Empty {};

 public:
  explicit ParamSlot(Ref arg) : arg_(arg) {}

  void write(SF::Archive& ar) const {
    // Writing never modifies the value; serialize() is one non-const function for both directions.
    ar & const_cast<Value&>(arg_);
  }
  // Decodes into a copy, so a reply that fails later leaves the caller's value untouched.
  void read(SF::Archive& ar) {
    if constexpr (kOut) {
      if (!ar.atEnd()) {
        copy_ = arg_;
        ar & copy_;
        hasCopy_ = true;
      }
    } else {
      (void)ar;
    }
  }
  void commit() {
    if constexpr (kOut) {
      if (hasCopy_) arg_ = std::move(copy_);
    }
  }

 private:
  Ref arg_;
  std::conditional_t<kOut, Value, Empty> copy_{};
  bool hasCopy_ = false;
};

template <typename R>
struct ResultSlot {
  R value{};
  void read(SF::Archive& ar) {
    if (!ar.atEnd()) ar & value;
  }
  R take() { return std::move(value); }
};
template <>
struct ResultSlot<void> {
  void read(SF::Archive&) {}
  void take() {}
};

template <typename R, typename... Declared>
R invoke(ClientStub& stub, std::int32_t functionId, Declared... args) {
  std::tuple<ParamSlot<Declared>...> params(args...);
  ResultSlot<R> result;
  auto write = [&params](SF::Archive& ar) { std::apply([&ar](auto&... p) { (p.write(ar), ...); }, params); };
  auto read = [&params, &result](SF::Archive& ar) {
    result.read(ar);
    std::apply([&ar](auto&... p) { (p.read(ar), ...); }, params);
  };
  using Write = decltype(write);
  using Read = decltype(read);
  stub.call(functionId,
            {&write, [](void* c, SF::Archive& ar) { (*static_cast<Write*>(c))(ar); }},
            {&read, [](void* c, SF::Archive& ar) { (*static_cast<Read*>(c))(ar); }});
  std::apply([](auto&... p) { (p.commit(), ...); }, params);
  return result.take();
}

}  // namespace detail
}  // namespace RCF

#define RCF_BEGIN(InterfaceType, InterfaceName)                                               \
  struct InterfaceType {                                                                      \
    static constexpr const char* kInterfaceName = InterfaceName;                             \
  };                                                                                          \
  template <typename Interface>                                                               \
  class RcfClient;                                                                            \
  template <>                                                                                 \
  class RcfClient<InterfaceType> : public ::RCF::I_RcfClient {                                \
    static constexpr int kRcfFunctionIdBase = __COUNTER__;                                    \
                                                                                              \
   public:                                                                                    \
    RcfClient(const ::RCF::Endpoint& endpoint, const std::string& bindingName)               \
        : ::RCF::I_RcfClient(InterfaceType::kInterfaceName, endpoint, bindingName) {}

#define RCF_DETAIL_FUNCTION_ID(Name) \
  static constexpr std::int32_t kRcfFunctionId_##Name = __COUNTER__ - kRcfFunctionIdBase - 1

#define RCF_METHOD_R0(R, Name)                                                           \
  RCF_DETAIL_FUNCTION_ID(Name);                                                             \
  R Name() { return ::RCF::detail::invoke<R>(getClientStub(), kRcfFunctionId_##Name); }

#define RCF_METHOD_V2(R, Name, A1, A2)                                                   \
  RCF_DETAIL_FUNCTION_ID(Name);                                                             \
  static_assert(std::is_void_v<R>, "RCF_METHOD_V2 declares a method without a result");  \
  void Name(A1 a1, A2 a2) {                                                              \
    ::RCF::detail::invoke<void, A1, A2>(getClientStub(), kRcfFunctionId_##Name, a1, a2); \
  }

#define RCF_END(InterfaceType) \
  }                            \
  ;

#endif  // BRANNIC_SRC_RCF_INCLUDE_RCF_INTERFACE_H_
