// Synthetic estate generation; see estate.h. The estate is written through
// the same PolicyWriter as `gxpolicy import`, so attachments are recorded
// in both directions exactly as an imported document's are.
#include "tools/common/estate.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "GxCore/GxAcl.h"
#include "GxCore/GxAddress.h"
#include "GxCore/GxPObj.h"
#include "GxCore/GxPop.h"
#include "GxCore/daRule.h"
#include "GxCore/db/daCachedStore.h"
#include "tools/common/policy_write.h"

namespace gxestate {
namespace {

using gxpolicy::kAcl;
using gxpolicy::kPop;
using gxpolicy::kRule;

// The draws. mt19937_64's sequence is fixed by the standard; the
// distributions of <random> are not, so ranges are taken by hand.
class Random {
 public:
  explicit Random(uint64_t seed) : engine_(seed) {}
  unsigned long below(unsigned long n) { return n == 0 ? 0 : static_cast<unsigned long>(engine_() % n); }
  unsigned long between(unsigned long lo, unsigned long hi) { return lo + below(hi - lo + 1); }
  bool chance(double p) { return static_cast<double>(engine_() >> 11) * 0x1.0p-53 < p; }
  uint64_t word() { return engine_(); }

 private:
  std::mt19937_64 engine_;
};

hx_uuid_t drawUuid(Random& r) {
  uint64_t hi = r.word(), lo = r.word();
  hx_uuid_t u{};
  u.time_low = static_cast<uint32_t>(hi >> 32);
  u.time_mid = static_cast<uint16_t>(hi >> 16);
  u.time_hi_and_version = static_cast<uint16_t>((hi & 0x0fff) | 0x4000);  // version 4
  u.clock_seq_hi_and_reserved = static_cast<uint8_t>(((lo >> 56) & 0x3f) | 0x80);  // variant 1
  u.clock_seq_low = static_cast<uint8_t>(lo >> 48);
  for (int i = 0; i < 6; ++i) u.node[i] = static_cast<uint8_t>(lo >> (8 * i));
  return u;
}

// ---- the tree ----------------------------------------------------------------------

// Directory levels below /org: d, s, app, res. Leaves sit in the res
// directories.
constexpr int kLevels = 4;
char const* const kLevelPrefix[kLevels] = {"d", "s", "app", "res"};
constexpr unsigned long kLeavesPerDirectory = 19;

struct Shape {
  unsigned long fan[kLevels] = {1, 1, 1, 1};
  unsigned long perLevel[kLevels] = {};  // directories at each level
  unsigned long directories = 0;         // "/" and /org included
  unsigned long leaves = 0;
  unsigned long total() const { return directories + leaves; }
};

void count(Shape& s) {
  s.directories = 2;
  unsigned long n = 1;
  for (int i = 0; i < kLevels; ++i) {
    n *= s.fan[i];
    s.perLevel[i] = n;
    s.directories += n;
  }
}

// Fan-outs of about the same size at every level above the leaves, about
// 19 leaves per res directory, the leaf count taking up the rest so that
// the total is the request (at least one leaf per res directory).
Shape shapeFor(unsigned long objects) {
  Shape s;
  double leafDirs = static_cast<double>(objects) / (kLeavesPerDirectory + 1.3);
  if (leafDirs > 1) {
    auto r = static_cast<unsigned long>(std::max(1.0, std::round(std::pow(leafDirs, 0.25))));
    s.fan[0] = s.fan[1] = s.fan[2] = r;
    s.fan[3] = std::max(1UL, static_cast<unsigned long>(std::round(leafDirs / static_cast<double>(r * r * r))));
  }
  count(s);
  s.leaves = std::max(s.perLevel[kLevels - 1], objects > s.directories ? objects - s.directories : 0);
  return s;
}

char const* const kWebNames[] = {"index.html", "about.html", "contact.html", "style.css",  "print.css",
                                 "app.js",     "vendor.js",  "logo.png",     "banner.jpg", "favicon.ico",
                                 "icon.svg",   "data.json",  "config.xml",   "robots.txt", "README.md",
                                 "report.pdf", "manual.pdf", "download.zip", "video.mp4"};
constexpr unsigned long kWebNameCount = sizeof kWebNames / sizeof kWebNames[0];

std::string leafName(Naming naming, unsigned long inDirectory, unsigned long overall) {
  if (naming == Naming::unique) return "item" + std::to_string(overall);
  if (inDirectory < kWebNameCount) return kWebNames[inDirectory];
  return "page" + std::to_string(inDirectory - kWebNameCount + 2) + ".html";
}

// ---- how often policies are attached ---------------------------------------------------

// Chances of an ACL at /org and at each directory level, before scaling;
// the leaves make up the rest of the 5%.
constexpr double kOrgAcl = 0.5;
constexpr double kLevelAcl[kLevels] = {0.8, 0.6, 0.5, 0.12};

struct Chances {
  double orgAcl, dirAcl[kLevels], leafAcl;
  double dirPop, leafPop, dirRule, leafRule;
};

// Directories are five times as likely as leaves to carry a POP or a rule.
void spread(double target, Shape const& s, double& dir, double& leaf) {
  double dirs = static_cast<double>(s.directories - 1);
  leaf = std::min(1.0, target / (5 * dirs + static_cast<double>(s.leaves)));
  dir = std::min(1.0, 5 * leaf);
}

Chances chancesFor(Shape const& s) {
  Chances c{};
  double total = static_cast<double>(s.total());
  double aclTarget = std::max(1.0, std::round(total * 0.05)) - 1;  // less the root's
  double expected = kOrgAcl;
  for (int i = 0; i < kLevels; ++i) expected += kLevelAcl[i] * static_cast<double>(s.perLevel[i]);
  double scale = expected > aclTarget ? aclTarget / expected : 1.0;
  c.orgAcl = kOrgAcl * scale;
  for (int i = 0; i < kLevels; ++i) c.dirAcl[i] = kLevelAcl[i] * scale;
  c.leafAcl = std::clamp((aclTarget - expected * scale) / static_cast<double>(s.leaves), 0.0, 1.0);
  spread(total * 0.01, s, c.dirPop, c.leafPop);
  spread(total * 0.005, s, c.dirRule, c.leafRule);
  return c;
}

// Policies shared by several objects: about one policy per four attachments.
unsigned long poolSize(double attachments, unsigned long least) {
  return std::max(least, static_cast<unsigned long>(attachments / 4));
}

// ---- policies --------------------------------------------------------------------------

char const* const kUserActions[] = {"Tr", "Trl", "Trx", "Trlx", "Trmdl", "Trmdlx", "Tcrmdlxva", "Trv", "TrlvN", "TcrmdxlvaNAsgt"};
char const* const kGroupActions[] = {"Tr", "Trl", "Trlv", "Trmdl", "Trmdlxv", "Tcrmdlva", "Trs", "Tvt"};
char const* const kOtherActions[] = {"T", "Tr", "Trl", "Tl", ""};
char const* const kUnauthActions[] = {"", "T", "Tr"};

template <std::size_t N>
char const* pick(Random& r, char const* const (&list)[N]) {
  return list[r.below(N)];
}

class Generator {
 public:
  Generator(daCachedStore& store, Options const& options, Estate& out)
      : store_(store),
        options_(options),
        out_(out),
        writer_(store),
        draw_(options.seed * 0x9E3779B97F4A7C15ULL + 1),
        shape_(shapeFor(options.objects)),
        chances_(chancesFor(shape_)) {}

  unsigned long run() {
    makePrincipals();
    if (writePolicies() != 0) return status_;
    if (writeTree() != 0) return status_;
    if (status_ == 0) status_ = writer_.finish();
    return status_;
  }

 private:
  void makePrincipals() {
    Random r(options_.seed);
    unsigned groups = std::max(1u, options_.groups);
    for (unsigned i = 0; i < groups; ++i) out_.groups.push_back(drawUuid(r));
    for (unsigned i = 0; i < options_.users; ++i) {
      User u{"user" + std::to_string(i), drawUuid(r), {}};
      unsigned long want = std::min<unsigned long>(groups, r.between(1, 3));
      while (u.groups.size() < want) {
        hx_uuid_t const& g = out_.groups[r.below(groups)];
        bool held = std::any_of(u.groups.begin(), u.groups.end(),
                                [&](hx_uuid_t const& x) { return std::memcmp(&x, &g, sizeof x) == 0; });
        if (!held) u.groups.push_back(g);
      }
      out_.users.push_back(std::move(u));
    }
  }

  unsigned long perms(char const* actions, GxACLPermset& out) {
    unsigned long st = 0;
    store_.mapAction(actions, out, st);
    if (st != 0 && status_ == 0) status_ = st;
    return st;
  }

  // ACL n: a few users, a few groups, usually any-other, sometimes
  // unauthenticated.
  unsigned long addAcl(std::string const& name, bool root) {
    auto acl = std::make_unique<GxACL>();
    acl->description(root ? "every object's ACL unless a nearer one applies" : "synthetic ACL");
    GxACLPermset p;
    unsigned long users = out_.users.empty() ? 0 : draw_.between(1, 4);
    for (unsigned long i = 0; i < users; ++i) {
      if (perms(pick(draw_, kUserActions), p) != 0) return status_;
      acl->addPrincipalEntry(out_.users[draw_.below(out_.users.size())].uuid, p);
    }
    for (unsigned long i = 0, n = draw_.between(1, 3); i < n; ++i) {
      if (perms(pick(draw_, kGroupActions), p) != 0) return status_;
      acl->addGroupEntry(out_.groups[draw_.below(out_.groups.size())], p);
    }
    if (root || draw_.chance(0.85)) {
      if (perms(root ? "Tr" : pick(draw_, kOtherActions), p) != 0) return status_;
      acl->addCellEntry(p);
    }
    if (draw_.chance(0.25)) {
      if (perms(pick(draw_, kUnauthActions), p) != 0) return status_;
      acl->addUnauthEntry(p);
    }
    return writePolicy(kAcl, name, std::move(acl));
  }

  unsigned long addPop(std::string const& name) {
    auto pop = std::make_unique<GxPop>();
    pop->setDescription("synthetic POP");
    pop->setAuditLevel(draw_.below(4));
    pop->setWarningMode(draw_.chance(0.1) ? 1 : 0);
    GxAddress any("0.0.0.0");
    unsigned long st = pop->appendIPAuth(any, any, draw_.below(3));
    for (unsigned long i = 0, n = draw_.chance(0.6) ? draw_.between(1, 3) : 0; st == 0 && i < n; ++i) {
      std::string net = "10." + std::to_string(draw_.below(256)) + ".0.0";
      st = pop->appendIPAuth(GxAddress(net.c_str()), GxAddress("255.255.0.0"), draw_.below(3));
    }
    for (unsigned long i = 0, n = draw_.chance(0.4) ? draw_.between(1, 2) : 0; st == 0 && i < n; ++i) {
      char net[32];
      std::snprintf(net, sizeof net, "fd00:%lx::", draw_.below(0x10000));
      st = pop->appendIPAuth(GxAddress(net), GxAddress("ffff:ffff::"), draw_.below(3));
    }
    if (st == 0) st = pop->setAttrlist();
    if (st != 0) return status_ = st;
    return writePolicy(kPop, name, std::move(pop));
  }

  unsigned long addRule(std::string const& name) {
    auto rule = std::make_unique<daRule>();
    unsigned long from = draw_.between(6, 9), to = draw_.between(17, 20);
    std::string text = "request.hour >= " + std::to_string(from) + " and request.hour < " + std::to_string(to);
    rule->setDescription(ZUTF8String_6_0("synthetic rule"));
    rule->setText(ZUTF8String_6_0(text.c_str()));
    rule->setReason(ZUTF8String_6_0("outside working hours"));
    return writePolicy(kRule, name, std::move(rule));
  }

  unsigned long writePolicy(int kind, std::string const& name, std::unique_ptr<daStoreObject> object) {
    gxpolicy::PolicyItem item;
    item.name = gxpolicy::kKinds[kind].name(name.c_str());
    item.object = std::move(object);
    return status_ = writer_.policy(item);
  }

  unsigned long writePolicies() {
    double total = static_cast<double>(shape_.total());
    pool_[kAcl] = poolSize(total * 0.05, 4);
    pool_[kPop] = poolSize(total * 0.01, 2);
    pool_[kRule] = poolSize(total * 0.005, 2);
    if (addAcl("acl-root", true) != 0) return status_;
    for (unsigned long i = 0; i < pool_[kAcl]; ++i)
      if (addAcl("acl" + std::to_string(i), false) != 0) return status_;
    for (unsigned long i = 0; i < pool_[kPop]; ++i)
      if (addPop("pop" + std::to_string(i)) != 0) return status_;
    for (unsigned long i = 0; i < pool_[kRule]; ++i)
      if (addRule("rule" + std::to_string(i)) != 0) return status_;
    out_.acls = pool_[kAcl] + 1;
    out_.pops = pool_[kPop];
    out_.rules = pool_[kRule];
    return 0;
  }

  std::string poolMember(int kind, char const* prefix) {
    return prefix + std::to_string(draw_.below(pool_[kind]));
  }

  unsigned long writeObject(std::string const& path, double aclChance, bool directory) {
    gxpolicy::ObjectItem item;
    item.name = daPObjName(path.c_str());
    item.pobj = std::make_unique<GxPObj>();
    item.pobj->policyAttachable(true);
    if (path == "/") {
      item.policy[kAcl] = "acl-root";
    } else if (draw_.chance(aclChance)) {
      item.policy[kAcl] = poolMember(kAcl, "acl");
    }
    if (path != "/" && draw_.chance(directory ? chances_.dirPop : chances_.leafPop)) item.policy[kPop] = poolMember(kPop, "pop");
    if (path != "/" && draw_.chance(directory ? chances_.dirRule : chances_.leafRule)) item.policy[kRule] = poolMember(kRule, "rule");
    out_.aclAttachments += item.policy[kAcl] ? 1 : 0;
    out_.popAttachments += item.policy[kPop] ? 1 : 0;
    out_.ruleAttachments += item.policy[kRule] ? 1 : 0;
    out_.objects.push_back(path);
    if ((status_ = writer_.object(item)) != 0) return status_;
    if (options_.progress && (out_.objects.size() % 1000 == 0 || out_.objects.size() == shape_.total()))
      options_.progress(out_.objects.size(), shape_.total());
    return 0;
  }

  // The directories of level `level` below parent, each with what lies
  // below it.
  unsigned long writeLevel(int level, std::string const& parent) {
    for (unsigned long i = 0; i < shape_.fan[level]; ++i) {
      std::string path = parent + "/" + kLevelPrefix[level] + std::to_string(i);
      if (writeObject(path, chances_.dirAcl[level], true) != 0) return status_;
      unsigned long st = level + 1 < kLevels ? writeLevel(level + 1, path) : writeLeaves(path);
      if (st != 0) return st;
    }
    return 0;
  }

  // The leaves are spread evenly over the res directories.
  unsigned long writeLeaves(std::string const& directory) {
    unsigned long dirs = shape_.perLevel[kLevels - 1];
    unsigned long n = shape_.leaves / dirs + (leafDirectory_ < shape_.leaves % dirs ? 1 : 0);
    ++leafDirectory_;
    for (unsigned long i = 0; i < n; ++i) {
      std::string path = directory + "/" + leafName(options_.naming, i, leaves_++);
      if (writeObject(path, chances_.leafAcl, false) != 0) return status_;
    }
    return 0;
  }

  unsigned long writeTree() {
    if (writeObject("/", 0, true) != 0 || writeObject("/org", chances_.orgAcl, true) != 0) return status_;
    return writeLevel(0, "/org");
  }

  daCachedStore& store_;
  Options const& options_;
  Estate& out_;
  gxpolicy::PolicyWriter writer_;
  Random draw_;
  Shape const shape_;
  Chances const chances_;
  unsigned long pool_[gxpolicy::kKindCount] = {};
  unsigned long leafDirectory_ = 0, leaves_ = 0;
  unsigned long status_ = 0;
};

}  // namespace

void generate(daCachedStore& store, Options const& options, Estate& out, unsigned long& status) {
  out = Estate{};
  Generator generator(store, options, out);
  status = generator.run();
}

gxpolicy::CallerAttributes callerOf(User const& user) { return gxpolicy::CallerAttributes(user.uuid, user.groups); }

}  // namespace gxestate
