// Hierarchical names and the typed database keys built on them.
#include <gtest/gtest.h>

#include <string>

#include "GxCore/GxObjName.h"
#include "GxCore/daStoreObjectName.h"
#include "test_support.h"

namespace {

std::string S(ZUTF8String_6_0 const& s) { return s.str(); }
std::string S(GxObjectName const& n) { return n.value().str(); }

TEST(GxObjectName, RootIsItsOwnParentAndHasNoElements) {
  GxObjectName root("/");
  EXPECT_TRUE(root.isRoot());
  EXPECT_EQ(S(root.parent()), "/");
  EXPECT_EQ(root.depth(), 0u);
  EXPECT_EQ(S(root.basename()), "");
  EXPECT_EQ(S(root.elementAt(1)), "");
  GxObjectName up(root);
  up.walkUp();
  EXPECT_EQ(S(up), "/");
  up.popAncestor(GxObjectName("/"));
  EXPECT_EQ(S(up), "/");
  EXPECT_FALSE(GxObjectName().isRoot());
  EXPECT_FALSE(GxObjectName::isRoot(nullptr));
}

TEST(GxObjectName, ParentAndWalkUp) {
  EXPECT_EQ(S(GxObjectName("/a").parent()), "/");
  EXPECT_EQ(S(GxObjectName("/a/b").parent()), "/a");
  GxObjectName n("/a/b/c");
  n.walkUp();
  EXPECT_EQ(S(n), "/a/b");
  GxObjectName bare("abc");
  bare.walkUp();
  EXPECT_EQ(S(bare), "/");
}

TEST(GxObjectName, AncestryComparesWholeElements) {
  GxObjectName root("/"), a("/a"), ab("/ab"), abc("/a/b/c");
  EXPECT_TRUE(root.isAncestor(root, 0));
  EXPECT_TRUE(a.isAncestor(root, 0));
  EXPECT_FALSE(ab.isAncestor(a, 0));
  EXPECT_TRUE(a.isAncestor(a, 1));
  EXPECT_FALSE(a.isAncestor(a, 0));
  EXPECT_TRUE(abc.isAncestor(a, 0));
  EXPECT_FALSE(a.isAncestor(abc, 1));
  EXPECT_TRUE(a.isDescendent(abc, 0));
  EXPECT_FALSE(a.isDescendent(ab, 0));
  EXPECT_TRUE(root.isDescendent(a, 0));
  EXPECT_TRUE(a.isDescendent(a, 1));
  EXPECT_FALSE(abc.isDescendent(a, 1));
}

TEST(GxObjectName, WalkDownAddsOneElementAtATime) {
  GxObjectName full("/a/b/c"), partial;
  std::vector<std::string> steps;
  while (partial != full) {
    full.walkDown(partial);
    steps.push_back(S(partial));
  }
  EXPECT_EQ(steps, (std::vector<std::string>{"/a", "/a/b", "/a/b/c"}));
  GxObjectName fromRoot("/");
  full.walkDown(fromRoot);
  EXPECT_EQ(S(fromRoot), "/a");
}

TEST(GxObjectName, ElementsAndSubstringsClampPastTheEnd) {
  GxObjectName n("/a/b/c");
  EXPECT_EQ(n.depth(), 3u);
  EXPECT_EQ(S(n.subString(0)), "");
  EXPECT_EQ(S(n.subString(1)), "/a");
  EXPECT_EQ(S(n.subString(2)), "/a/b");
  EXPECT_EQ(S(n.subString(9)), "/a/b/c");
  EXPECT_EQ(S(n.elementAt(0)), "");
  EXPECT_EQ(S(n.elementAt(1)), "a");
  EXPECT_EQ(S(n.elementAt(2)), "b");
  EXPECT_EQ(S(n.elementAt(3)), "c");
  EXPECT_EQ(S(GxObjectName("/a/b").elementAt(9)), "b");
  EXPECT_EQ(S(GxObjectName("/a/b").subString(9)), "/a/b");
  EXPECT_EQ(S(n.basename()), "c");
}

TEST(GxObjectName, AppendPrependAndAncestors) {
  GxObjectName n("/x");
  n.append("/");
  n.append("");
  n.append(static_cast<char const*>(nullptr));
  EXPECT_EQ(S(n), "/x");
  n.append("a");
  EXPECT_EQ(S(n), "/x/a");
  n.append("/b");
  EXPECT_EQ(S(n), "/x/a/b");
  GxObjectName empty;
  empty.append("a");
  EXPECT_EQ(S(empty), "/a");
  GxObjectName root("/");
  root.append("a");
  EXPECT_EQ(S(root), "/a");

  GxObjectName p("b/c");
  p.prepend("/a");
  EXPECT_EQ(S(p), "/a/b/c");
  EXPECT_EQ(S(p.makeRelative("/a")), "b/c");
  EXPECT_EQ(S(p.makeRelative("/")), "a/b/c");
  p.popAncestor(GxObjectName("/a"));
  EXPECT_EQ(S(p), "/b/c");
  p.pushAncestor(GxObjectName("/z"));
  EXPECT_EQ(S(p), "/z/b/c");
  GxObjectName r("/");
  r.pushAncestor(GxObjectName("/z"));
  EXPECT_EQ(S(r), "/z");
  r.popAncestor(GxObjectName("/z"));
  EXPECT_EQ(S(r), "/");
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

TEST(GxObjectName, HashCoversOnlyTheLastQuarter) {
  EXPECT_EQ(GxObjectName("/a/b/c").hash(), GxObjectName("/x/y/c").hash());
  EXPECT_NE(GxObjectName("/a/b/c").hash(), GxObjectName("/a/b/d").hash());
  EXPECT_EQ(GxObjectName("/ab").hash(), 5381u);
  EXPECT_EQ(GxObjectName("/abc").hash(), (5381u * 33) ^ 'c');
}

TEST(GxObjectName, ComparisonIsExactText) {
  GxObjectName a("/a"), b("/b");
  EXPECT_TRUE(a == "/a");
  EXPECT_TRUE(a != "/A");
  EXPECT_TRUE(b.isLessThan(a));
  EXPECT_FALSE(a.isLessThan(b));
  EXPECT_LT(a.compare(b), 0);
  EXPECT_TRUE(a.equals(GxObjectName("/a")));
}

TEST(daStoreObjectName, PolicyNamesCarryTheirMapAndExtAttrKeys) {
  daAclName acl("a1");
  EXPECT_EQ(S(acl.getFullName()), "/auth/extended-acl/a1");
  EXPECT_EQ(S(acl.getPolicyToObjMapName().getFullName()), "/auth/acl-map/a1");
  EXPECT_EQ(acl.getPolicyToObjMapName().getTypeID(), 1282);
  EXPECT_EQ(S(acl.getExtAttrName().getFullName()), "/auth/extattr/auth/extended-acl/a1");
  EXPECT_EQ(acl.getExtAttrName().getTypeID(), 1292);
  acl.setShortName("a2");
  EXPECT_EQ(S(acl.getPolicyToObjMapName().getFullName()), "/auth/acl-map/a2");
  EXPECT_EQ(S(acl.getExtAttrName().getFullName()), "/auth/extattr/auth/extended-acl/a2");

  EXPECT_EQ(S(daPopName("p1").getFullName()), "/auth/pop/p1");
  EXPECT_EQ(S(daPopName("p1").getPolicyToObjMapName().getFullName()), "/auth/pop-map/p1");
  EXPECT_EQ(S(daRuleName("r1").getPolicyToObjMapName().getFullName()), "/auth/rule-map/r1");
  EXPECT_EQ(daRuleName("r1").getTypeID(), 1295);
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

TEST(daStoreObjectName, EqualityNeedsTypeBaseAndText) {
  EXPECT_FALSE(daAclName("x") == daPopName("x"));
  daStoreObjectName prefixed(1293, "x", "/auth/extended-acl", "/other");
  EXPECT_TRUE(prefixed == daAclName("x"));  // the prefix is not compared
  daPObjSpaceName space;
  std::unique_ptr<ZObject_6_0> copy(space.clone());
  EXPECT_TRUE(copy->equals(space));
  EXPECT_EQ(S(space.getFullName()), "/auth/pobjectspace");
  std::unique_ptr<daStoreObjectName> groups(daActionGroupName().newObject("anything"));
  EXPECT_EQ(S(groups->getFullName()), "/auth/action-groups");
  std::unique_ptr<daStoreObjectName> acl(daAclName().newObject("n"));
  EXPECT_NE(dynamic_cast<daAclName*>(acl.get()), nullptr);
  EXPECT_EQ(S(daAznServerName("s1").getFullName()), "/servers/azn/s1");
  EXPECT_EQ(S(daActionName("x").getFullName()), "/auth/actions/x");
  EXPECT_EQ(S(daAuthDBInfoName().getFullName()), "/auth/dbinfo");
}

TEST(daStoreObjectName, ValidityRules) {
  EXPECT_TRUE(daStoreObjectName::isValid("ab_C-9"));
  EXPECT_FALSE(daStoreObjectName::isValid("a.b"));
  EXPECT_FALSE(daStoreObjectName::isValid(""));
  EXPECT_FALSE(daStoreObjectName::isValid(nullptr));

  EXPECT_FALSE(daPolicyName::isValid("a b"));
  EXPECT_FALSE(daPolicyName::isValid("a/b"));
  EXPECT_FALSE(daPolicyName::isValid(""));
  EXPECT_FALSE(daPolicyName::isValid("\xc3("));  // broken UTF-8
  EXPECT_TRUE(daPolicyName::isValid(std::string(8192, 'x').c_str()));
  EXPECT_FALSE(daPolicyName::isValid(std::string(8193, 'x').c_str()));
  EXPECT_EQ(daAclName::isValid("a b"), 0x1005B2EEu);
  EXPECT_EQ(daPopName::isValid("a b"), 0x1065212Cu);
  EXPECT_EQ(daRuleName::isValid("a b"), 0x10652134u);
  EXPECT_EQ(daAclName::isValid("r\xc3\xa9sum\xc3\xa9"), 0u);

  EXPECT_TRUE(daDomainName::isValid("x.y+z"));
  EXPECT_FALSE(daDomainName::isValid("x y"));
  EXPECT_FALSE(daDomainName::isValid("x/y"));
}

TEST(daStoreObjectName, InvalidObjectPathIsLogged) {
  gxtest::MessageCapture messages;
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
