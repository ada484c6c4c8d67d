// Stanza configuration files: items of each type, and errors that name the
// file and the line.
#include <gtest/gtest.h>

#include <fstream>

#include "outside/ZCollections.h"
#include "outside/ZString.h"
#include "outside/stanza.h"
#include "test_support.h"

namespace {

using gxtest::MessageCapture;
using gxtest::TempDir;

std::string write(TempDir const& dir, char const* name, std::string const& text) {
  std::string path = dir.file(name);
  std::ofstream(path) << text;
  return path;
}

struct Values {
  int on = 7, off = 7, untouched = 7, number = 7, absentNumber = 7;
  ZUTF8String_6_0 text{"old"};
  ZArrayList_6_0 list{1, true};
  std::vector<ZStzFileItem_6_0> items() {
    return {{"ldap", "on", stz_boolean, 0, &on, 0},
            {"ldap", "off", stz_boolean, 0, &off, 0},
            {"ldap", "untouched", stz_boolean, 0, &untouched, 0},
            {"ldap", "number", stz_integer, 0, &number, 0},
            {"ldap", "absent-number", stz_integer, 0, &absentNumber, -1},
            {"ldap", "text", stz_text, 0, &text, 0},
            {"ldap", "replica", stz_list, 0, &list, 0}};
  }
  std::vector<std::string> listed() const {
    std::vector<std::string> out;
    for (unsigned i = 0; i < list.size(); ++i) out.push_back(static_cast<ZUTF8String_6_0*>(list.get(i))->getChars());
    return out;
  }
};

TEST(StanzaFile, ItemsOfEachTypeAreReadFromTheirStanzaOnly) {
  TempDir dir;
  std::string path = write(dir, "a.conf",
                           "# settings\n"
                           "[other]\n"
                           "number = 99\n"
                           "\n"
                           "[LDAP]\n"
                           "  On = Yes\n"
                           "off=0\n"
                           "number = -42\n"
                           "; a comment\n"
                           "text = first\n"
                           "text = dir.example.com = with equals \n"
                           "replica = r1:389\n"
                           "replica = ldaps://r2\n"
                           "unknown-key = ignored\n");
  Values v;
  auto items = v.items();
  std::string message = "stale";
  ASSERT_EQ(config_item_load(path.c_str(), items.data(), static_cast<int>(items.size()), 0, message), 0u)
      << message;
  EXPECT_EQ(message, "");
  EXPECT_EQ(v.on, 1);
  EXPECT_EQ(v.off, 0);
  EXPECT_EQ(v.untouched, 7);       // absent boolean: as before
  EXPECT_EQ(v.number, -42);
  EXPECT_EQ(v.absentNumber, -1);   // absent integer: the item's absent value
  EXPECT_STREQ(v.text.getChars(), "dir.example.com = with equals");
  EXPECT_EQ(v.listed(), (std::vector<std::string>{"r1:389", "ldaps://r2"}));
  // Loading again replaces the list rather than adding to it.
  ASSERT_EQ(config_item_load(path.c_str(), items.data(), static_cast<int>(items.size()), 0), 0u);
  EXPECT_EQ(v.listed().size(), 2u);
  EXPECT_TRUE(config_has_stanza(path.c_str(), "ldap"));
  EXPECT_FALSE(config_has_stanza(path.c_str(), "web"));
}

TEST(StanzaFile, ErrorsNameTheFileAndLineAndChangeNothing) {
  TempDir dir;
  struct Case {
    char const* text;
    unsigned long status;
    std::string where;
    char const* what;
  } const cases[] = {
      {"[ldap]\non = yes\nthis line has no equals\n", stz_s_bad_line, ":3:", "key = value"},
      {"on = yes\n[ldap]\n", stz_s_bad_line, ":1:", "before the first"},
      {"[ldap\non = yes\n", stz_s_bad_line, ":1:", "[name]"},
      {"[]\n", stz_s_bad_line, ":1:", "[name]"},
      {"[ldap]\n = 3\n", stz_s_bad_line, ":2:", "key = value"},
      {"[ldap]\non = maybe\n", stz_s_bad_value, ":2:", "yes or no"},
      {"[ldap]\n\nnumber = 12abc\n", stz_s_bad_value, ":3:", "whole number"},
      {"[ldap]\nnumber = 99999999999\n", stz_s_bad_value, ":2:", "whole number"},
      {"[ldap]\nnumber =\n", stz_s_bad_value, ":2:", "whole number"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.text);
    std::string path = write(dir, "bad.conf", c.text);
    Values v;
    auto items = v.items();
    MessageCapture messages;
    std::string message;
    EXPECT_EQ(config_item_load(path.c_str(), items.data(), static_cast<int>(items.size()), 0, message), c.status);
    EXPECT_NE(message.find(path + c.where), std::string::npos) << message;
    EXPECT_NE(message.find(c.what), std::string::npos) << message;
    EXPECT_EQ(v.on, 7);
    EXPECT_EQ(v.absentNumber, 7);
    ASSERT_EQ(messages.count(c.status), 1u);
    EXPECT_EQ(messages.inserts(c.status)[0], path);
    EXPECT_EQ(":" + messages.inserts(c.status)[1] + ":", c.where);
  }
}

TEST(StanzaFile, MissingFileOrRequiredKeyOrBadItemIsAStatus) {
  TempDir dir;
  std::string message;
  int value = 0;
  ZStzFileItem_6_0 required{"ldap", "ldap-server-config", stz_text, 1, nullptr, 0};
  ZUTF8String_6_0 text;
  required.value = &text;
  std::string missing = dir.file("absent.conf");
  EXPECT_EQ(config_item_load(missing.c_str(), &required, 1, 0, message), stz_s_file_unreadable);
  EXPECT_NE(message.find(missing), std::string::npos);
  EXPECT_EQ(config_item_load(nullptr, &required, 1, 0, message), stz_s_file_unreadable);
  EXPECT_FALSE(config_has_stanza(missing.c_str(), "ldap"));

  std::string path = write(dir, "a.conf", "[ldap]\nhost = h\n");
  EXPECT_EQ(config_item_load(path.c_str(), &required, 1, 0, message), stz_s_missing_item);
  EXPECT_NE(message.find("ldap-server-config"), std::string::npos);
  ZStzFileItem_6_0 wrongType{"ldap", "host", 9, 0, &value, 0};
  EXPECT_EQ(config_item_load(path.c_str(), &wrongType, 1, 0, message), stz_s_bad_item);
  ZStzFileItem_6_0 noValue{"ldap", "host", stz_integer, 0, nullptr, 0};
  EXPECT_EQ(config_item_load(path.c_str(), &noValue, 1, 0, message), stz_s_bad_item);
}

}  // namespace
