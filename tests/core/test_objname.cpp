// Hierarchical names and the typed database keys built on them.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

#include "GxCore/GxObjName.h"
#include "GxCore/daStoreObjectName.h"
#include "test_support.h"

namespace {

std::string S(ZUTF8String_6_0 const& s) { return s.str(); }
std::string S(GxObjectName const& n) { return n.value().str(); }

TEST(GxObjectName, ParentOfRootIsRootAndWalkingUpStopsThere) {
  using Pair = std::pair<char const*, char const*>;
  for (auto [in, parent] : {Pair{"/", "/"}, Pair{"/a", "/"}, Pair{"/a/b", "/a"}})
    EXPECT_EQ(S(GxObjectName(in).parent()), parent) << in;
  for (auto [in, up] : {Pair{"/", "/"}, Pair{"/a/b/c", "/a/b"}, Pair{"abc", "/"}}) {
    GxObjectName w(in);
    w.walkUp();
    EXPECT_EQ(S(w), up) << in;
  }
}

TEST(GxObjectName, ValidNormalisesOrRejects) {
  struct Case { char const* in; bool ok; char const* out; };
  Case cases[] = {
      {"/a/b/", true, "/a/b"},   {"/a/b/  ", true, "/a/b"}, {"/a\tb", true, "/a b"},
      {"/  ", true, "/"},        {"/", true, "/"},          {"/a//b", false, nullptr},
      {"a/b", false, nullptr},   {"", false, nullptr},      {"/a\nb", false, nullptr},
      {"/a\rb", false, nullptr}, {"/caf\xc3\xa9 x", true, "/caf\xc3\xa9 x"},
  };
  for (auto const& c : cases) {
    GxObjectName n(c.in);
    EXPECT_EQ(n.valid() != 0, c.ok) << c.in;
    if (c.ok) EXPECT_EQ(S(n), c.out) << c.in;
  }
}

TEST(GxObjectName, HashCoversTheLastQuarterAndComparisonIsExactText) {
  EXPECT_EQ(GxObjectName("/a/b/c").hash(), GxObjectName("/x/y/c").hash());
  EXPECT_NE(GxObjectName("/a/b/c").hash(), GxObjectName("/a/b/d").hash());
  GxObjectName a("/a"), b("/b");
  EXPECT_TRUE(a != "/A");
  EXPECT_TRUE(b.isLessThan(a));  // reads "a is less than b"
  EXPECT_FALSE(a.isLessThan(b));
  EXPECT_LT(a.compare(b), 0);
}

TEST(daStoreObjectName, PolicyNamesCarryTheirMapAndExtAttrKeys) {
  daAclName acl("a1");
  EXPECT_EQ(S(acl.getFullName()), "/auth/extended-acl/a1");
  EXPECT_EQ(acl.getPolicyToObjMapName().getTypeID(), 1282);
  EXPECT_EQ(acl.getExtAttrName().getTypeID(), 1292);
  acl.setShortName("a2");  // the derived keys follow
  EXPECT_EQ(S(acl.getPolicyToObjMapName().getFullName()), "/auth/acl-map/a2");
  EXPECT_EQ(S(acl.getExtAttrName().getFullName()), "/auth/extattr/auth/extended-acl/a2");
  EXPECT_EQ(S(daPopName("p1").getFullName()), "/auth/pop/p1");
  EXPECT_EQ(S(daPopName("p1").getPolicyToObjMapName().getFullName()), "/auth/pop-map/p1");
  EXPECT_EQ(S(daRuleName("r1").getPolicyToObjMapName().getFullName()), "/auth/rule-map/r1");
  EXPECT_EQ(daRuleName("r1").getTypeID(), 1295);
  EXPECT_EQ(S(daAznServerName("s1").getFullName()), "/servers/azn/s1");
  EXPECT_EQ(S(daActionName("x").getFullName()), "/auth/actions/x");
  EXPECT_EQ(S(daAuthDBInfoName().getFullName()), "/auth/dbinfo");
  EXPECT_EQ(S(daPObjSpaceName().getFullName()), "/auth/pobjectspace");
  std::unique_ptr<daStoreObjectName> groups(daActionGroupName().newObject("anything"));
  EXPECT_EQ(S(groups->getFullName()), "/auth/action-groups");
  std::unique_ptr<daStoreObjectName> made(daAclName().newObject("n"));
  EXPECT_NE(dynamic_cast<daAclName*>(made.get()), nullptr);
}

TEST(daStoreObjectName, ProtectedObjectRootAndRelativeFormsAgree) {
  for (char const* p : {"/", "", static_cast<char const*>(nullptr)}) {
    daPObjName n(p);
    EXPECT_EQ(S(n), "/");
    EXPECT_EQ(S(n.getFullName()), "/auth/pobject");
    EXPECT_EQ(S(n.getExtAttrName().getFullName()), "/auth/extattr/auth/pobject");
  }
  daPObjName ab("/a/b"), rel("a/b");
  EXPECT_TRUE(ab == rel);
  EXPECT_EQ(S(ab.getFullName()), "/auth/pobject/a/b");
  EXPECT_EQ(S(ab.getPObjToAclMapName().getFullName()), "/auth/pobject-map/a/b");
  EXPECT_EQ(S(ab.getPObjToPopMapName().getFullName()), "/auth/pobject-popmap/a/b");
  EXPECT_EQ(S(ab.getPObjToRuleMapName().getFullName()), "/auth/pobject-rulemap/a/b");
  ab.walkUp();
  EXPECT_EQ(S(ab.getPObjToAclMapName().getFullName()), "/auth/pobject-map/a");
  EXPECT_TRUE(daPObjName("/a") == ab);  // derived names do not take part
  daPObjName partial;
  daPObjName("/x/y").walkDown(partial);
  EXPECT_EQ(S(partial.getPObjToAclMapName().getFullName()), "/auth/pobject-map/x");
  daPObjName root("/x");
  root.setShortName("/");
  EXPECT_EQ(S(root.getPObjToAclMapName().getFullName()), "/auth/pobject-map");
}

TEST(daStoreObjectName, EqualityNeedsTypeAndTextNotThePrefix) {
  EXPECT_FALSE(daAclName("x") == daPopName("x"));
  daStoreObjectName prefixed(1293, "x", "/auth/extended-acl", "/other");
  EXPECT_TRUE(prefixed == daAclName("x"));
  daPObjSpaceName space;
  std::unique_ptr<ZObject_6_0> copy(space.clone());
  EXPECT_TRUE(copy->equals(space));
}

TEST(daStoreObjectName, ValidityRules) {
  struct { char const* name; bool store, policy; } const cases[] = {
      {"ab_C-9", true, true}, {"a.b", false, true}, {"", false, false},  {"a b", false, false},
      {"a/b", false, false},  {"\xc3(", false, false}, {"r\xc3\xa9sum\xc3\xa9", false, true}};
  for (auto const& c : cases) {
    EXPECT_EQ(daStoreObjectName::isValid(c.name) != 0, c.store) << c.name;
    EXPECT_EQ(daPolicyName::isValid(c.name) != 0, c.policy) << c.name;
  }
  EXPECT_FALSE(daStoreObjectName::isValid(nullptr));
  EXPECT_TRUE(daPolicyName::isValid(std::string(8192, 'x').c_str()));
  EXPECT_FALSE(daPolicyName::isValid(std::string(8193, 'x').c_str()));
  EXPECT_EQ(daAclName::isValid("a b"), 0x1005B2EEu);
  EXPECT_EQ(daPopName::isValid("a b"), 0x1065212Cu);
  EXPECT_EQ(daRuleName::isValid("a b"), 0x10652134u);
  EXPECT_EQ(daAclName::isValid("r\xc3\xa9sum\xc3\xa9"), 0u);
  EXPECT_TRUE(daDomainName::isValid("x.y+z"));
  EXPECT_FALSE(daDomainName::isValid("x y"));
  EXPECT_FALSE(daDomainName::isValid("x/y"));

  gxtest::MessageCapture messages;  // invalid object paths are logged
  EXPECT_EQ(daPObjName::isValid("/a/b"), 0u);
  EXPECT_EQ(daPObjName::isValid("/a//b"), 0x1005B1C9u);
  ZUTF8String_6_0 text("/a/b/");
  EXPECT_EQ(daPObjName::validateAndFix(text), 0u);
  EXPECT_EQ(text.str(), "/a/b");
  daPObjName bad;
  bad.setShortName("no-slash");
  EXPECT_EQ(bad.validateAndFix(), 0x1005B1C9u);
  EXPECT_EQ(messages.count(0x1005B1C9), 2u);
}

}  // namespace
