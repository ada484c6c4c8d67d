// The domain manager: per-thread current domains and the shared registry
// handle.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "GxCore/MrDomainMan.h"
#include "test_support.h"

namespace {

class TestDomainMan : public MrDomainMan {
 public:
  using MrDomainMan::MrDomainMan;
  unsigned long openDomains() override { return 0; }
  unsigned long closeDomains() override { return 0; }
  unsigned long refreshDomain(char const*) override { return 0; }
};

// A registry whose handle creation is counted and can be made to fail.
struct FakeRegistry {
  static inline std::atomic<int> creations{0};
  static inline std::atomic<unsigned long> failWith{0};
  static inline int handleStorage = 0;

  static bool yes() { return true; }
  static unsigned long create(udir_handle_t* handle, char const*, char const*) {
    ++creations;
    // Widen the window in which concurrent first calls could overlap.
    std::this_thread::yield();
    if (unsigned long f = failWith.load()) return f;
    *handle = reinterpret_cast<udir_handle_t>(&handleStorage);
    return 0;
  }
};

class DomainManRegistry : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeRegistry::creations = 0;
    FakeRegistry::failWith = 0;
    previous_ = udir_set_ops(udir_ops{&FakeRegistry::yes, &FakeRegistry::create});
  }
  void TearDown() override { udir_set_ops(previous_); }
  udir_ops previous_{};
};

// The same registry, for the tests run under the thread sanitizer.
class DomainManRegistryConcurrency : public DomainManRegistry {};

udir_handle_t fakeHandle() { return reinterpret_cast<udir_handle_t>(&FakeRegistry::handleStorage); }

TEST(DomainManConcurrency, ThreadsSeeTheirOwnDomains) {
  TestDomainMan man;
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::string mine = "domain" + std::to_string(t);
      for (int i = 0; i < 200; ++i) {
        man.setCurrentDomainName(mine.c_str());
        man.setCurrentDomainName("inner");
        man.clearCurrentDomainName();
        if (man.getCurrentDomainName().getChars() != mine) ++mismatches;
        man.clearCurrentDomainName();
      }
      // Left set: the stack object is freed when the thread ends.
      man.setCurrentDomainName(mine.c_str());
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_NO_THROW(man.clearCurrentDomainName());  // this thread never set one
  EXPECT_THROW(man.getCurrentDomainName(), ZInvalidParameterException_6_0);
}

TEST_F(DomainManRegistry, KnownFailuresAreLoggedAsThemselvesOthersAsHandleFailure) {
  TestDomainMan man;
  gxtest::MessageCapture messages;
  for (unsigned long known : {0x14C0141Cul, 0x14C0141Dul, 0x14C0141Eul}) {
    FakeRegistry::failWith = known;
    EXPECT_EQ(man.getInitUdirHandle("d"), known);
    EXPECT_EQ(messages.count(known), 1u);
  }
  FakeRegistry::failWith = 0x1234;
  EXPECT_EQ(man.getInitUdirHandle("d"), 0x1234u);
  EXPECT_EQ(messages.count(0x14C01420), 1u);
  EXPECT_EQ(man.getUdirHandle("d"), nullptr);
  EXPECT_EQ(messages.count(0x14C01420), 2u);
  // A failed creation is retried by the next call.
  FakeRegistry::failWith = 0;
  EXPECT_EQ(man.getUdirHandle("d"), fakeHandle());
  EXPECT_EQ(FakeRegistry::creations.load(), 6);
}

TEST_F(DomainManRegistryConcurrency, FirstCallsCreateTheHandleOnce) {
  TestDomainMan man;
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      if (man.getUdirHandle("d") != fakeHandle()) ++wrong;
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(FakeRegistry::creations.load(), 1);
}

}  // namespace
