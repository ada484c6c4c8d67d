// Administrators' bearer tokens: kept only as hashes in an owner-only file,
// each token naming its administrator and no other.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "test_support.h"
#include "tools/common/admin_tokens.h"

namespace {

using gxpolicy::TokenFile;

TEST(AdminTokens, ATokenNamesItsAdministratorAndOnlyItsHashIsKept) {
  gxtest::TempDir dir;
  std::string path = dir.file("tokens");
  TokenFile tokens;
  std::string error, alice, bob, again;
  ASSERT_TRUE(TokenFile::load(path, true, tokens, error)) << error;
  ASSERT_TRUE(tokens.add("alice", alice, error)) << error;
  ASSERT_TRUE(tokens.add("bob@example.com", bob, error)) << error;
  EXPECT_FALSE(tokens.add("alice", again, error));
  EXPECT_FALSE(tokens.add("not a name", again, error));
  EXPECT_EQ(alice.size(), 4u + 43u);
  EXPECT_NE(alice, bob);
  ASSERT_TRUE(tokens.save(path, error)) << error;
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(gxtest::readFile(path).find(alice), std::string::npos);

  TokenFile loaded;
  ASSERT_TRUE(TokenFile::load(path, false, loaded, error)) << error;
  EXPECT_EQ(loaded.who(alice), "alice");
  EXPECT_EQ(loaded.who(bob), "bob@example.com");
  std::string nearMiss = alice;
  nearMiss.back() = nearMiss.back() == 'A' ? 'B' : 'A';
  for (std::string const& wrong : {nearMiss, std::string(), alice.substr(4), alice + " "})
    EXPECT_EQ(loaded.who(wrong), std::nullopt) << wrong;
  ASSERT_TRUE(loaded.remove("alice"));
  EXPECT_FALSE(loaded.remove("alice"));
  EXPECT_EQ(loaded.who(alice), std::nullopt);
}

TEST(AdminTokens, AFileOthersCouldReadOrChangeOrThatIsNotWellFormedIsRefused) {
  gxtest::TempDir dir;
  std::string path = dir.file("tokens"), error;
  TokenFile tokens;
  EXPECT_FALSE(TokenFile::load(path, false, tokens, error));
  auto refusal = [&](std::string const& text, mode_t mode) {
    gxtest::writeFile(path, text);
    ::chmod(path.c_str(), mode);
    error.clear();
    EXPECT_FALSE(TokenFile::load(path, false, tokens, error)) << text;
    return error.substr(error.rfind('/') + 1);
  };
  std::string hash(64, 'a');
  EXPECT_EQ(refusal("alice " + hash + " 1\n", 0640), "tokens may be read or written by others than its owner (chmod 600)");
  EXPECT_EQ(refusal("# comment\nalice " + hash + "\n", 0600), "tokens:2: not NAME SHA256-HEX CREATED");
  EXPECT_EQ(refusal("alice " + hash.substr(1) + " 1\n", 0600), "tokens:1: not NAME SHA256-HEX CREATED");
  EXPECT_EQ(refusal("alice " + hash + " 1\nalice " + hash + " 2\n", 0600), "tokens:2: alice has a token already");
}

}  // namespace
