// Typed database keys. A daStoreObjectName is a GxObjectName (the object's
// short name) that also carries its kind's type id, the kind's base key and
// an optional prefix; getFullName() joins prefix, base and short name into
// the key the object is stored under ("/auth/pop" + "p1" -> "/auth/pop/p1").
// One subclass per kind supplies its type id and base, the validity rule for
// names users give, and the keys of the objects that belong to it (maps and
// extended attributes).
//
// Names are values: not synchronised, owned by one thread at a time.
#pragma once

#include "GxCore/GxObjName.h"

// Object type ids: the type field of a stored record, which selects its
// decoder.
enum : int {
  gx_type_map_pobj_to_acl = 1281,   // 0x501
  gx_type_map_acl_to_pobj = 1282,   // 0x502
  gx_type_authzn_db_info = 1283,    // 0x503
  gx_type_none_1284 = 1284,
  gx_type_action = 1285,            // 0x505
  gx_type_plain_name = 1286,        // default of a plain daStoreObjectName
  gx_type_pop = 1287,               // 0x507
  gx_type_map_pobj_to_pop = 1288,   // 0x508
  gx_type_map_pop_to_pobj = 1289,   // 0x509
  gx_type_pobj_space = 1290,        // 0x50A
  gx_type_pobj = 1291,              // 0x50B
  gx_type_ext_attr = 1292,          // 0x50C
  gx_type_acl = 1293,               // 0x50D
  gx_type_action_groups = 1294,     // 0x50E
  gx_type_rule = 1295,              // 0x50F
  gx_type_map_pobj_to_rule = 1296,  // 0x510
  gx_type_map_rule_to_pobj = 1297,  // 0x511
  gx_type_azn_server = 2566,        // 0xA06
};

class daStoreObjectName : public GxObjectName {
 public:
  daStoreObjectName() = default;
  explicit daStoreObjectName(int type) : type_(type) {}
  daStoreObjectName(int type, char shortName, char const* base);
  daStoreObjectName(int type, char const* shortName, char const* base)
      : GxObjectName(shortName), type_(type), base_(base) {}
  daStoreObjectName(int type, char const* shortName, char const* base, char const* prefix)
      : GxObjectName(shortName), type_(type), base_(base), prefix_(prefix) {}
  daStoreObjectName(daStoreObjectName const&) = default;
  daStoreObjectName& operator=(daStoreObjectName const&) = default;
  ~daStoreObjectName() override = default;

  ZObject_6_0* clone() const override { return new daStoreObjectName(*this); }
  // Same type id, same base text and same short-name text; the prefix does
  // not take part.
  bool equals(ZObject_6_0 const& other) const override;
  bool operator==(daStoreObjectName const& o) const { return equals(o); }
  bool operator!=(daStoreObjectName const& o) const { return !equals(o); }

  // A new name of this kind with the given short name; the caller owns it.
  virtual daStoreObjectName* newObject(char const* shortName) const;
  virtual char const* getPathName() const { return getShortName(); }
  virtual char const* getShortName() const { return getChars(); }
  virtual void setShortName(char const* shortName) { name_ = shortName; }
  virtual char const* getBaseName() const { return base_; }
  virtual char const* getPrefixName() const { return prefix_; }
  virtual void setBaseName(char const* base) { base_ = base; }
  virtual void setPrefixName(char const* prefix) { prefix_ = prefix; }
  // Builds prefix + base + short name into full (cleared first).
  virtual void getFullName(GxObjectName& full) const;
  virtual int getTypeID() const { return type_; }

  GxObjectName getFullName() const {
    GxObjectName full;
    getFullName(full);
    return full;
  }

  // Non-empty and made only of letters, digits, "_" and "-": nonzero.
  static int isValid(char const* text);

 protected:
  int type_ = gx_type_plain_name;
  char const* base_ = nullptr;
  char const* prefix_ = nullptr;
};

// Common base of the names of the attachable policies (ACL, POP, rule). It
// carries the key of the policy's policy-to-object map and of its extended
// attributes, both following the policy's short name.
class daPolicyObjectMap;

class daPolicyName : public daStoreObjectName {
 public:
  static constexpr char const* extAttrBasename_ = "/auth/extattr";

  explicit daPolicyName(int type) : daStoreObjectName(type) {}
  daPolicyName(int type, int policyToObjectMapType, int objectToPolicyMapType, char const* shortName,
               char const* base, char const* mapBase);
  daPolicyName(daPolicyName const&) = default;
  daPolicyName& operator=(daPolicyName const&) = default;

  ZObject_6_0* clone() const override { return new daPolicyName(*this); }
  daStoreObjectName* newObject(char const*) const override { return nullptr; }
  // Sets the short name of this name and of both derived names.
  void setShortName(char const* shortName) override;

  virtual daStoreObjectName const& getPolicyToObjMapName() const { return mapName_; }
  virtual daStoreObjectName const& getExtAttrName() const { return extAttrName_; }
  // A new empty map of this kind's policy-to-object and object-to-policy
  // directions (GxCore/daPolicyObjectMap.h); the caller owns it. Null for a
  // name of no policy kind (a bare daPolicyName) or when the heap is
  // exhausted.
  virtual daPolicyObjectMap* policyToObjMapFactory() const { return nullptr; }
  virtual daPolicyObjectMap* objToPolicyMapFactory() const { return nullptr; }

  // Non-empty, at most 8192 bytes, valid UTF-8 without " " or "/": nonzero.
  static int isValid(char const* text);

 protected:
  char const* mapBase_ = nullptr;
  daStoreObjectName mapName_;
  daStoreObjectName extAttrName_;
};

class daAclName : public daPolicyName {
 public:
  static constexpr char const* aclbasename_ = "/auth/extended-acl";
  static constexpr char const* acltoobjectmapbasename_ = "/auth/acl-map";
  daAclName() : daAclName(nullptr) {}
  explicit daAclName(char const* name)
      : daPolicyName(gx_type_acl, gx_type_map_acl_to_pobj, gx_type_map_pobj_to_acl, name, aclbasename_,
                     acltoobjectmapbasename_) {}
  ZObject_6_0* clone() const override { return new daAclName(*this); }
  daStoreObjectName* newObject(char const* s) const override { return new daAclName(s); }
  daPolicyObjectMap* policyToObjMapFactory() const override;
  daPolicyObjectMap* objToPolicyMapFactory() const override;
  // 0, or 0x1005B2EE when the name is not a valid policy name.
  static unsigned long isValid(char const* text);
};

class daPopName : public daPolicyName {
 public:
  static constexpr char const* popbasename_ = "/auth/pop";
  static constexpr char const* poptoobjectmapbasename_ = "/auth/pop-map";
  daPopName() : daPopName(nullptr) {}
  explicit daPopName(char const* name)
      : daPolicyName(gx_type_pop, gx_type_map_pop_to_pobj, gx_type_map_pobj_to_pop, name, popbasename_,
                     poptoobjectmapbasename_) {}
  ZObject_6_0* clone() const override { return new daPopName(*this); }
  daStoreObjectName* newObject(char const* s) const override { return new daPopName(s); }
  daPolicyObjectMap* policyToObjMapFactory() const override;
  daPolicyObjectMap* objToPolicyMapFactory() const override;
  // 0, or 0x1065212C.
  static unsigned long isValid(char const* text);
};

class daRuleName : public daPolicyName {
 public:
  static constexpr char const* rulebasename_ = "/auth/rule";
  static constexpr char const* ruletoobjectmapbasename_ = "/auth/rule-map";
  daRuleName() : daRuleName(nullptr) {}
  explicit daRuleName(char const* name)
      : daPolicyName(gx_type_rule, gx_type_map_rule_to_pobj, gx_type_map_pobj_to_rule, name, rulebasename_,
                     ruletoobjectmapbasename_) {}
  ZObject_6_0* clone() const override { return new daRuleName(*this); }
  daStoreObjectName* newObject(char const* s) const override { return new daRuleName(s); }
  daPolicyObjectMap* policyToObjMapFactory() const override;
  daPolicyObjectMap* objToPolicyMapFactory() const override;
  // 0, or 0x10652134.
  static unsigned long isValid(char const* text);
};

// Protected-object names: the text is the whole object path ("/a/b"). The
// keys of the object's three maps and of its extended attributes are built
// on first use and cleared whenever the path changes.
class daPObjName : public daStoreObjectName {
 public:
  static constexpr char const* pobjbasename_ = "/auth/pobject";
  static constexpr char const* extattrbasename_ = "/auth/extattr";
  static constexpr char const* pobjtoaclmapbasename_ = "/auth/pobject-map";
  static constexpr char const* pobjtopopmapbasename_ = "/auth/pobject-popmap";
  static constexpr char const* pobjtorulemapbasename_ = "/auth/pobject-rulemap";

  daPObjName() : daStoreObjectName(gx_type_pobj, nullptr, pobjbasename_) {}
  // "a/b", "/a/b" and null give "/a/b", "/a/b" and "/".
  explicit daPObjName(char const* path);
  // The derived names are not copied; they are rebuilt on first use.
  daPObjName(daPObjName const& o) : daStoreObjectName(o) {}
  daPObjName& operator=(daPObjName const&) = default;

  ZObject_6_0* clone() const override { return new daPObjName(*this); }
  daStoreObjectName* newObject(char const* path) const override { return new daPObjName(path); }
  char const* getPathName() const override { return getChars(); }
  // The path without its leading "/"; the root stays "/".
  char const* getShortName() const override { return isRoot() || getLength() == 0 ? getChars() : getChars() + 1; }
  // Takes a whole path, as given.
  void setShortName(char const* path) override;
  char const* getBaseName() const override { return pobjbasename_; }
  virtual char const* getExtAttrBasename() const { return extattrbasename_; }

  void walkDown(GxObjectName& partial) const override { GxObjectName::walkDown(partial); }
  void walkUp() override;
  virtual void walkDown(daPObjName& partial) const;

  daStoreObjectName const& getPObjToAclMapName() const;
  daStoreObjectName const& getPObjToPopMapName() const;
  daStoreObjectName const& getPObjToRuleMapName() const;
  daStoreObjectName const& getExtAttrName() const;

  using GxObjectName::isRoot;
  // 0, or 0x1005B1C9 (logged) when the path is not a valid object name.
  static unsigned long isValid(char const* path);
  // Validates and normalises text / this name in place: 0 or 0x1005B1C9.
  static unsigned long validateAndFix(ZUTF8String_6_0& text);
  unsigned long validateAndFix();

 private:
  void clearDerived();
  daStoreObjectName const& derived(daStoreObjectName& n, int type, char const* base, char const* prefix) const;
  mutable daStoreObjectName aclMap_, popMap_, ruleMap_, extAttr_;
};

// A domain's object name: a protected-object name with its own validity rule.
class daDomainName : public daPObjName {
 public:
  daDomainName() = default;
  explicit daDomainName(char const* path) : daPObjName(path) {}
  ZObject_6_0* clone() const override { return new daDomainName(*this); }
  // Non-empty and made only of letters, digits and "._+-@&*": 1, else 0.
  static int isValid(char const* text);
};

// Kinds with a single key: they ignore the short name given to newObject.
class daPObjSpaceName : public daStoreObjectName {
 public:
  static constexpr char const* pobjspacebasename_ = "/auth/pobjectspace";
  daPObjSpaceName() : daStoreObjectName(gx_type_pobj_space, "", pobjspacebasename_) {}
  ZObject_6_0* clone() const override { return new daPObjSpaceName(*this); }
  daStoreObjectName* newObject(char const*) const override { return new daPObjSpaceName(); }
};

class daActionGroupName : public daStoreObjectName {
 public:
  static constexpr char const* actiongroupnamebase_ = "/auth/action-groups";
  daActionGroupName() : daStoreObjectName(gx_type_action_groups, "", actiongroupnamebase_) {}
  ZObject_6_0* clone() const override { return new daActionGroupName(*this); }
  daStoreObjectName* newObject(char const*) const override { return new daActionGroupName(); }
};

class daAuthDBInfoName : public daStoreObjectName {
 public:
  static constexpr char const* authdbinfobase_ = "/auth/dbinfo";
  daAuthDBInfoName() : daStoreObjectName(gx_type_authzn_db_info, "", authdbinfobase_) {}
  ZObject_6_0* clone() const override { return new daAuthDBInfoName(*this); }
  daStoreObjectName* newObject(char const*) const override { return new daAuthDBInfoName(); }
};

class daActionName : public daStoreObjectName {
 public:
  static constexpr char const* actionnamebase_ = "/auth/actions";
  daActionName() : daActionName(nullptr) {}
  explicit daActionName(char const* name) : daStoreObjectName(gx_type_action, name, actionnamebase_) {}
  ZObject_6_0* clone() const override { return new daActionName(*this); }
  daStoreObjectName* newObject(char const* s) const override { return new daActionName(s); }
};

class daAznServerName : public daStoreObjectName {
 public:
  static constexpr char const* aznsvrnamebase_ = "/servers/azn";
  daAznServerName() : daAznServerName(nullptr) {}
  explicit daAznServerName(char const* name) : daStoreObjectName(gx_type_azn_server, name, aznsvrnamebase_) {}
  ZObject_6_0* clone() const override { return new daAznServerName(*this); }
  daStoreObjectName* newObject(char const* s) const override { return new daAznServerName(s); }
};
