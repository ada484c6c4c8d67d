// Authorization-server records. AznLocalSvr describes one authorization
// server of the domain: its identifier (which is also its name), a
// description, the user it runs as, host, port, service mode, version,
// whether it listens, and the administration services it offers. It is
// stored under a daAznServerName key as a record of type 0xA06 (the
// database form: an aznlocal_svr_s_t of outside/hxasn_server.h through the
// BER codec) and also has an attribute form. AznAdminSvc is one
// administration service: a name, the id of the server offering it, and a
// list of string values.
//
// Not synchronised: records shared through the cache are read-only.
#pragma once

#include <cstdint>

#include "GxCore/daStoreObject.h"
#include "outside/ZCollections.h"
#include "outside/ZString.h"
#include "outside/hxasn_server.h"

class AznAdminSvc : public ZObject_6_0 {
 public:
  // A service with no values.
  AznAdminSvc(ZUTF8String_6_0 const& name, ZUTF8String_6_0 const& server);
  // name from s.name (empty when null), server from the argument, one value
  // per entry of s.values, in order (s.count values; none when s.values is
  // null).
  AznAdminSvc(ZUTF8String_6_0 const& server, aznadmsvc_s_t const& s);
  AznAdminSvc(AznAdminSvc const& other);
  AznAdminSvc& operator=(AznAdminSvc const& other);
  ~AznAdminSvc() override = default;

  // Hash of the name.
  unsigned int hash() const override { return name_.hash(); }
  // Orders by server first and then by name.
  int compare(ZObject_6_0 const& other) const override;
  ZObject_6_0* clone() const override { return new AznAdminSvc(*this); }
  // True when name, server and the same number of values match, every value
  // of this service being among the other's; value order does not matter.
  bool completelyEqual(AznAdminSvc const& other) const;

  ZUTF8String_6_0 const& getName() const { return name_; }
  ZUTF8String_6_0 const& getServer() const { return server_; }
  // The values (ZUTF8String_6_0 elements, owned by the list).
  ZArrayList_6_0 const& values() const { return values_; }
  ZArrayList_6_0& values() { return values_; }
  void addValue(char const* value) { values_.addNoCopy(new ZUTF8String_6_0(value)); }

 private:
  ZUTF8String_6_0 name_;
  ZUTF8String_6_0 server_;
  ZArrayList_6_0 values_{3, true};
};

class AznLocalSvr : public daStoreObject {
 public:
  // Empty strings, no services, numbers zero.
  AznLocalSvr();
  explicit AznLocalSvr(char const* id);
  AznLocalSvr(char const* id, char const* description, char const* user, char const* host, unsigned int port,
              azn_service_mode_t mode, unsigned int version, int listen);
  // Strings (null reads as empty), numbers and services of the structure.
  explicit AznLocalSvr(aznlocal_svr_s_t const& s);
  AznLocalSvr(AznLocalSvr const& other);
  // Assigns the base, the strings, the numbers and the services. Nothing
  // on self-assignment.
  AznLocalSvr& operator=(AznLocalSvr const& other);
  ~AznLocalSvr() override = default;

  // Identity is the id: name, hash and ordering all use it.
  unsigned int hash() const override { return id_.hash(); }
  int compare(ZObject_6_0 const& other) const override;
  ZObject_6_0* clone() const override { return new AznLocalSvr(*this); }
  // The id. (setName, inherited, sets the name attribute of the base, which
  // the decode dispatch fills with the record's key; the id stays.)
  ZUTF8String_6_0 const& getName() const override { return id_; }
  ZUTF8String_6_0 getDescription() const override { return description_; }

  virtual void setPort(unsigned int port) { port_ = port; }
  virtual void setHost(char const* host) { host_ = host; }
  virtual void setVersion(unsigned int version) { version_ = version; }

  ZUTF8String_6_0 const& getUser() const { return user_; }
  ZUTF8String_6_0 const& getHost() const { return host_; }
  unsigned int getPort() const { return port_; }
  azn_service_mode_t getMode() const { return mode_; }
  unsigned int getVersion() const { return version_; }
  int getListen() const { return listen_; }

  // The services, keyed by name (ZUTF8String_6_0 keys, AznAdminSvc values
  // owned by the map).
  ZHashKeyMap_6_0 const& admSvcs() const { return admsvcs_; }
  // The service of that name, or null; owned by this record.
  AznAdminSvc const* getAdmSvc(char const* name) const;
  // Replaces all services by one AznAdminSvc(getName(), svcs[i]) per entry,
  // in order (a later entry replaces an earlier one of the same name). A
  // null svcs counts as none.
  void setAdmSvcs(unsigned int count, aznadmsvc_s_t const* svcs);
  // Replaces all services by copies of map's entries.
  void setAdmSvcs(ZHashKeyMap_6_0 const& map);

  // Fills out (its previous contents are overwritten, not freed) for the
  // codec. The four texts point at this object's own strings and stay valid
  // only while the object lives unchanged; the service array and each
  // service's value array are new[] allocations that freeConvert releases.
  // admsvcs is null when there are no services, a service's values null
  // when it has none.
  void convert(aznlocal_svr_s_t& out) const;
  // Releases the arrays convert allocated (not the texts) and zeroes out.
  static void freeConvert(aznlocal_svr_s_t& out);

  // ---- attribute form ---------------------------------------------------
  // Writes "svrid" (the object's id; name is not used), "svrdesc",
  // "svruser", "svrhost", "svrport", "svrmode", "svrver", "svrlisten", then
  // per service a "svradmsvc" value with its name and its values under an
  // attribute named after the service, into target's set qualifier.
  // Returns 0.
  unsigned long encode(char const* name, char const* qualifier, HXObject& target) override;
  // Reads the same attributes back (absent ones read as empty / 0 / false)
  // and replaces the services. Returns 0.
  unsigned long decode(char const* name, char const* qualifier, HXObject& source) override;

  // ---- database form ----------------------------------------------------
  using daStoreObject::decode;
  using daStoreObject::encode;
  // Sets record's type to 0xA06 and its length and data to zero (key and
  // value are left as the caller gave them; old bytes are not freed); on
  // success the record owns the encoded bytes. status: 0 or the codec's
  // failure (traced; the record then has no bytes).
  void encode(gxobj_t& record, unsigned long& status) override;
  void encode(hx_asn_buffer_t& buffer, unsigned long& status) const override;
  // Replaces the fields and services by those encoded in record; the base
  // attributes stay. status: 0 or the codec's failure (traced), the record
  // unchanged.
  void decode(gxobj_t& record, unsigned long& status) override;
  // A new server record from record (its type is not examined). On success
  // *out is the caller's and status 0; on failure *out is null and status
  // the codec's or 0x10652065.
  static void decode(gxobj_t const& record, AznLocalSvr** out, unsigned long& status);

 private:
  void assign(aznlocal_svr_s_t const& s);

  ZHashKeyMap_6_0 admsvcs_{3, true};
  ZUTF8String_6_0 description_;
  ZUTF8String_6_0 user_;
  ZUTF8String_6_0 host_;
  ZUTF8String_6_0 id_;
  unsigned int port_ = 0;
  int listen_ = 0;
  azn_service_mode_t mode_ = 0;
  unsigned int version_ = 0;
};
