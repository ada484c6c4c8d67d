// The domain manager: per-thread current domains, the shared registry
// handle and the domain exceptions.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "GxCore/MrDomainMan.h"
#include "GxCore/domainexc.h"
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

TEST(DomainExceptions, ThrowRecordsTheLocationKeepsCodeAndClassAndPrintLogsTheCode) {
  NoDomainException e;
  try {
    e.throwException("host.cpp", 42);
    FAIL() << "not thrown";
  } catch (NoDomainException const& thrown) {
    EXPECT_EQ(thrown.code(), 0x1354A554u);
    EXPECT_STREQ(thrown.className(), "NoDomainException");
    EXPECT_NE(std::string(thrown.what()).find("host.cpp:42"), std::string::npos);
  }
  std::unique_ptr<daDomainException> copy(NoDomainManagerException().clone());
  EXPECT_EQ(copy->code(), 0x1354A553u);
  EXPECT_THROW(copy->throwException(__FILE__, __LINE__), NoDomainManagerException);
  gxtest::MessageCapture messages;
  copy->print();
  e.print();
  EXPECT_EQ(messages.count(0x1354A553), 1u);
  EXPECT_EQ(messages.count(0x1354A554), 1u);
}

TEST(DaDomain, CopiesCarryNoNameButLocalDomainsKeepTheirs) {
  daDomain named("sales");
  EXPECT_STREQ(named.getName().getChars(), "sales");
  std::unique_ptr<ZObject_6_0> copy(named.clone());
  EXPECT_TRUE(static_cast<daDomain*>(copy.get())->getName().isEmpty());
  daDomain assigned("other");
  assigned = named;
  EXPECT_STREQ(assigned.getName().getChars(), "other");

  auto* policy = reinterpret_cast<daLocalPolicy*>(0x1000);
  daLocalDomain local("sales", policy);
  std::unique_ptr<ZObject_6_0> localCopy(local.clone());
  auto* lc = static_cast<daLocalDomain*>(localCopy.get());
  EXPECT_STREQ(lc->getName().getChars(), "sales");
  EXPECT_EQ(lc->getLocalPolicy(), policy);
}

}  // namespace
