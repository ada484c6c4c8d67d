// gxpolicy acl: print the ACL attached at one protected object (no
// ancestor is consulted): its description, each entry with its subject and
// its actions as an action string, and the ACL's extended attributes. A user
// or group subject is shown by its registry name when a user registry is
// configured (--registry, or DB.registry.json beside the database) and
// knows it, else by uuid.
#include <cstdio>
#include <memory>
#include <string>

#include "GxCore/GxAcl.h"
#include "GxCore/GxExtAttr.h"
#include "GxCore/db/daCachedStore.h"
#include "outside/registry.h"
#include "tools/gxpolicy/gxpolicy.h"

namespace gxpolicy {
namespace {

struct PolicyArgs {
  std::string db;
  std::string object;
  std::string domain = "Default";
  std::string registry;  // --registry; empty: the file beside db, if any
};

std::string subjectOf(GxACLEntry const& e, gxreg::Registry* registry) {
  std::string text = e.typeName() ? e.typeName() : "?";
  if (e.kind == GxACLEntry::principal || e.kind == GxACLEntry::group) {
    std::string name;
    if (registry != nullptr &&
        (e.kind == GxACLEntry::principal ? registry->userName(e.id, name) : registry->groupName(e.id, name)) == 0)
      return text + " " + name;
    char id[37];
    unsigned long st;
    hx_uuid_to_string(e.id, id, st);
    text += " ";
    text += st == 0 ? id : "?";
  }
  return text;
}

void printExtAttrs(GxExtAttr const& ext) {
  gxextattr_s_t const& v = ext.value();
  for (uint32_t i = 0; i < v.count; ++i) {
    std::printf("  %s:", v.entries[i].name);
    for (uint32_t j = 0; j < v.entries[i].value_count; ++j) std::printf(" %s", v.entries[i].values[j]);
    std::printf("\n");
  }
}

void printAcl(PolicyArgs const& a) {
  daPObjName object = objectOrFail(a.object);
  daCachedStore store(a.domain.c_str(), a.db.c_str(), 1, 0);
  openOrFail(store, a.db, 1);
  std::unique_ptr<gxreg::Registry> registry = openRegistry(a.db, a.registry);
  unsigned long st = 0;
  Handle<daStoreObject> aclHandle, extHandle;
  store.fetchACL(object, aclHandle, extHandle, st);
  if (st != 0) throw CLI::RuntimeError(fail("cannot read the ACL attached at " + a.object, st));
  auto const* acl = dynamic_cast<GxACL const*>(aclHandle.get());
  if (acl == nullptr) {
    std::printf("%s: no ACL attached\n", object.getPathName());
    return;
  }
  std::printf("%s: ACL %s\n", object.getPathName(), acl->getShortName());
  if (acl->description()) std::printf("description: %s\n", acl->description());
  for (unsigned long i = 0; i < acl->numEntries(); ++i) {
    GxACLEntry entry(acl->entry(i));
    ZUTF8String_6_0 actions;
    store.mapBitmap(entry.perms, actions, st);
    std::printf("entry %lu: %s %s\n", i, subjectOf(entry, registry.get()).c_str(), st == 0 ? actions.getChars() : "?");
  }
  if (auto const* ext = dynamic_cast<GxExtAttr const*>(extHandle.get())) {
    std::printf("extended attributes:\n");
    printExtAttrs(*ext);
  }
}

}  // namespace

void registerPolicyCommands(CLI::App& app) {
  auto args = std::make_shared<PolicyArgs>();
  // acl DB OBJECT prints; acl create|show|... (cmd_edit.cpp) edit ACLs by name.
  auto* sub = app.add_subcommand("acl", "print the ACL attached at a protected object (acl DB OBJECT), or edit ACLs "
                                        "by name (acl create|show|delete|set-entry|remove-entry|attach|detach)");
  sub->require_subcommand(0, 1);
  addDatabaseOptions(sub, args->db, args->domain);
  sub->get_option("DB")->required(false);
  sub->add_option("OBJECT", args->object, "protected object, e.g. /a/b");
  sub->add_option("--registry", args->registry, "user registry naming the entries (default: DB.registry.json if it exists)");
  sub->callback([args, sub] {
    if (!sub->get_subcommands().empty()) return;
    if (args->db.empty() || args->object.empty()) {
      std::fprintf(stderr, "gxpolicy: acl: give DB OBJECT, or one of create, show, delete, set-entry, remove-entry, attach, detach\n");
      throw CLI::RuntimeError(kExitError);
    }
    printAcl(*args);
  });
}

}  // namespace gxpolicy
