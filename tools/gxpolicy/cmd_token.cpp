// gxpolicy token add / rm / ls: the bearer tokens administrators present
// to the administration service, kept hashed in a file only its owner may
// read (tools/common/admin_tokens.h).
//
//   gxpolicy token add FILE NAME     prints NAME's new token, once
//   gxpolicy token rm  FILE NAME
//   gxpolicy token ls  FILE [--json]
#include <cstdio>
#include <ctime>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "tools/common/admin_tokens.h"
#include "tools/gxpolicy/gxpolicy.h"

namespace gxpolicy {
namespace {

struct TokenArgs {
  std::string file, name;
  bool json = false;
};

[[noreturn]] void refuse(std::string const& message) {
  std::fprintf(stderr, "gxpolicy: %s\n", message.c_str());
  throw CLI::RuntimeError(kExitError);
}

TokenFile loadOrFail(std::string const& path, bool mayBeMissing) {
  TokenFile tokens;
  std::string error;
  if (!TokenFile::load(path, mayBeMissing, tokens, error)) refuse(error);
  return tokens;
}

void saveOrFail(TokenFile const& tokens, std::string const& path) {
  std::string error;
  if (!tokens.save(path, error)) refuse(error);
}

void add(TokenArgs const& a) {
  TokenFile tokens = loadOrFail(a.file, true);
  std::string token, error;
  if (!tokens.add(a.name, token, error)) refuse(error);
  saveOrFail(tokens, a.file);
  std::printf("%s\n", token.c_str());
  std::fprintf(stderr, "gxpolicy: the token of %s, shown this once (%s keeps only its hash)\n", a.name.c_str(),
               a.file.c_str());
}

void remove(TokenArgs const& a) {
  TokenFile tokens = loadOrFail(a.file, false);
  if (!tokens.remove(a.name)) refuse(a.name + " has no token in " + a.file);
  saveOrFail(tokens, a.file);
}

void list(TokenArgs const& a) {
  TokenFile tokens = loadOrFail(a.file, false);
  nlohmann::json out = nlohmann::json::array();
  for (AdminToken const& t : tokens.tokens()) {
    char when[32];
    std::time_t created = static_cast<std::time_t>(t.created);
    std::tm tm{};
    ::gmtime_r(&created, &tm);
    std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &tm);
    if (a.json)
      out.push_back({{"name", t.name}, {"created", when}});
    else
      std::printf("%-24s created %s\n", t.name.c_str(), when);
  }
  if (a.json) std::printf("%s\n", out.dump(2).c_str());
}

}  // namespace

void registerTokenCommands(CLI::App& app) {
  auto args = std::make_shared<TokenArgs>();
  auto* token = app.add_subcommand("token", "administrators' bearer tokens for the administration service");
  token->require_subcommand(1);
  auto* a = token->add_subcommand("add", "make a token for an administrator and print it (once)");
  a->add_option("FILE", args->file, "token file (created mode 600)")->required();
  a->add_option("NAME", args->name, "the administrator's name")->required();
  a->callback([args] { add(*args); });
  auto* r = token->add_subcommand("rm", "forget an administrator's token");
  r->add_option("FILE", args->file, "token file")->required();
  r->add_option("NAME", args->name, "the administrator's name")->required();
  r->callback([args] { remove(*args); });
  auto* l = token->add_subcommand("ls", "list the administrators who have a token (never the tokens)");
  l->add_option("FILE", args->file, "token file")->required();
  l->add_flag("--json", args->json, "print JSON");
  l->callback([args] { list(*args); });
}

}  // namespace gxpolicy
