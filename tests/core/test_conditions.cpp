// The conditions a decision applies after the ACL grants: the POP's access
// window (in UTC and in a named zone, across midnight and on the days
// clocks change), the authentication level its address requires, its
// quality of protection, the POP's warning mode over each, and the audit
// records a sink receives. Each row of the table was worked by hand.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <date/date.h>

#include "GxCore/GxAcl.h"
#include "GxCore/GxMapPObjectToACL.h"
#include "GxCore/GxPop.h"
#include "GxCore/daPolicyObjectMap.h"
#include "GxCore/daRule.h"
#include "GxCore/db/daCachedStore.h"
#include "outside/hxutil.h"
#include "test_support.h"

namespace {

using gxtest::TempDir;

// "2026-12-07 10:00" (UTC) in seconds since 1970.
std::int64_t utc(char const* text) {
  int y, mo, d, h, mi;
  EXPECT_EQ(std::sscanf(text, "%d-%d-%d %d:%d", &y, &mo, &d, &h, &mi), 5) << text;
  auto day = date::sys_days{date::year{y} / mo / d};
  return day.time_since_epoch().count() * 86400LL + h * 3600 + mi * 60;
}

constexpr unsigned kSun = 1, kMon = 2, kTue = 4, kWed = 8, kThu = 16, kFri = 32, kSat = 64;
constexpr unsigned kWeekdays = kMon | kTue | kWed | kThu | kFri;

// A POP's conditions; the IP-auth list is a default entry and 10.0.0.0/8.
struct Pop {
  unsigned days = 0;
  int from = 0, to = 0;
  unsigned reference = 0;  // 0 UTC, 1 host, 2 zone
  char const* zone = "";
  unsigned qop = 0;
  bool warning = false;
  unsigned defaultLevel = 0, insideLevel = 2;
  unsigned audit = daAuditPermit | daAuditDeny;
};

struct Ask {
  char const* time;
  int level = daDecisionContext::defaultAuthLevel;
  daProtection protection = daProtection::none;
  char const* address = nullptr;
  bool anonymous = false;
};

struct Row {
  char const* what;
  Pop pop;
  Ask ask;
  bool granted;
  daDecisionCause cause;      // the denial's, or what warning mode waived
  char const* reason;         // reason(), or wouldReason() for a warning
};

constexpr auto G = daDecisionCause::granted;
constexpr auto W = daDecisionCause::outsideWindow;
constexpr auto L = daDecisionCause::authLevel;
constexpr auto P = daDecisionCause::protection;
constexpr char const* kOutside = "outside the access window";

Pop office() { return Pop{kWeekdays, 8 * 60, 18 * 60}; }
Pop berlinOffice() { return Pop{kWeekdays, 8 * 60, 18 * 60, 2, "Europe/Berlin"}; }
Pop fridayNight() { return Pop{kFri, 22 * 60, 6 * 60}; }
Pop berlinTwoToThree() { return Pop{0, 2 * 60, 3 * 60, 2, "Europe/Berlin"}; }
Pop withQop(unsigned qop) { Pop p; p.qop = qop; return p; }
Pop warned(Pop p) { p.warning = true; return p; }

Row const kRows[] = {
    // The access window in UTC: Monday to Friday, 08:00 up to 18:00.
    {"office: Monday 10:00", office(), {"2026-12-07 10:00"}, true, G, ""},
    {"office: opens at 08:00", office(), {"2026-12-07 08:00"}, true, G, ""},
    {"office: 07:59 is before", office(), {"2026-12-07 07:59"}, false, W, kOutside},
    {"office: 18:00 is after", office(), {"2026-12-07 18:00"}, false, W, kOutside},
    {"office: Saturday", office(), {"2026-12-05 10:00"}, false, W, kOutside},
    {"office: Sunday", office(), {"2026-12-06 10:00"}, false, W, kOutside},
    // Across midnight: Friday 22:00 up to Saturday 06:00.
    {"night: Friday 23:00", fridayNight(), {"2026-12-04 23:00"}, true, G, ""},
    {"night: Saturday 03:00 is Friday's", fridayNight(), {"2026-12-05 03:00"}, true, G, ""},
    {"night: Friday 03:00 is Thursday's", fridayNight(), {"2026-12-04 03:00"}, false, W, kOutside},
    {"night: Saturday 06:00 has closed", fridayNight(), {"2026-12-05 06:00"}, false, W, kOutside},
    {"night: Saturday 23:00", fridayNight(), {"2026-12-05 23:00"}, false, W, kOutside},
    // Days only.
    {"Sundays: any time", Pop{kSun}, {"2026-12-06 00:00"}, true, G, ""},
    {"Sundays: not Monday", Pop{kSun}, {"2026-12-07 00:00"}, false, W, kOutside},
    {"Saturdays: last minute", Pop{kSat}, {"2026-12-05 23:59"}, true, G, ""},
    // A named zone: Berlin is UTC+1 in winter, UTC+2 in summer.
    {"Berlin: 07:30Z is 08:30", berlinOffice(), {"2026-12-07 07:30"}, true, G, ""},
    {"Berlin: 17:30Z is 18:30", berlinOffice(), {"2026-12-07 17:30"}, false, W, kOutside},
    {"Berlin summer: 06:30Z is 08:30", berlinOffice(), {"2026-07-06 06:30"}, true, G, ""},
    {"Berlin summer: 16:30Z is 18:30", berlinOffice(), {"2026-07-06 16:30"}, false, W, kOutside},
    {"Berlin: Sunday 23:30Z is Monday", berlinOffice(), {"2026-12-06 23:30"}, false, W, kOutside},
    // Clocks go forward at 02:00 on 2026-03-29: 02:00-03:00 never happens.
    {"spring: the day before, 02:30", berlinTwoToThree(), {"2026-03-28 01:30"}, true, G, ""},
    {"spring: 01:30 local", berlinTwoToThree(), {"2026-03-29 00:30"}, false, W, kOutside},
    {"spring: 03:30 local", berlinTwoToThree(), {"2026-03-29 01:30"}, false, W, kOutside},
    // Clocks go back at 03:00 on 2026-10-25: 02:00-03:00 happens twice.
    {"autumn: 02:30 summer time", berlinTwoToThree(), {"2026-10-25 00:30"}, true, G, ""},
    {"autumn: 02:30 winter time", berlinTwoToThree(), {"2026-10-25 01:30"}, true, G, ""},
    {"autumn: 03:30 winter time", berlinTwoToThree(), {"2026-10-25 02:30"}, false, W, kOutside},
    // Broken windows deny, warning mode or not.
    {"unknown zone", Pop{kWeekdays, 0, 0, 2, "Mars/Olympus"}, {"2026-12-07 10:00"}, false, W,
     "time zone Mars/Olympus unknown"},
    {"unknown zone in warning mode", warned(Pop{kWeekdays, 0, 0, 2, "Mars/Olympus"}), {"2026-12-07 10:00"}, false, W,
     "time zone Mars/Olympus unknown"},
    {"zone reference naming none", Pop{kWeekdays, 0, 0, 2, ""}, {"2026-12-07 10:00"}, false, W,
     "access window names no time zone"},
    {"minutes past a day", Pop{0, 60, 2000}, {"2026-12-07 10:00"}, false, W, "access window minutes outside 0..1440"},
    {"day bit past Saturday", Pop{0x80}, {"2026-12-07 10:00"}, false, W, "access window names a day past Saturday"},
    {"unknown time reference", Pop{kMon, 0, 0, 9}, {"2026-12-07 10:00"}, false, W,
     "access window time reference 9 unknown"},
    {"no day and no time: no window", Pop{0, 0, 0, 2, "Mars/Olympus"}, {"2026-12-07 10:00"}, true, G, ""},
    // The level the address requires: 2 in 10/8, the default elsewhere.
    {"level: 10/8 asks 2 of a password", Pop{}, {"2026-12-07 10:00", -1, daProtection::none, "10.1.1.1"}, false, L,
     "step-up to level 2 required"},
    {"level: 10/8 at level 2", Pop{}, {"2026-12-07 10:00", 2, daProtection::none, "10.1.1.1"}, true, G, ""},
    {"level: elsewhere the default 0", Pop{}, {"2026-12-07 10:00", -1, daProtection::none, "192.168.1.1"}, true, G,
     ""},
    {"level: no address, default 1, anonymous", Pop{0, 0, 0, 0, "", 0, false, 1},
     {"2026-12-07 10:00", -1, daProtection::none, nullptr, true}, false, L, "step-up to level 1 required"},
    {"level: no address, default 1, password", Pop{0, 0, 0, 0, "", 0, false, 1}, {"2026-12-07 10:00"}, true, G, ""},
    // Quality of protection.
    {"qop integrity: none", withQop(1), {"2026-12-07 10:00"}, false, P, "connection protection integrity required"},
    {"qop integrity: integrity", withQop(1), {"2026-12-07 10:00", -1, daProtection::integrity}, true, G, ""},
    {"qop privacy: integrity", withQop(2), {"2026-12-07 10:00", -1, daProtection::integrity}, false, P,
     "connection protection privacy required"},
    {"qop privacy: privacy", withQop(2), {"2026-12-07 10:00", -1, daProtection::privacy}, true, G, ""},
    {"qop past privacy, warning mode", warned(withQop(7)), {"2026-12-07 10:00", -1, daProtection::privacy}, false, P,
     "connection protection level 7 required"},
    // Combined: the first failing condition names the denial.
    {"window before level", office(), {"2026-12-06 10:00", -1, daProtection::none, "10.1.1.1"}, false, W, kOutside},
    {"level before protection", withQop(2), {"2026-12-07 10:00", -1, daProtection::none, "10.1.1.1"}, false, L,
     "step-up to level 2 required"},
    {"all three hold", Pop{kWeekdays, 8 * 60, 18 * 60, 0, "", 1},
     {"2026-12-07 10:00", 2, daProtection::integrity, "10.1.1.1"}, true, G, ""},
    // Warning mode grants and says what it would have answered.
    {"warning: window", warned(office()), {"2026-12-06 10:00"}, true, W, "would deny: outside the access window"},
    {"warning: level", warned(Pop{}), {"2026-12-07 10:00", -1, daProtection::none, "10.1.1.1"}, true, L,
     "would deny: step-up to level 2 required"},
    {"warning: protection", warned(withQop(2)), {"2026-12-07 10:00"}, true, P,
     "would deny: connection protection privacy required"},
    {"warning: the first of several", warned(Pop{kSun, 0, 0, 0, "", 2}),
     {"2026-12-07 10:00", -1, daProtection::none, "10.1.1.1"}, true, W, "would deny: outside the access window"},
    {"warning: nothing to waive", warned(office()), {"2026-12-07 10:00"}, true, G, ""},
    {"warning: a waived window, then a qop no one meets", warned(Pop{kSun, 0, 0, 0, "", 5}), {"2026-12-07 10:00"},
     false, P, "connection protection level 5 required"},
};

class Conditions : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("policy.db");
    gxtest::createPolicyDb(path_);
    store_ = std::make_unique<daCachedStore>("d", path_.c_str(), 1, 0);
    unsigned long st;
    store_->openStore(0, st);
    ASSERT_EQ(st, 0u);
    // "/" grants r to anyone, authenticated or not; "/locked" grants nothing.
    putAcl("open", "r");
    putAcl("shut", "");
    attach<GxMapPObjectToACL>(daPObjName("/").getPObjToAclMapName(), "open");
    attach<GxMapPObjectToACL>(daPObjName("/locked").getPObjToAclMapName(), "shut");
    unsigned long st2 = 0;
    hx_uuid_from_string("00000000-0000-4000-8000-000000000001", user_.principal.uuid, st2);
  }

  void putAcl(char const* name, char const* anyOther) {
    auto* acl = new GxACL;
    GxACLPermset p;
    unsigned long st;
    store_->mapAction(anyOther, p, st);
    acl->addCellEntry(p);
    acl->addUnauthEntry(p);
    set(daAclName(name), acl);
  }
  // Puts pop as "p" at /o (and /locked).
  void putPop(Pop const& spec) {
    auto* pop = new GxPop;
    pop->setDayAccess(spec.days);
    pop->setStartAccess(spec.from);
    pop->setEndAccess(spec.to);
    pop->setTimeReferenceAccess(spec.reference);
    pop->setQualityOfProtection(spec.qop);
    pop->setWarningMode(spec.warning ? 1 : 0);
    pop->setAuditLevel(spec.audit);
    pop->appendIPAuth(GxAddress("0.0.0.0"), GxAddress("0.0.0.0"), spec.defaultLevel);
    pop->appendIPAuth(GxAddress("10.0.0.0"), GxAddress("255.0.0.0"), spec.insideLevel);
    ASSERT_EQ(pop->setAttrlist(), 0u);
    ASSERT_EQ(pop->setZone(spec.zone), 0u);
    set(daPopName("p"), pop);
    attach<GxMapObjToPop>(daPObjName("/o").getPObjToPopMapName(), "p");
    attach<GxMapObjToPop>(daPObjName("/locked").getPObjToPopMapName(), "p");
  }
  template <class Map>
  void attach(daStoreObjectName const& mapName, char const* policy) {
    auto* m = new Map;
    m->add(policy);
    set(mapName, m);
  }
  void set(daStoreObjectName const& name, daStoreObject* o) {
    unsigned long st;
    store_->setObject(name, o, st);
    ASSERT_EQ(st, 0u);
  }

  unsigned long decide(char const* path, Ask const& ask, daDecision& d) {
    daDecisionContext ctx;
    ctx.timeSeconds = utc(ask.time);
    ctx.authLevel = ask.level;
    ctx.protection = ask.protection;
    GxAddress address(ask.address);
    unsigned long st = 0;
    store_->decide(path, ask.anonymous ? nullptr : &user_, "r", ask.address ? &address : nullptr, ctx, d, st);
    return st;
  }

  TempDir dir_;
  std::string path_;
  std::unique_ptr<daCachedStore> store_;
  sec_id_pa_t user_{};
};

TEST_F(Conditions, AnswerTheHandWorkedTable) {
  daDecision d;
  for (Row const& row : kRows) {
    SCOPED_TRACE(row.what);
    putPop(row.pop);
    ASSERT_EQ(decide("/o/page", row.ask, d), 0u);
    EXPECT_EQ(d.granted(), row.granted);
    bool const warned = row.granted && row.cause != G;
    EXPECT_EQ(d.warning(), warned);
    EXPECT_EQ(warned ? d.wouldCause() : d.cause(), row.cause) << daDecisionCauseText(d.cause());
    EXPECT_STREQ(warned ? d.wouldReason() : d.reason(), row.reason);
    if (warned) EXPECT_EQ(d.cause(), G);
  }
}

TEST_F(Conditions, TheAclIsNeverWaived) {
  daDecision d;
  putPop(warned(office()));
  ASSERT_EQ(decide("/locked", {"2026-12-06 10:00"}, d), 0u);  // outside the window too
  EXPECT_FALSE(d.granted());
  EXPECT_FALSE(d.warning());
  EXPECT_EQ(d.cause(), daDecisionCause::aclDenied);
  ASSERT_EQ(decide("/locked", {"2026-12-07 10:00"}, d), 0u);
  EXPECT_EQ(d.cause(), daDecisionCause::aclDenied);
}

TEST_F(Conditions, TheShortFormIsTheDefaultContext) {
  // Level 1 for an authenticated caller, 0 for anyone else; the time now.
  putPop(Pop{0, 0, 0, 0, "", 0, false, 1});
  daDecision d;
  unsigned long st;
  store_->decide("/o", &user_, "r", nullptr, d, st);
  EXPECT_TRUE(d.granted());
  store_->decide("/o", nullptr, "r", nullptr, d, st);
  EXPECT_FALSE(d.granted());
  EXPECT_EQ(d.cause(), daDecisionCause::authLevel);
  // A window that is never open denies now.
  putPop(Pop{0, 60, 60 + 1, 0});
  store_->decide("/o", &user_, "r", nullptr, d, st);
  bool const inThatMinute = (d.timeSeconds() % 86400) / 60 == 60;
  EXPECT_EQ(d.granted(), inThatMinute);
}

// ---- rules, after the POP ------------------------------------------------------------

struct RuleRow {
  char const* what;
  char const* text;
  std::vector<std::string> adilist;
  bool withDepartment;  // the context carries department = "sales"
  bool warning;         // the POP at /o is in warning mode
  bool granted;
  daDecisionCause cause;
  char const* reason;  // reason(), or wouldReason() for a warning; prefix only for texts
};

TEST_F(Conditions, RulesDecideOnceThePopHolds) {
  constexpr auto RD = daDecisionCause::ruleDenied, RM = daDecisionCause::ruleMissingAttribute,
                 RE = daDecisionCause::ruleError, RL = daDecisionCause::ruleLimit,
                 RN = daDecisionCause::ruleNotCompiled;
  RuleRow const rows[] = {
      {"two comparisons permit", "attr.department == 'sales' and subject.level >= 1", {"department"}, true, false,
       true, G, ""},
      {"false denies with the rule's reason", "attr.department == 'hr'", {"department"}, true, false, false, RD,
       "sales staff only"},
      {"a missing attribute is named", "attr.department == 'sales'", {"department"}, false, false, false, RM,
       "rule needs attribute department"},
      {"a runtime error", "error('boom')", {}, true, false, false, RE, "rule r: the rule raised an error"},
      {"a non-boolean", "return 42", {}, true, false, false, RE, "rule r: the rule returned a number"},
      {"an endless loop is stopped", "while true do end", {}, true, false, false, RL, "rule r: the rule exceeded"},
      {"no compile", "return ((", {}, true, false, false, RN, "rule r does not compile"},
      {"the rule sees the request's time", "request.weekday == 1 and request.hour == 10", {}, true, false, true, G,
       ""},
      {"warning: a denial is waived", "false", {}, true, true, true, RD, "would deny: sales staff only"},
      {"warning: a missing attribute is waived", "true", {"department"}, false, true, true, RM,
       "would deny: rule needs attribute department"},
      {"warning: an error is not", "error('boom')", {}, true, true, false, RE, "rule r: the rule raised an error"},
      {"warning: no compile is not", "return ((", {}, true, true, false, RN, "rule r does not compile"},
  };
  daAttributes sales;
  sales.set("department", std::string("sales"));
  daDecision d;
  for (RuleRow const& row : rows) {
    SCOPED_TRACE(row.what);
    Pop p;
    p.warning = row.warning;
    putPop(p);
    auto* rule = new daRule;
    rule->setText(row.text);
    rule->setReason("sales staff only");
    ZArrayList_6_0 adi;
    for (auto const& a : row.adilist) adi.add(ZUTF8String_6_0(a.c_str()));
    rule->setADIList(adi);
    set(daRuleName("r"), rule);
    attach<daMapObjToRule>(daPObjName("/o").getPObjToRuleMapName(), "r");
    daDecisionContext ctx;
    ctx.timeSeconds = utc("2026-12-07 10:00");
    ctx.attributes = row.withDepartment ? &sales : nullptr;
    unsigned long st;
    store_->decide("/o", &user_, "r", nullptr, ctx, d, st);
    ASSERT_EQ(st, 0u);
    EXPECT_EQ(d.granted(), row.granted);
    bool const warned = row.granted && row.cause != G;
    EXPECT_EQ(d.warning(), warned);
    EXPECT_EQ(warned ? d.wouldCause() : d.cause(), row.cause) << d.reason();
    EXPECT_EQ(std::string(warned ? d.wouldReason() : d.reason()).rfind(row.reason, 0), 0u)
        << (warned ? d.wouldReason() : d.reason());
  }
  // An ACL denial comes first: the rule is not even run.
  attach<daMapObjToRule>(daPObjName("/locked").getPObjToRuleMapName(), "r");
  unsigned long st;
  store_->decide("/locked", &user_, "r", nullptr, d, st);
  EXPECT_EQ(d.cause(), daDecisionCause::aclDenied);
}

// ---- the audit trail ----------------------------------------------------------------

struct Recorded {
  std::string user, object, actions, address;
  bool granted = false, warning = false;
  daDecisionCause cause = G;
  unsigned long status = 0;
  std::uint32_t sequence = 0;
  size_t groups = 0;
};

class RecordingSink : public daAuditSink {
 public:
  void record(daAuditRecord const& r) noexcept override {
    std::lock_guard<std::mutex> g(mutex);
    Recorded x{std::string(r.userUuid), std::string(r.object), std::string(r.actions), std::string(r.address)};
    if (r.decision != nullptr) {
      x.granted = r.decision->granted();
      x.warning = r.decision->warning();
      x.cause = r.decision->cause();
    }
    x.status = r.status;
    x.sequence = r.sequence;
    x.groups = r.groups ? r.groups->size() : 0;
    records.push_back(x);
  }
  std::mutex mutex;
  std::vector<Recorded> records;
};

TEST_F(Conditions, AuditRecordsWhatTheLevelInForceSelects) {
  auto sink = std::make_shared<RecordingSink>();
  daDecision d;
  putPop(warned(office()));  // audits permits and denials
  ASSERT_EQ(decide("/o", {"2026-12-07 10:00"}, d), 0u);  // nothing set yet: nothing recorded
  store_->setAuditSink(sink);
  ASSERT_EQ(decide("/o", {"2026-12-07 10:00", -1, daProtection::none, "192.168.1.7"}, d), 0u);
  ASSERT_EQ(decide("/o", {"2026-12-06 10:00"}, d), 0u);  // a warning grant
  ASSERT_EQ(decide("/locked", {"2026-12-07 10:00"}, d), 0u);
  ASSERT_EQ(sink->records.size(), 3u);
  Recorded const& first = sink->records[0];
  EXPECT_EQ(first.user, "00000000-0000-4000-8000-000000000001");
  EXPECT_EQ(first.object, "/o");
  EXPECT_EQ(first.actions, "r");
  EXPECT_EQ(first.address, "192.168.1.7");
  EXPECT_TRUE(first.granted);
  EXPECT_NE(first.sequence, 0u);
  EXPECT_TRUE(sink->records[1].warning);
  EXPECT_EQ(sink->records[2].cause, daDecisionCause::aclDenied);

  // Objects without a POP: the store's default level (denials, errors,
  // warnings), then what the host sets.
  sink->records.clear();
  daDecisionContext now;
  unsigned long st;
  store_->decide("/plain", &user_, "r", nullptr, now, d, st);  // granted: not selected
  store_->decide("/plain", &user_, "Q", nullptr, now, d, st);  // an unknown action: an error
  EXPECT_NE(st, 0u);
  ASSERT_EQ(sink->records.size(), 1u);
  EXPECT_EQ(sink->records[0].status, st);
  store_->setDefaultAuditLevel(daAuditPermit);
  store_->decide("/plain", nullptr, "r", nullptr, now, d, st);
  store_->decide("/plain", nullptr, "Q", nullptr, now, d, st);
  ASSERT_EQ(sink->records.size(), 2u);
  EXPECT_EQ(sink->records[1].user, "");
  EXPECT_TRUE(sink->records[1].granted);

  // A POP with level 0 records nothing; a sink taken away gets nothing more.
  Pop silent = office();
  silent.audit = 0;
  putPop(silent);
  store_->decide("/o", &user_, "r", nullptr, now, d, st);
  EXPECT_EQ(sink->records.size(), 2u);
  store_->setAuditSink(nullptr);
  store_->decide("/o", &user_, "r", nullptr, now, d, st);
  EXPECT_EQ(sink->records.size(), 2u);
}

// Deciding threads and a writer that keeps changing the POP: every
// decision is one of the two policies' answers, and each one reaches the
// sink (the POP audits permits and denials alike).
TEST_F(Conditions, ConcurrencyEveryDecisionIsRecordedWhileThePopChanges) {
  auto sink = std::make_shared<RecordingSink>();
  store_->setAuditSink(sink);
  putPop(office());
  constexpr int kThreads = 2, kEach = 2000;
  std::atomic<bool> wrong{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      daDecision d;
      daDecisionContext sunday;
      sunday.timeSeconds = utc("2026-12-06 10:00");
      for (int i = 0; i < kEach; ++i) {
        unsigned long st;
        store_->decide("/o/page", &user_, "r", nullptr, sunday, d, st);
        bool const office = st == 0 && !d.granted() && d.cause() == W;
        bool const sundays = st == 0 && d.granted();
        if (!office && !sundays) wrong = true;
      }
    });
  for (int i = 0; i < 20; ++i) putPop(i % 2 ? office() : Pop{kSun});
  for (auto& t : threads) t.join();
  EXPECT_FALSE(wrong);
  EXPECT_EQ(sink->records.size(), size_t{kThreads * kEach});
}

}  // namespace
