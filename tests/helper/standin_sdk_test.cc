// The stand-in SDK itself: each setter returns an object of its own, which the stand-in refuses
// where the builder belongs, so that the helper's tests notice a helper that hands over the wrong
// one.
#include <gtest/gtest.h>

#include <stdexcept>

#include "kalvex/kalvex_sdk.h"

namespace helper_test {
namespace {

TEST(StandinSdk, SetterResultsAreRefusedWhereTheBuilderBelongs) {
  kalvex::KalvexWrapperBase* wrapper = kalvex::CreateKalvexWrapper();
  kalvex::KalvexGlobalEnvBuilderBase* global = kalvex::CreateKalvexGlobalEnvBuilder(1);
  kalvex::KalvexEnvBuilderBase* env = kalvex::CreateKalvexEnvBuilder(1, "main");
  ASSERT_TRUE(wrapper != nullptr && global != nullptr && env != nullptr);
  kalvex::KalvexGlobalEnvBuilderBase* global_result = &global->SetHost("h").SetSessionID("s");
  kalvex::KalvexEnvBuilderBase* env_result = &env->SetProcessName("p").SetPid("1");
  EXPECT_NE(global_result, global);
  EXPECT_NE(env_result, env);

  EXPECT_THROW(wrapper->InitGlobalEnv(*global_result), std::logic_error);
  EXPECT_THROW(wrapper->ResetGlobalEnv(*global_result), std::logic_error);
  EXPECT_THROW(wrapper->InitInstanceEnv(*env_result), std::logic_error);
  EXPECT_THROW(kalvex::DestroyKalvexGlobalEnvBuilder(global_result), std::logic_error);
  EXPECT_THROW(kalvex::DestroyKalvexEnvBuilder(env_result), std::logic_error);

  // The builders are taken, and freeing them frees their setters' results (LeakSanitizer checks).
  EXPECT_NO_THROW(wrapper->InitGlobalEnv(*global));
  EXPECT_NO_THROW(wrapper->InitInstanceEnv(*env));
  kalvex::DestroyKalvexGlobalEnvBuilder(global);
  kalvex::DestroyKalvexEnvBuilder(env);
  EXPECT_EQ(global, nullptr);
  EXPECT_EQ(env, nullptr);
  kalvex::DestroyKalvexWrapper(wrapper);
}

}  // namespace
}  // namespace helper_test
