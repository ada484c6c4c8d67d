// Writes the seed corpora of the fuzz targets, made by the project's own
// encoders, into OUTDIR/<target>/: a small policy document is imported into a
// scratch database and every record the import and the catalogue wrote (ACLs,
// a POP with IP-auth entries, a rule, maps, extended attributes, protected
// objects, the action catalogue, bookkeeping) becomes a decode seed; the
// POPs, extended attributes and protected objects also give attribute-form
// seeds, and the document itself an import seed.
//
// Usage: gxfuzz_seeds OUTDIR
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "GxCore/AznLocalSvr.h"
#include "GxCore/GxAction.h"
#include "GxCore/GxExtAttr.h"
#include "GxCore/GxPObj.h"
#include "GxCore/GxPop.h"
#include "GxCore/daStoreObject.h"
#include "GxCore/db/daCachedStore.h"
#include "fuzz_support.h"
#include "outside/hxdb.h"
#include "tools/common/policy_import.h"

namespace fs = std::filesystem;

namespace {

char const* const kDocument = R"({
  "acls": {
    "public": {"description": "anyone may read",
               "entries": [{"type": "user", "id": "6f1c0a56-8b1e-4c1e-9d7e-1f2a3b4c5d6e", "actions": "Tcrmdlva"},
                           {"type": "group", "id": "0b9f3e2a-1c4d-4e5f-8a9b-7c6d5e4f3a2b", "actions": "Trl"},
                           {"type": "any-other", "actions": "Tr"},
                           {"type": "unauthenticated", "actions": ""}],
               "attributes": {"owner": ["web team"]}},
    "admin": {"entries": [{"type": "group", "id": "0b9f3e2a-1c4d-4e5f-8a9b-7c6d5e4f3a2b", "actions": "Tcva"}]}
  },
  "pops": {
    "internal": {"description": "internal network", "warning": false, "audit": 3, "qop": 1, "default_level": 2,
                 "ipauth": [{"network": "10.0.0.0", "netmask": "255.0.0.0", "level": 0},
                            {"network": "fd00::", "netmask": "ff00::", "level": 1},
                            {"network": "192.0.2.7", "netmask": "255.255.255.255", "level": 3}],
                 "attributes": {"zone": ["lan"]}}
  },
  "rules": {"hours": {"description": "office hours", "text": "attr.a == attr.b", "reason": "closed", "adilist": ["a", "b"]}},
  "objects": {
    "/web": {"description": "the web space", "acl": "public"},
    "/web/docs": {"acl": "public", "pop": "internal", "rule": "hours", "attributes": {"k": ["v", "w"]}},
    "/web/admin": {"acl": "admin"}
  }
})";

char const* const kSmallDocuments[] = {
    R"({"acls": {"a": {"entries": [{"type": "any-other", "actions": "Tr"}]}}, "objects": {"/x": {"acl": "a"}}})",
    R"({"pops": {"p": {"ipauth": [{"network": "::", "netmask": "::", "level": 1}]}}, "objects": {"/": {"pop": "p"}}})",
    R"({"rules": {"r": {"text": "t"}}, "objects": {"/a/b/c": {"rule": "r", "description": "d"}}})",
    R"({})",
};

char const* const kActions[] = {"Tr", "Tcrmdlva", "Tcrmdxlva", "[primary]Tr", "Tr[primary]a", "Tr[mygroup]a",
                                "r[", "[primary]", "[]r", "", "x", "TTrr"};

char const* const kAddresses[] = {
    "10.1.2.3\n10.0.0.0\n255.0.0.0\n192.0.2.7\n255.255.255.255",
    "fd00::1\nfd00::\nff00::\n10.0.0.0\n255.0.0.0",
    "192.0.2.7\n192.0.2.0\n255.255.255.0\n192.0.2.7\n255.255.255.255",
    "::ffff:10.1.2.3\n::ffff:10.0.0.0\nffff:ffff:ffff:ffff:ffff:ffff:ff00:0",
    "fe80::0001\nfe80::\nffff::",
    "0.0.0.0",
};

int written = 0;

// Rule texts: the contract's names, the sandbox's edges and its limits.
char const* const kRuleTexts[] = {
    "attr.department == 'sales' and subject.level >= 2",
    "has(subject.groups, 'admins') or has(attr.roles, 'auditor')",
    "local h = request.hour\nreturn request.weekday >= 1 and request.weekday <= 5 and h >= 8 and h < 18",
    "request.protection == 'privacy' and request.address:find('^192%.0%.2%.') ~= nil",
    "string.upper = nil",
    "x = (x or 0) + 1 return x == 1",
    "while true do end",
    "local t = {} while true do t[#t + 1] = t end",
    "return ('a'):rep(100):match('.-.-b')",
    "error(setmetatable({}, {}))",
    "return 'true'",
    "return ==",
};

void writeSeed(fs::path const& dir, std::string const& name, std::string const& bytes) {
  fs::create_directories(dir);
  std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", (dir / name).c_str());
    std::exit(1);
  }
  ++written;
}

// An attribute-form seed: decoder selector, qualifier selector, then the
// attribute object encoded as a record.
void writeAttrSeed(fs::path const& dir, std::string const& name, uint8_t form, uint8_t qsel, HXObject& attrs) {
  hx_asn_buffer_t buffer{0, nullptr};
  unsigned long st = 0;
  attrs.encode(buffer, st);
  if (st != 0) return;
  std::string bytes{static_cast<char>(form), static_cast<char>(qsel)};
  bytes.append(reinterpret_cast<char const*>(buffer.data), buffer.length);
  hx_asn_buffer_free(buffer);
  writeSeed(dir, name, bytes);
}

template <class T>
void attrSeeds(fs::path const& dir, std::string const& name, uint8_t form, T& obj) {
  for (uint8_t qsel = 0; qsel < 3; ++qsel) {
    HXObject attrs;
    char const* q = gxfuzz::qualifierFor(qsel);
    unsigned long rc;
    if constexpr (std::is_same_v<T, GxPop>)
      rc = form == gxfuzz::kPop510 ? obj.encode510("seed", q, attrs) : obj.encode("seed", q, attrs);
    else
      rc = obj.encode("seed", q, attrs);
    if (rc == 0) writeAttrSeed(dir, name + "-q" + std::to_string(qsel), form, qsel, attrs);
  }
}

void decodeSeed(fs::path const& dir, std::string const& name, uint32_t type, hx_asn_buffer_t const& buffer) {
  size_t const index = gxfuzz::typeIndex(type);
  if (index == gxfuzz::kTypeCount) return;
  std::string bytes(1, static_cast<char>(index));
  bytes.append(reinterpret_cast<char const*>(buffer.data), buffer.length);
  writeSeed(dir, name, bytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
    return 2;
  }
  gxfuzz::silenceMessages();
  fs::path const out = argv[1];

  std::string const path = gxfuzz::scratchDir() + "/seeds.db";
  gxfuzz::createPolicyDb(path);
  daCachedStore store("d", path.c_str(), 1, 0);
  unsigned long st = 0;
  store.openStore(0, st);
  if (st != 0) return 1;
  gxpolicy::ImportCounts counts;
  gxpolicy::Problem problem;
  if (!gxpolicy::importPolicyText(store, kDocument, counts, problem)) {
    std::fprintf(stderr, "seed document refused: %s\n", gxpolicy::describe(problem).c_str());
    return 1;
  }

  // Every stored record: a decode seed, and an attribute-form seed for the
  // kinds that have an attribute-form decoder.
  std::vector<std::string> keys;
  {
    hx_db_iteration iteration(store.getDBHandle(), st);
    if (st != 0) return 1;
    while (char const* key = iteration.next(st)) keys.emplace_back(key);
  }
  int n = 0;
  for (auto const& key : keys) {
    hx_db_record rec(store.getDBHandle(), key.c_str(), st);
    if (st != 0 || !rec.get()) continue;
    gxobj_t const& r = *rec.get();
    std::string const name = "rec" + std::to_string(n++);
    decodeSeed(out / "decode", name, r.type, hx_asn_buffer_t{r.length, r.data});
    daStoreObject* raw = nullptr;
    daStoreObject::decode(r, &raw, st);
    std::unique_ptr<daStoreObject> obj(raw);
    if (st != 0 || !obj) continue;
    if (auto* pop = dynamic_cast<GxPop*>(obj.get())) {
      attrSeeds(out / "attrs", name + "-pop", gxfuzz::kPop, *pop);
      attrSeeds(out / "attrs", name + "-pop510", gxfuzz::kPop510, *pop);
    } else if (auto* ea = dynamic_cast<GxExtAttr*>(obj.get())) {
      attrSeeds(out / "attrs", name + "-extattr", gxfuzz::kExtAttr, *ea);
    } else if (auto* po = dynamic_cast<GxPObj*>(obj.get())) {
      attrSeeds(out / "attrs", name + "-pobj", gxfuzz::kPObj, *po);
    }
  }

  // Kinds the document does not make: a server record and a single action.
  AznLocalSvr server("server-1", "a server", "svc-user", "host.example", 7136, 1, 2, 1);
  attrSeeds(out / "attrs", "server", gxfuzz::kServer, server);
  {
    hx_asn_buffer_t buffer{0, nullptr};
    server.encode(buffer, st);
    if (st == 0) decodeSeed(out / "decode", "server", gx_type_azn_server, buffer);
    hx_asn_buffer_free(buffer);
  }
  {
    GxAction action("r", "Read", "Web");
    hx_asn_buffer_t buffer{0, nullptr};
    action.encode(buffer, st);
    if (st == 0) decodeSeed(out / "decode", "action", gx_type_action, buffer);
    hx_asn_buffer_free(buffer);
  }

  for (size_t i = 0; i < sizeof kActions / sizeof kActions[0]; ++i)
    writeSeed(out / "actions", "a" + std::to_string(i), kActions[i]);
  for (size_t i = 0; i < sizeof kAddresses / sizeof kAddresses[0]; ++i)
    writeSeed(out / "address", "a" + std::to_string(i), kAddresses[i]);
  // Whole database files: the policy database as written (with free pages
  // and older pages) and its compacted copy.
  auto fileBytes = [](std::string const& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  writeSeed(out / "dbfile", "written", fileBytes(path));
  std::string const compact = gxfuzz::scratchDir() + "/compact.db";
  hx_db_copy(store.getDBHandle(), compact.c_str(), st);
  if (st == 0) writeSeed(out / "dbfile", "compacted", fileBytes(compact));

  writeSeed(out / "import", "document", kDocument);
  for (size_t i = 0; i < sizeof kSmallDocuments / sizeof kSmallDocuments[0]; ++i)
    writeSeed(out / "import", "small" + std::to_string(i), kSmallDocuments[i]);

  // Rules: a request header (authenticated, privacy, attributes given,
  // groups; level 2; 2026-12-06T14:00:00Z) before each text.
  std::string const header("\x2d\x02\x60\x6a\x15\x6b\x00\x00\x00\x00", 10);
  for (size_t i = 0; i < sizeof kRuleTexts / sizeof kRuleTexts[0]; ++i)
    writeSeed(out / "rules", "r" + std::to_string(i), header + kRuleTexts[i]);

  std::printf("%d seeds in %s\n", written, out.c_str());
  return 0;
}
