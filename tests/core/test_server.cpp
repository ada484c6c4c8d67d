// Authorization-server records and the database information: the database
// forms through a real store file (which also runs the conversion for the
// codec under the sanitizers), corrupt and truncated records, the attribute
// form and service equality.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "GxCore/AznLocalSvr.h"
#include "GxCore/GxAuthznDBInfo.h"
#include "GxCore/daStoreObjectName.h"
#include "record_corruption.h"

namespace {

using gxtest::decodeBytes;
using gxtest::encodedRecord;
using gxtest::expectCorruptionRefused;

// A server with a two-value service and a service without values.
AznLocalSvr sampleServer() {
  AznLocalSvr s("azn-1", "first server", "ivmgr", "host.example", 7136, 2, 0x600, 1);
  char v1[] = "alpha", v2[] = "beta";
  char* values[] = {v1, v2};
  char n1[] = "trace", n2[] = "stats";
  aznadmsvc_s_t svcs[] = {{n1, 2, values}, {n2, 0, nullptr}};
  s.setAdmSvcs(2, svcs);
  return s;
}

std::vector<std::string> texts(ZArrayList_6_0 const& l) {
  std::vector<std::string> v;
  for (unsigned int i = 0; i < l.size(); ++i) v.emplace_back(static_cast<ZUTF8String_6_0*>(l.get(i))->getChars());
  return v;
}

void expectSameServer(AznLocalSvr const& a, AznLocalSvr const& b) {
  EXPECT_EQ(a.getName(), b.getName());
  EXPECT_EQ(a.getDescription(), b.getDescription());
  EXPECT_EQ(a.getUser(), b.getUser());
  EXPECT_EQ(a.getHost(), b.getHost());
  EXPECT_EQ(a.getPort(), b.getPort());
  EXPECT_EQ(a.getMode(), b.getMode());
  EXPECT_EQ(a.getVersion(), b.getVersion());
  EXPECT_EQ(a.getListen(), b.getListen());
  ASSERT_EQ(a.admSvcs().size(), b.admSvcs().size());
  for (char const* n : {"trace", "stats"}) {
    if (!a.getAdmSvc(n)) continue;
    ASSERT_NE(b.getAdmSvc(n), nullptr) << n;
    EXPECT_TRUE(a.getAdmSvc(n)->completelyEqual(*b.getAdmSvc(n))) << n;
  }
}

}  // namespace

// ---- database forms ------------------------------------------------------------

TEST(ServerRecord, RoundTripsThroughAStoreFile) {
  gxtest::RecordFile file;
  AznLocalSvr svr = sampleServer(), bare("azn-2");
  GxAuthznDBInfo info(gxauthzn_db_s_t{0x600, 1, 0xFFFFFFFF, 3, 4});
  daAznServerName svrName("azn-1"), bareName("azn-2");
  daAuthDBInfoName infoName;
  std::vector<std::pair<daStoreObject*, daStoreObjectName*>> objs{
      {&svr, &svrName}, {&bare, &bareName}, {&info, &infoName}};
  std::vector<std::unique_ptr<daStoreObject>> back;
  for (auto [obj, key] : objs) {
    auto decoded = file.roundTrip(*obj, key->getFullName());
    ASSERT_NE(decoded, nullptr);
    // The key lands in the name attribute of every kind.
    EXPECT_STREQ(decoded->HXObject::getName().getChars(), key->getFullName().getChars());
    back.push_back(std::move(decoded));
  }
  auto& s = dynamic_cast<AznLocalSvr&>(*back[0]);
  expectSameServer(s, svr);
  EXPECT_STREQ(s.getName().getChars(), "azn-1");  // a server's name is its id
  EXPECT_EQ(s.getAdmSvc("trace")->getServer(), ZUTF8String_6_0("azn-1"));
  expectSameServer(dynamic_cast<AznLocalSvr&>(*back[1]), bare);
  auto const& w = dynamic_cast<GxAuthznDBInfo&>(*back[2]).value();
  EXPECT_EQ(std::vector<uint32_t>({w.version, w.word1, w.word2, w.word3, w.word4}),
            std::vector<uint32_t>({0x600, 1, 0xFFFFFFFF, 3, 4}));
}

TEST(ServerRecord, CorruptOrTruncatedRecordsGiveAStatusAndNoObject) {
  AznLocalSvr svr = sampleServer();
  expectCorruptionRefused(encodedRecord(svr), gx_type_azn_server, 5150);
  GxAuthznDBInfo info(gxauthzn_db_s_t{0x600, 9, 8, 7, 6});
  expectCorruptionRefused(encodedRecord(info), gx_type_authzn_db_info, 5150);
}

TEST(ServerRecord, AbsurdServiceAndValueCountsAreRefusedBeforeAllocating) {
  gxtest::MessageCapture quiet;
  auto serverWith = [](uint32_t services, uint32_t values) {
    HxBerWriter w;
    w.beginSequence();
    for (int i = 0; i < 4; ++i) w.putString("x");
    for (int i = 0; i < 6; ++i) w.putUInt32(0);
    w.putUInt32(services);
    w.beginSequence();
    w.beginSequence();
    w.putString("svc");
    w.putUInt32(values);
    w.beginSequence();
    w.putString("v");
    w.endSequence();
    w.endSequence();
    w.endSequence();
    w.endSequence();
    return gxtest::finishBytes(w);
  };
  std::unique_ptr<daStoreObject> obj;
  auto decode = [&](std::vector<unsigned char> const& b) { return decodeBytes(b, b.size(), gx_type_azn_server, obj); };
  ASSERT_EQ(decode(serverWith(1, 1)), 0u);
  EXPECT_EQ(texts(dynamic_cast<AznLocalSvr&>(*obj).getAdmSvc("svc")->values()), std::vector<std::string>{"v"});
  for (auto [services, values] : {std::pair{0xFFFFFFFFu, 1u}, {1u, 0xFFFFFFFFu}, {2u, 1u}, {1u, 2u}, {0u, 1u}}) {
    EXPECT_EQ(decode(serverWith(services, values)), hx_asn_s_decode_failed) << services << values;
    EXPECT_EQ(obj, nullptr);
  }
}

// ---- AznLocalSvr -----------------------------------------------------------------

TEST(AznLocalSvr, AttributeFormRoundTripsServicesAndValues) {
  AznLocalSvr svr = sampleServer();
  HXObject attrs;
  EXPECT_EQ(svr.encode("unused", "q", attrs), 0u);
  EXPECT_STREQ(attrs.getStringValue("svrid", 0, "q")->getChars(), "azn-1");
  EXPECT_EQ(attrs.length("svradmsvc", "q"), 2u);
  EXPECT_EQ(attrs.length("trace", "q"), 2u);
  EXPECT_EQ(attrs.length("stats", "q"), 0u);  // a service without values: its name only
  AznLocalSvr back("stale");
  EXPECT_EQ(back.decode("unused", "q", attrs), 0u);
  expectSameServer(back, svr);
  EXPECT_EQ(back.getAdmSvc("trace")->getServer(), ZUTF8String_6_0("azn-1"));

  HXObject none;
  AznLocalSvr("azn-3").encode(nullptr, nullptr, none);
  EXPECT_EQ(none.length("svradmsvc", nullptr), 0u);
  EXPECT_FALSE(none.booleanValue("svrlisten", 0, nullptr));
}

TEST(AznLocalSvr, IdentityIsTheIdAndCopiesAreDeep) {
  AznLocalSvr a("azn-1"), b("azn-1", "d", "u", "other-host", 1, 0, 0, 0), c("azn-2");
  EXPECT_EQ(a.compare(b), 0);
  EXPECT_EQ(a.hash(), b.hash());
  EXPECT_LT(a.compare(c), 0);

  AznLocalSvr svr = sampleServer();
  AznLocalSvr copy(svr);
  copy.setHost("elsewhere");
  copy.setAdmSvcs(0, nullptr);
  EXPECT_EQ(svr.getHost(), ZUTF8String_6_0("host.example"));
  EXPECT_EQ(svr.admSvcs().size(), 2u);
  copy = svr;
  copy = static_cast<AznLocalSvr&>(copy);  // self-assignment
  expectSameServer(copy, svr);
  std::unique_ptr<ZObject_6_0> cl(svr.clone());
  expectSameServer(dynamic_cast<AznLocalSvr&>(*cl), svr);
}

TEST(AznAdminSvc, CompletelyEqualIgnoresValueOrderButNotExtraValues) {
  AznAdminSvc a("trace", "azn-1"), b("trace", "azn-1");
  for (char const* v : {"x", "y", "z"}) a.addValue(v);
  for (char const* v : {"z", "x", "y"}) b.addValue(v);
  EXPECT_TRUE(a.completelyEqual(b));
  b.addValue("w");
  EXPECT_FALSE(a.completelyEqual(b));
  EXPECT_FALSE(b.completelyEqual(a));
  AznAdminSvc other("trace", "azn-2");
  EXPECT_FALSE(AznAdminSvc("trace", "azn-1").completelyEqual(other));
  EXPECT_LT(AznAdminSvc("zz", "azn-1").compare(AznAdminSvc("aa", "azn-2")), 0);  // server first
}
