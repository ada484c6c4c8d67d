// Policy import; see policy_import.h. The document shape is described at
// the top of tools/gxpolicy/cmd_io.cpp.
//
// Import streams the document through the parser's event interface twice
// and never holds more of it than one item (an ACL, a POP, a rule or an
// object). The checking pass builds every item as the writing pass will
// (converting action strings, parsing addresses and uuids, checking names)
// and, once the whole document is read, that every policy an object names
// is in the document or the database; it writes nothing, and the first
// problem stops it. The writing pass reads the document again and hands
// each item to a PolicyWriter (tools/common/policy_write.h), whose bounded
// transactions are held in one database transaction by AtomicWrites.
// Problems found while reading are thrown as document::BadItem so that the
// nested readers stay straight-line code; the entry points catch them, and
// nothing else in this file throws on purpose.
#include "tools/common/policy_import.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <istream>
#include <limits>
#include <memory>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "GxCore/GxAcl.h"
#include "GxCore/GxAddress.h"
#include "GxCore/GxExtAttr.h"
#include "GxCore/GxPObj.h"
#include "GxCore/GxPop.h"
#include "GxCore/daPolicyObjectMap.h"
#include "GxCore/daRule.h"
#include "GxCore/dastatus.h"
#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daRuleEngine.h"
#include "outside/gxobj.h"
#include "outside/hxasn.h"
#include "outside/hxsvc.h"
#include "outside/hxutil.h"
#include "outside/registry.h"
#include "tools/common/change_log.h"
#include "tools/common/json_error.h"
#include "tools/common/policy_document.h"
#include "tools/common/pop_access.h"
#include "tools/common/policy_write.h"

namespace gxpolicy {
namespace {

using namespace document;
using json = nlohmann::json;
using H = Handle<daStoreObject>;

// The database file's key limit (LMDB's, as built by default): keys are
// stored without a terminator, so this many bytes of text.
constexpr std::size_t kMaxKeyBytes = 511;

// ---- reading JSON values ----------------------------------------------------------

// Texts reach the store as C strings: a NUL would silently cut a name, a
// path or a value where it stands (and make it another item's name).
std::string const& noNul(std::string const& text, Path const& p) {
  if (text.find('\0') != std::string::npos) p.fail("contains a NUL character (\\u0000)");
  return text;
}

void checkFields(json const& j, Path const& p, std::initializer_list<char const*> allowed) {
  if (!j.is_object()) p.fail(p.text().empty() ? "the document is not a JSON object" : "expected a JSON object");
  for (auto const& item : j.items()) {
    bool known = false;
    for (char const* a : allowed) known = known || item.key() == a;
    if (!known) (p / item.key()).fail("unknown field");
  }
}

json const* field(json const& j, char const* key) {
  auto it = j.find(key);
  return it == j.end() ? nullptr : &*it;
}

std::optional<std::string> optString(json const& j, char const* key, Path const& p) {
  json const* v = field(j, key);
  if (v == nullptr) return std::nullopt;
  if (!v->is_string()) (p / key).fail("expected a string");
  return noNul(v->get_ref<std::string const&>(), p / key);
}

std::string needString(json const& j, char const* key, Path const& p) {
  auto s = optString(j, key, p);
  if (!s) (p / key).fail("missing");
  return *s;
}

uint32_t optUint32(json const& j, char const* key, Path const& p, uint32_t otherwise) {
  json const* v = field(j, key);
  if (v == nullptr) return otherwise;
  bool ok = v->is_number_unsigned() || (v->is_number_integer() && v->get<int64_t>() >= 0);
  if (!ok || v->get<uint64_t>() > std::numeric_limits<uint32_t>::max())
    (p / key).fail("expected an integer from 0 to 4294967295");
  return v->get<uint32_t>();
}

int32_t optInt32(json const& j, char const* key, Path const& p) {
  json const* v = field(j, key);
  if (v == nullptr) return 0;
  if (!v->is_number_integer() || v->get<int64_t>() < std::numeric_limits<int32_t>::min() ||
      (v->is_number_unsigned() && v->get<uint64_t>() > uint64_t(std::numeric_limits<int32_t>::max())))
    (p / key).fail("expected a 32-bit signed integer");
  return v->get<int32_t>();
}

bool optBool(json const& j, char const* key, Path const& p) {
  json const* v = field(j, key);
  if (v == nullptr) return false;
  if (!v->is_boolean()) (p / key).fail("expected true or false");
  return v->get<bool>();
}

// ---- reading the document -----------------------------------------------------------

std::unique_ptr<GxExtAttr> readAttributes(json const& owner, Path const& p) {
  json const* a = field(owner, "attributes");
  if (a == nullptr) return nullptr;
  Path ap = p / "attributes";
  if (!a->is_object()) ap.fail("expected an object of attribute names");
  auto ext = std::make_unique<GxExtAttr>();
  for (auto const& item : a->items()) {
    Path np = ap / item.key();
    json const& values = item.value();
    if (item.key().empty()) np.fail("empty attribute name");
    noNul(item.key(), np);
    if (!values.is_array() || values.empty()) np.fail("expected a non-empty array of strings");
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (!values[i].is_string()) (np / i).fail("expected a string");
      noNul(values[i].get_ref<std::string const&>(), np / i);
      // A repeated value is kept once, as the set keeps values unique.
      if (ext->addValue(item.key().c_str(), values[i].get<std::string>().c_str()) == GxExtAttr::noMemory_)
        (np / i).fail("out of memory", da_s_no_memory);
    }
  }
  if (ext->nameCount() == 0) return nullptr;
  return ext;
}

GxACLPermset readActions(daCachedStore& store, json const& entry, Path const& p) {
  std::string text = needString(entry, "actions", p);
  GxACLPermset perms;
  unsigned long st = 0;
  throughQuickMap([&] { store.mapAction(text.c_str(), perms, st); }, p / "actions");
  if (st != 0) (p / "actions").fail("bad action string " + json(text).dump(), st);
  return perms;
}

hx_uuid_t readUuid(json const& entry, Path const& p) {
  std::string text = needString(entry, "id", p);
  hx_uuid_t id{};
  unsigned long st;
  hx_uuid_from_string(text.c_str(), id, st);
  if (st != 0) (p / "id").fail("not a uuid", st);
  return id;
}

// The subject of a user or group entry. ACLs keep subjects by uuid only.
// Without a registry "name" is a label for readers and the uuid comes from
// "id"; with one, "name" is looked up, and when "id" is given too the two
// must name the same subject.
hx_uuid_t readSubject(json const& e, Path const& p, std::string const& type, gxreg::Registry* registry) {
  std::optional<std::string> name = optString(e, "name", p);
  bool hasId = field(e, "id") != nullptr;
  if (!name || (!registry && hasId)) return readUuid(e, p);
  if (!registry)
    p.fail("the " + type + " is given by name only; resolving names needs a user registry (or give its \"id\")");
  bool user = type == "user";
  hx_uuid_t byName{};
  unsigned long st = user ? registry->userUuid(*name, byName) : registry->groupUuid(*name, byName);
  if (st != 0) (p / "name").fail("no " + type + " named " + json(*name).dump() + " in the user registry", st);
  if (!hasId) return byName;
  hx_uuid_t id = readUuid(e, p);
  unsigned long ignored;
  if (!hx_uuid_equal(id, byName, ignored)) {
    char text[37];
    hx_uuid_to_string(byName, text, ignored);
    (p / "id").fail("does not match the name: the user registry gives " + type + " " + json(*name).dump() +
                    " the uuid " + text);
  }
  return id;
}

void readEntry(daCachedStore& store, gxreg::Registry* registry, json const& e, Path const& p, GxACL& acl) {
  checkFields(e, p, {"type", "id", "name", "actions"});
  std::string typeName = needString(e, "type", p);
  optString(e, "name", p);
  GxACLPermset perms = readActions(store, e, p);
  unsigned int type = 0;
  if (!entryTypeOf(typeName, type))
    (p / "type").fail("unknown entry type " + json(typeName).dump() + " (" + entryTypeNames() + ")");
  unsigned long index;
  if (type == acl_e_user || type == acl_e_group) {
    hx_uuid_t id = readSubject(e, p, typeName, registry);
    index = type == acl_e_user ? acl.addPrincipalEntry(id, perms) : acl.addGroupEntry(id, perms);
  } else {
    if (field(e, "id") != nullptr) (p / "id").fail("only user and group entries carry an id");
    index = type == acl_e_any_other ? acl.addCellEntry(perms) : acl.addUnauthEntry(perms);
  }
  if (index == GxACL::notFound_) p.fail("out of memory", da_s_no_memory);
}

std::unique_ptr<daStoreObject> readAcl(daCachedStore& store, gxreg::Registry* registry, json const& j, Path const& p) {
  checkFields(j, p, {"description", "entries", "attributes"});
  auto acl = std::make_unique<GxACL>();
  if (auto d = optString(j, "description", p)) acl->description(d->c_str());
  if (json const* entries = field(j, "entries")) {
    Path ep = p / "entries";
    if (!entries->is_array()) ep.fail("expected an array of entries");
    for (std::size_t i = 0; i < entries->size(); ++i) readEntry(store, registry, (*entries)[i], ep / i, *acl);
  }
  return acl;
}

void addIPAuth(GxPop& pop, GxAddress const& network, GxAddress const& netmask, uint32_t level, Path const& p) {
  if (unsigned long st = pop.appendIPAuth(network, netmask, level); st != 0) p.fail("cannot add the IP-auth entry", st);
}

GxAddress readAddress(json const& e, char const* key, Path const& p) {
  std::string text = needString(e, key, p);
  GxAddress a(text.c_str());
  if (!a.addressIsValid()) (p / key).fail("not an IPv4 or IPv6 address: " + json(text).dump(), gx_s_invalid_address);
  return a;
}

// An entry matches a caller whose address, under the netmask, equals the
// network: a mask must be leading one bits only (else it is no prefix and
// means something other than what it reads as), and a network with bits
// set outside its mask would never equal a masked address.
void checkNetwork(GxAddress const& network, GxAddress const& netmask, Path const& p) {
  unsigned char net[16] = {}, mask[16] = {};
  network.getBinAddress(sizeof net, net);
  netmask.getBinAddress(sizeof mask, mask);
  int bytes = network.addressFamily() == GxAddress::familyIPv4 ? 4 : 16;
  bool ended = false;
  for (int i = 0; i < bytes; ++i)
    for (int bit = 7; bit >= 0; --bit) {
      bool one = (mask[i] >> bit) & 1;
      if (one && ended) {
        ZUTF8String_6_0 text;
        netmask.getStrAddress(text);
        (p / "netmask").fail(std::string("netmask ") + text.getChars() + " is not contiguous (its one bits must all lead)");
      }
      ended = ended || !one;
    }
  bool hostBits = false;
  unsigned char masked[16] = {};
  for (int i = 0; i < bytes; ++i) {
    masked[i] = net[i] & mask[i];
    hostBits = hostBits || masked[i] != net[i];
  }
  if (hostBits) {
    ZUTF8String_6_0 given, m, fixed;
    network.getStrAddress(given);
    netmask.getStrAddress(m);
    GxAddress(network.addressFamily(), bytes, masked).getStrAddress(fixed);
    (p / "network").fail(std::string("network ") + given.getChars() + " has bits set outside netmask " + m.getChars() +
                             ", so the entry could never match (the network is " + fixed.getChars() + ")");
  }
}

// The default entry (level default_level, 0.0.0.0/0.0.0.0) comes first, as
// every POP needs one: it is the level for callers no later entry matches.
std::unique_ptr<daStoreObject> readPop(json const& j, Path const& p) {
  checkFields(j, p, {"description", "warning", "audit", "qop", "day_access", "start_access", "end_access",
                     "time_reference", "access", "default_level", "ipauth", "attributes"});
  auto pop = std::make_unique<GxPop>();
  if (auto d = optString(j, "description", p)) pop->setDescription(d->c_str());
  pop->setWarningMode(optBool(j, "warning", p) ? 1 : 0);
  pop->setAuditLevel(optUint32(j, "audit", p, 0));
  pop->setQualityOfProtection(optUint32(j, "qop", p, 0));
  PopAccess raw{optUint32(j, "day_access", p, 0), optInt32(j, "start_access", p), optInt32(j, "end_access", p),
                optUint32(j, "time_reference", p, 0), {}};
  bool hasRaw = false;
  for (char const* k : {"day_access", "start_access", "end_access", "time_reference"}) hasRaw = hasRaw || field(j, k);
  PopAccess window;
  if (auto e = readPopWindow(field(j, "access"), raw, hasRaw, window)) {
    Path at = e->inAccess ? p / "access" : p;
    if (!e->field.empty()) at = at / e->field;
    if (e->index >= 0) at = at / static_cast<std::size_t>(e->index);
    at.fail(e->message);
  }
  GxAddress any("0.0.0.0");
  addIPAuth(*pop, any, any, optUint32(j, "default_level", p, 0), p / "default_level");
  if (json const* list = field(j, "ipauth")) {
    Path lp = p / "ipauth";
    if (!list->is_array()) lp.fail("expected an array of IP-auth entries");
    for (std::size_t i = 0; i < list->size(); ++i) {
      json const& e = (*list)[i];
      Path ep = lp / i;
      checkFields(e, ep, {"network", "netmask", "level"});
      GxAddress network = readAddress(e, "network", ep);
      GxAddress netmask = readAddress(e, "netmask", ep);
      if (netmask.addressFamily() != network.addressFamily())
        (ep / "netmask").fail("not of the network's address family", gx_s_pop_bad_ipauth_address);
      checkNetwork(network, netmask, ep);
      if (field(e, "level") == nullptr) (ep / "level").fail("missing");
      addIPAuth(*pop, network, netmask, optUint32(e, "level", ep, 0), ep);
    }
  }
  unsigned long st = pop->setAttrlist();
  if (st != 0) p.fail("cannot store the IP-auth list", st);
  if ((st = storePopWindow(window, *pop)) != 0) p.fail("cannot store the access window", st);
  return pop;
}

std::unique_ptr<daStoreObject> readRule(json const& j, Path const& p) {
  checkFields(j, p, {"description", "text", "reason", "adilist", "attributes"});
  auto rule = std::make_unique<daRule>();
  if (auto d = optString(j, "description", p)) rule->setDescription(ZUTF8String_6_0(d->c_str()));
  if (auto t = optString(j, "text", p)) {
    // A rule that does not compile would deny wherever it is in force.
    std::string message;
    int line = 0;
    if (!daRuleCompiles(*t, message, line))
      (p / "text").fail("does not compile: " + (line > 0 ? "line " + std::to_string(line) + ": " : std::string()) +
                        message);
    rule->setText(ZUTF8String_6_0(t->c_str()));
  }
  if (auto r = optString(j, "reason", p)) rule->setReason(ZUTF8String_6_0(r->c_str()));
  if (json const* adi = field(j, "adilist")) {
    Path ap = p / "adilist";
    if (!adi->is_array()) ap.fail("expected an array of strings");
    ZArrayList_6_0 list;
    for (std::size_t i = 0; i < adi->size(); ++i) {
      if (!(*adi)[i].is_string()) (ap / i).fail("expected a string");
      noNul((*adi)[i].get_ref<std::string const&>(), ap / i);
      list.addNoCopy(new ZUTF8String_6_0((*adi)[i].get<std::string>().c_str()));
    }
    if (list.size() > 0) rule->setADIList(list);
  }
  return rule;
}

// Every key an item is stored under must fit the database's key limit; the
// longest decides.
void checkKeys(std::initializer_list<daStoreObjectName const*> names, Path const& p, std::string const& what) {
  for (daStoreObjectName const* n : names) {
    GxObjectName full = n->getFullName();
    if (full.getLength() > kMaxKeyBytes)
      p.fail(what + " makes a database key of " + std::to_string(full.getLength()) + " bytes, over the limit of " +
             std::to_string(kMaxKeyBytes));
  }
}

PolicyItem readPolicy(daCachedStore& store, gxreg::Registry* registry, int kind, std::string const& key, json const& j,
                      Path const& p) {
  Kind const& k = kKinds[kind];
  noNul(key, p);
  if (unsigned long st = k.isValid(key.c_str()); st != 0) p.fail(std::string("invalid ") + k.noun + " name", st);
  PolicyItem pi;
  pi.name = k.name(key.c_str());
  checkKeys({pi.name.get(), &pi.name->getPolicyToObjMapName(), &pi.name->getExtAttrName()}, p,
            std::string("the ") + k.noun + " name");
  switch (kind) {
    case kAcl: pi.object = readAcl(store, registry, j, p); break;
    case kPop: pi.object = readPop(j, p); break;
    default: pi.object = readRule(j, p); break;
  }
  pi.ext = readAttributes(j, p);
  return pi;
}

// An object and the names of the policies it attaches; whether those
// policies exist is checked by the Checker, which sees the whole document.
ObjectItem readObject(std::string const& key, json const& j, Path const& p) {
  checkFields(j, p, {"description", "type", "attachable", "acl", "pop", "rule", "attributes"});
  ObjectItem oi;
  noNul(key, p);
  oi.name = daPObjName(key.c_str());
  if (unsigned long st = oi.name.validateAndFix(); st != 0) p.fail("invalid protected object name", st);
  checkKeys({&oi.name, &oi.name.getPObjToAclMapName(), &oi.name.getPObjToPopMapName(),
             &oi.name.getPObjToRuleMapName(), &oi.name.getExtAttrName()},
            p, "the path");
  oi.pobj = std::make_unique<GxPObj>();
  if (auto d = optString(j, "description", p)) oi.pobj->description(d->c_str());
  oi.pobj->type(optUint32(j, "type", p, 0));
  bool attachable = field(j, "attachable") == nullptr || optBool(j, "attachable", p);
  oi.pobj->policyAttachable(attachable);
  for (int kind = 0; kind < kKindCount; ++kind) {
    Kind const& k = kKinds[kind];
    if (field(j, k.field) == nullptr) continue;
    Path fp = p / k.field;
    if (!attachable) fp.fail("policies cannot be attached to an object that is not attachable");
    std::string name = *optString(j, k.field, p);
    if (unsigned long st = k.isValid(name.c_str()); st != 0) fp.fail(std::string("invalid ") + k.noun + " name", st);
    oi.policy[kind] = std::move(name);
  }
  oi.ext = readAttributes(j, p);
  return oi;
}


// Receives each item of a section (an ACL, a POP, a rule, an object) whole,
// in document order.
class ItemSink {
 public:
  virtual ~ItemSink() = default;
  virtual void item(int section, std::string const& key, json const& value, Path const& p) = 0;
};

// Handler for the parser's event interface (nlohmann::json::sax_parse).
// Walks the document's two top levels -- the sections and their items --
// itself, and builds each item's value as a small JSON value handed to the
// sink, so that no more than one item is held at a time. The first problem
// (a shape error, a sink's BadItem or malformed JSON) stops the parse and
// is kept.
class DocumentWalker {
 public:
  explicit DocumentWalker(ItemSink& sink) : sink_(sink) {}

  std::optional<BadItem> const& problem() const { return problem_; }
  unsigned long items() const { return items_; }

  bool null() { return scalar(json(nullptr)); }
  bool boolean(bool v) { return scalar(json(v)); }
  bool number_integer(json::number_integer_t v) { return scalar(json(v)); }
  bool number_unsigned(json::number_unsigned_t v) { return scalar(json(v)); }
  bool number_float(json::number_float_t v, std::string const&) { return scalar(json(v)); }
  bool string(std::string& v) { return scalar(json(std::move(v))); }
  bool binary(json::binary_t& v) { return scalar(json(std::move(v))); }
  bool start_object(std::size_t) { return open(json::object()); }
  bool start_array(std::size_t) { return open(json::array()); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool key(std::string& k) {
    return guard([&] {
      if (depth_ == 1) enterSection(k);
      else if (depth_ == 2) itemKey_ = std::move(k);
      else memberKey_ = std::move(k);
    });
  }
  // The parser's message is kept without its tag; walk() adds where the
  // text goes wrong, from malformedAt().
  bool parse_error(std::size_t position, std::string const&, json::exception const& e) {
    if (!problem_) {
      problem_ = BadItem{"", jsonErrorCause(e), 0};
      malformedAt_ = position;
    }
    return false;
  }
  // The bytes the parser had read when it found the document malformed;
  // empty when it did not.
  std::optional<std::size_t> malformedAt() const { return malformedAt_; }

 private:
  // Levels: 0 outside the document, 1 in the document object, 2 in a
  // section, 3 and more inside an item.
  template <class F>
  bool guard(F f) {
    try {
      f();
      return true;
    } catch (BadItem const& bad) {
      problem_ = bad;
      return false;
    }
  }

  Path sectionPath() const { return root() / sectionName(section_); }

  // A section given twice would otherwise be read as one more run of
  // items; JSON leaves repeated keys to the reader, and this one refuses
  // them at every level.
  void enterSection(std::string const& k) {
    for (section_ = 0; section_ < kSectionCount; ++section_) {
      if (k != sectionName(section_)) continue;
      if (seen_[section_]) (root() / k).fail("the section is given twice");
      seen_[section_] = true;
      return;
    }
    (root() / k).fail("unknown field");
  }

  void notASection() const {
    if (section_ == kObjects) sectionPath().fail("expected an object of protected objects by path");
    sectionPath().fail(std::string("expected an object of ") + kKinds[section_].noun + "s by name");
  }

  // A value at depth_: the document, a section, an item or inside one.
  void place(json&& value, bool container) {
    if (depth_ == 0) root().fail("the document is not a JSON object");
    if (depth_ == 1) notASection();
    if (depth_ == 2) {
      item_ = std::move(value);
      if (container) {
        stack_.push_back(&item_);
        paths_.push_back(sectionPath() / itemKey_);
      } else {
        deliver();
      }
      return;
    }
    json& top = *stack_.back();
    Path p = top.is_array() ? paths_.back() / top.size() : paths_.back() / memberKey_;
    if (top.is_object() && top.contains(memberKey_)) p.fail("given twice");
    json* placed = top.is_array() ? &top.emplace_back(std::move(value)) : &(top[memberKey_] = std::move(value));
    if (container) {
      stack_.push_back(placed);
      paths_.push_back(std::move(p));
    }
  }

  bool scalar(json&& value) {
    return guard([&] { place(std::move(value), false); });
  }

  bool open(json&& container) {
    return guard([&] {
      if (depth_ == 0 && container.is_object()) {
        depth_ = 1;
        return;
      }
      if (depth_ == 1 && container.is_object()) {
        depth_ = 2;
        return;
      }
      place(std::move(container), true);
      ++depth_;
    });
  }

  bool close() {
    return guard([&] {
      --depth_;
      if (depth_ < 2) return;
      stack_.pop_back();
      paths_.pop_back();
      if (stack_.empty()) deliver();
    });
  }

  void deliver() {
    sink_.item(section_, itemKey_, item_, sectionPath() / itemKey_);
    ++items_;
    item_ = json();
  }

  ItemSink& sink_;
  int depth_ = 0;
  int section_ = 0;
  std::string itemKey_, memberKey_;
  json item_;
  std::vector<json*> stack_;  // the open containers of item_, innermost last
  std::vector<Path> paths_;   // their places in the document
  bool seen_[kSectionCount] = {};
  unsigned long items_ = 0;
  std::optional<BadItem> problem_;
  std::optional<std::size_t> malformedAt_;
};

// Parses the source's document into sink. tick is called with the number
// of bytes read so far every 4096 items. Throws the first problem.
void walk(DocumentSource const& source, ItemSink& sink, std::function<void(unsigned long)> const& tick) {
  std::unique_ptr<std::istream> in = source();
  if (!in || !*in) root().fail("cannot read the document");
  struct Ticking : ItemSink {
    ItemSink& inner;
    std::istream& in;
    std::function<void(unsigned long)> const& tick;
    unsigned long n = 0;
    Ticking(ItemSink& s, std::istream& i, std::function<void(unsigned long)> const& t) : inner(s), in(i), tick(t) {}
    void item(int section, std::string const& key, json const& value, Path const& p) override {
      inner.item(section, key, value, p);
      if (tick && ++n % 4096 == 0) tick(static_cast<unsigned long>(std::max<std::streamoff>(0, in.tellg())));
    }
  } ticking(sink, *in, tick);
  DocumentWalker walker(ticking);
  bool ok = json::sax_parse(*in, &walker);
  if (std::optional<std::size_t> at = walker.malformedAt()) {
    // Counted again from the start: the walk keeps no line numbers.
    std::unique_ptr<std::istream> again = source();
    std::string const place = again && *again ? " at " + jsonErrorPlace(*again, *at) : std::string();
    root().fail("malformed JSON" + place + ": " + walker.problem()->message);
  }
  if (walker.problem()) throw *walker.problem();
  if (!ok) root().fail("malformed JSON");
}

// ---- import passes ---------------------------------------------------------------

// The place of the longest text (string or key) in j, at p when there is
// none; skip names a member of j left out.
Path longestText(json const& j, Path const& p, char const* skip = nullptr) {
  std::size_t best = 0;
  Path at = p;
  std::function<void(json const&, Path const&)> visit = [&](json const& v, Path const& vp) {
    if (v.is_string() && v.get_ref<std::string const&>().size() > best) {
      best = v.get_ref<std::string const&>().size();
      at = vp;
    } else if (v.is_array()) {
      for (std::size_t i = 0; i < v.size(); ++i) visit(v[i], vp / i);
    } else if (v.is_object()) {
      for (auto const& item : v.items()) {
        if (&v == &j && skip != nullptr && item.key() == skip) continue;
        if (item.key().size() > best) {
          best = item.key().size();
          at = vp / item.key();
        }
        visit(item.value(), vp / item.key());
      }
    }
  };
  visit(j, p);
  return at;
}

// Encoded size of a string of n bytes in a record (tag, length, bytes), as
// the record encoder counts it.
std::size_t encodedStringSize(std::size_t n) {
  std::size_t lengthBytes = 1;
  if (n >= 0x80)
    for (std::size_t v = n; v != 0; v >>= 8) ++lengthBytes;
  return 1 + lengthBytes + n;
}
// A policy map's record besides its strings: the sequences and the count
// and reserved words, at their largest.
constexpr std::size_t kMapRecordOverhead = 64;

// First pass: reads every item as the writing pass will and checks what
// needs the whole document -- an object or a policy listed twice, and that
// every policy an object names is in the document (anywhere in it) or in
// the database. Nothing is kept but names.
class Checker : public ItemSink {
 public:
  // replace: the document is to be the whole policy, so what it names
  // must be in it, and what the database holds besides goes.
  Checker(daCachedStore& store, unsigned long maxRecordBytes, gxreg::Registry* registry, bool replace)
      : store_(store), registry_(registry), maxRecord_(maxRecordBytes), replace_(replace) {}

  void item(int section, std::string const& key, json const& value, Path const& p) override {
    if (section == kObjects) return object(key, value, p);
    PolicyItem pi = readPolicy(store_, registry_, section, key, value, p);
    if (!declared_[section].insert(key).second)
      p.fail(std::string("the same ") + kKinds[section].noun + " is listed twice");
    std::string noun = std::string("the ") + kKinds[section].noun;
    checkRecord(*pi.object, value, p, noun, "attributes");
    if (pi.ext) checkRecord(*pi.ext, value.at("attributes"), p / "attributes", noun + "'s extended attributes");
    section == kAcl ? ++counts.acls : section == kPop ? ++counts.pops : ++counts.rules;
  }

  // The earliest reference to a policy found neither in the document nor in
  // the database; then every policy's list of objects as it will be
  // written.
  void finish() {
    std::optional<Reference> first;
    for (int kind = 0; kind < kKindCount; ++kind)
      for (auto const& [name, ref] : unresolved_[kind])
        if (declared_[kind].count(name) == 0 && (!first || ref.order < first->order)) first = ref;
    if (first) throw BadItem{first->path, first->message, da_s_no_such_object};
    for (int kind = 0; kind < kKindCount; ++kind)
      for (auto const& [name, listing] : listings_[kind]) checkListing(kind, name, listing);
  }

  ImportCounts counts;
  // The policies (per kind) and object paths the document holds.
  std::set<std::string> const& declared(int kind) const { return declared_[kind]; }
  std::set<std::string> const& objects() const { return objects_; }

 private:
  struct Reference {
    unsigned long order;
    std::string path, message;
  };
  // The objects the document attaches to one policy: their paths' encoded
  // size, and the last one's place.
  struct Listing {
    std::size_t bytes = 0;
    std::string last;
  };

  void object(std::string const& key, json const& value, Path const& p) {
    ObjectItem oi = readObject(key, value, p);
    std::string path = oi.name.getPathName();
    if (!objects_.insert(path).second) p.fail("the same object is listed twice");
    checkRecord(*oi.pobj, value, p, "the object", "attributes");
    if (oi.ext) checkRecord(*oi.ext, value.at("attributes"), p / "attributes", "the object's extended attributes");
    for (int kind = 0; kind < kKindCount; ++kind) {
      if (!oi.policy[kind]) continue;
      Path fp = p / kKinds[kind].field;
      reference(kind, *oi.policy[kind], fp);
      Listing& l = listings_[kind][*oi.policy[kind]];
      l.bytes += encodedStringSize(path.size());
      l.last = fp.text();
    }
    ++counts.objects;
  }

  // The record the writing pass will store for object must fit the
  // database's record limit; the longest text of value (the item or the
  // part of it the record holds) is named as the cause.
  void checkRecord(daStoreObject& object, json const& value, Path const& p, std::string const& what,
                   char const* skip = nullptr) {
    gxobj_holder record;
    unsigned long st = 0;
    object.encode(record.rec, st);
    if (st == 0 && record.rec.length <= maxRecord_) return;
    if (st != 0 && st != hx_asn_s_encode_failed) p.fail("cannot encode " + what, st);
    std::string size = st == 0 ? std::to_string(record.rec.length) + " bytes, " : "";
    longestText(value, p, skip)
        .fail("makes the record of " + what + " " + size + "over the database's record limit of " +
              std::to_string(maxRecord_) + " bytes");
  }

  // The policy's list of objects as the writer will store it: the stored
  // paths the document does not mention (those it mentions are either
  // listed again or moved elsewhere), plus the document's.
  void checkListing(int kind, std::string const& name, Listing const& listing) {
    Kind const& k = kKinds[kind];
    std::size_t bytes = kMapRecordOverhead + listing.bytes;
    H h;
    unsigned long st;
    store_.getObject(k.name(name.c_str())->getPolicyToObjMapName(), h, st);
    if (st != 0 && st != da_s_no_such_object)
      throw BadItem{listing.last, std::string("cannot read the objects of ") + k.noun + " " + json(name).dump(), st};
    if (auto const* stored = replace_ ? nullptr : dynamic_cast<daPolicyObjectMap const*>(h.get()))
      for (unsigned int i = 0; i < stored->count(); ++i)
        if (objects_.count(stored->get(i)) == 0) bytes += encodedStringSize(std::strlen(stored->get(i)));
    if (bytes > maxRecord_)
      throw BadItem{listing.last,
                    std::string("attaching makes the list of objects of ") + k.noun + " " + json(name).dump() +
                        " about " + std::to_string(bytes) + " bytes, over the database's record limit of " +
                        std::to_string(maxRecord_) + " bytes",
                    0};
  }

  void reference(int kind, std::string const& name, Path const& fp) {
    if (declared_[kind].count(name) || inDatabase_[kind].count(name) || unresolved_[kind].count(name)) return;
    Kind const& k = kKinds[kind];
    if (replace_) {
      std::string message = std::string("no ") + k.noun + " named " + json(name).dump() +
                            " in the document (replacing, the document is the whole policy)";
      unresolved_[kind].emplace(name, Reference{order_++, fp.text(), std::move(message)});
      return;
    }
    H h;
    unsigned long st;
    store_.getObject(*k.name(name.c_str()), h, st);
    if (st == 0) {
      inDatabase_[kind].insert(name);
    } else if (st == da_s_no_such_object) {
      std::string message = std::string("no ") + k.noun + " named " + json(name).dump() + " in the document or the database";
      unresolved_[kind].emplace(name, Reference{order_++, fp.text(), std::move(message)});
    } else {
      fp.fail(std::string("cannot read ") + k.noun + " " + json(name).dump(), st);
    }
  }

  daCachedStore& store_;
  gxreg::Registry* registry_;
  std::set<std::string> declared_[kKindCount], inDatabase_[kKindCount], objects_;
  std::map<std::string, Reference> unresolved_[kKindCount];
  std::map<std::string, Listing> listings_[kKindCount];
  unsigned long maxRecord_;
  bool replace_;
  unsigned long order_ = 0;
};

// Second pass: builds each item again and hands it to the writer.
class Loader : public ItemSink {
 public:
  // log: null, or where each item's change is recorded.
  Loader(daCachedStore& store, PolicyWriter& writer, gxreg::Registry* registry, ChangeLogWriter* log)
      : store_(store), writer_(writer), registry_(registry), log_(log) {}

  void item(int section, std::string const& key, json const& value, Path const& p) override {
    unsigned long st;
    if (section == kObjects) {
      ObjectItem oi = readObject(key, value, p);
      if (log_ != nullptr) record(section, oi.name.getPathName(), objectItemJson(*oi.pobj, oi.policy, oi.ext.get()));
      st = writer_.object(oi);
    } else {
      PolicyItem pi = readPolicy(store_, registry_, section, key, value, p);
      if (log_ != nullptr) record(section, key, policyItemJson(store_, registry_, section, *pi.object, pi.ext.get(), p));
      st = writer_.policy(pi);
    }
    if (st != 0) root().fail(writer_.failure(), st);
    ++written;
  }

  // Removes what the document lacks (an import that replaces).
  void removeAbsent(Checker const& checker, ImportCounts& counts) {
    for (int kind = 0; kind < kKindCount; ++kind) {
      std::vector<std::string> stored;
      if (unsigned long st = keysUnder(store_, kKinds[kind].base, stored); st != 0)
        root().fail(std::string("cannot list the ") + kKinds[kind].noun + "s", st);
      for (std::string const& suffix : stored) {
        if (suffix.size() < 2 || checker.declared(kind).count(suffix.substr(1))) continue;
        std::string name = suffix.substr(1);
        if (log_ != nullptr) record(kind, name, json());
        if (unsigned long st = writer_.removePolicy(kind, name); st != 0) root().fail(writer_.failure(), st);
        ++counts.removed;
      }
    }
    std::set<std::string> paths;
    if (unsigned long st = objectPaths(store_, paths); st != 0) root().fail("cannot list the objects", st);
    for (std::string const& path : paths) {
      if (checker.objects().count(path)) continue;
      if (log_ != nullptr) record(kObjects, path, json());
      if (unsigned long st = writer_.removeObject(daPObjName(path.c_str())); st != 0) root().fail(writer_.failure(), st);
      ++counts.removed;
    }
  }

  unsigned long written = 0;

 private:
  // The item as the database holds it before it is written.
  void record(int section, std::string const& key, json after) {
    json before = exportItem(store_, registry_, section, key);
    if (unsigned long st = log_->add(itemField(section), key, std::move(before), std::move(after)); st != 0)
      root().fail("cannot write the change log", st);
  }

  daCachedStore& store_;
  PolicyWriter& writer_;
  gxreg::Registry* registry_;
  ChangeLogWriter* log_;
};

unsigned long sizeOf(DocumentSource const& source) {
  std::unique_ptr<std::istream> in = source();
  if (!in || !in->seekg(0, std::ios::end)) return 0;
  std::streamoff size = in->tellg();
  return size > 0 ? static_cast<unsigned long>(size) : 0;
}

// Room the one database transaction may grow by: records take more room
// than their text, so several times the document's size.
constexpr size_t kReserveBase = size_t{256} << 20;
constexpr unsigned kReservePerByte = 8;

}  // namespace

namespace document {
PolicyItem readPolicyItem(daCachedStore& store, gxreg::Registry* registry, int kind, std::string const& key,
                          json const& value, Path const& p) {
  return readPolicy(store, registry, kind, key, value, p);
}
ObjectItem readObjectItem(std::string const& key, json const& value, Path const& p) { return readObject(key, value, p); }
}  // namespace document

bool importPolicyDocument(daCachedStore& store, DocumentSource const& source, ImportOptions const& options,
                          ImportCounts& counts, Problem& problem) {
  counts = ImportCounts{};
  problem = Problem{};
  auto const& progress = options.progress;
  try {
    Checker checker(store, options.maxRecordBytes, options.registry, options.replace);
    unsigned long size = sizeOf(source);
    std::function<void(unsigned long)> checking, writing;
    if (progress) checking = [&](unsigned long at) { progress("checking", at, size); };
    walk(source, checker, checking);
    checker.finish();
    if (progress) progress("checking", size, size);
    counts = checker.counts;
    if (options.checkOnly) return true;
    unsigned long total = counts.acls + counts.pops + counts.rules + counts.objects;
    // The whole write is one database transaction: a failure or a crash
    // leaves nothing of it.
    AtomicWrites atomic(store, kReserveBase + size_t{kReservePerByte} * size);
    if (atomic.status() != 0) root().fail("cannot begin the import's database transaction", atomic.status());
    unsigned long from = 0, st = 0;
    store.lockDatabase();
    store.readSeqNum(from, st);
    store.unlockDatabase();
    if (st != 0) root().fail("cannot read the sequence number", st);
    std::optional<ChangeLogWriter> log;
    if (options.actor) log.emplace(store, from);
    PolicyWriter writer(store, options.changesPerTransaction);
    Loader loader(store, writer, options.registry, log ? &*log : nullptr);
    if (progress) writing = [&](unsigned long) { progress("writing", loader.written, total); };
    walk(source, loader, writing);
    if (options.replace) loader.removeAbsent(checker, counts);
    if ((st = writer.finish()) != 0) root().fail(writer.failure(), st);
    counts.sequence = 0;
    if (log && (st = log->finish(*options.actor, options.command, counts.sequence)) != 0)
      root().fail("cannot write the change log", st);
    if ((st = atomic.commit()) != 0) root().fail("writing the import failed", st);
    counts.transactions = 1;
    if (!log) store.getSeqNum(counts.sequence, st);
    if (progress) progress("writing", total, total);
  } catch (BadItem const& bad) {
    counts = ImportCounts{};
    problem = problemOf(bad);
    return false;
  }
  return true;
}

bool importPolicyText(daCachedStore& store, std::string const& text, ImportCounts& counts,
                      Problem& problem) {
  DocumentSource source = [&text] { return std::make_unique<std::istringstream>(text); };
  return importPolicyDocument(store, source, ImportOptions{}, counts, problem);
}

}  // namespace gxpolicy
