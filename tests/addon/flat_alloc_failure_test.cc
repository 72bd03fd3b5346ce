// The flat interface when memory runs out: every operation reports a code, none lets an exception out,
// and the context stays usable. This binary replaces the global allocator so a test can make the N-th
// allocation from now on fail.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <cstdlib>
#include <new>
#include <string>

#include "brannic.h"
#include "real_path_daemon.h"

namespace {

std::atomic<long> g_failIn{0};  // 0: never fail; N: the N-th allocation from now fails

void* allocate(std::size_t size) {
  const long n = g_failIn.load();
  if (n > 0 && g_failIn.fetch_sub(1) == 1) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

// Makes the n-th allocation from now fail (once); 0 switches failures off.
void failAllocation(long n) { g_failIn.store(n); }

std::string text(const char* p) { return p == nullptr ? "<null>" : p; }

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

TEST(FlatAllocFailure, InitReportsNoMemory) {
  brannic_ctx* ctx = nullptr;
  failAllocation(1);
  EXPECT_EQ(brannic_init(&ctx), BNQ_ERR_NO_MEMORY);
  failAllocation(0);
  EXPECT_EQ(ctx, nullptr);
  EXPECT_EQ(text(brannic_get_init_error()), "allocation failed");
}

TEST(FlatAllocFailure, EveryAllocationOfEveryRequest) {
  brannic_test::RealPathDaemon daemon({"--data", "3=token", "--data", "6={\"sessionId\":\"s\"}"});
  brannic_ctx* ctx = nullptr;
  ASSERT_EQ(brannic_init(&ctx), BNQ_OK);
  char token[65];
  char session[37];
  char result[16];
  const std::string longText(9000, 'x');
  // Each operation with the n-th allocation inside it failing, for every n until one runs clean.
  const std::function<int32_t()> operations[] = {
      [&] { return brannic_report_signal(ctx, 3, longText.c_str()); },
      [&] { return brannic_trigger_signal(ctx, "{\"a\":1}"); },
      [&] { return brannic_check_signal(ctx, "{}", session, sizeof session, result, sizeof result); },
      [&] { return brannic_identity_agent(ctx, "{}", token, sizeof token); },
  };
  for (const auto& operation : operations) {
    for (long n = 1;; ++n) {
      failAllocation(n);
      const int32_t code = operation();
      const bool clean = g_failIn.load() > 0;  // the n-th allocation never came
      failAllocation(0);
      if (code != BNQ_OK) {
        EXPECT_TRUE(code == BNQ_ERR_NO_MEMORY || code == BNQ_ERR_DAEMON_UNAVAIL) << code << " at " << n;
        EXPECT_NE(brannic_get_last_error(ctx), nullptr) << n;
      }
      // The context still works after every failure.
      ASSERT_EQ(brannic_trigger_signal(ctx, "{}"), BNQ_OK) << text(brannic_get_last_error(ctx)) << " at " << n;
      if (clean) {
        EXPECT_EQ(code, BNQ_OK);
        break;
      }
      ASSERT_LT(n, 500) << "no allocation-free run";
    }
  }
  failAllocation(0);
  brannic_close(ctx);
}

}  // namespace
