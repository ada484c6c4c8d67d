// The authorization database information: one fixed-size record of
// database-wide values (a gxauthzn_db_s_t of outside/hxasn_server.h, whose
// first word is the database version), stored under the daAuthDBInfoName
// key as a record of type 0x503. The local replica refuses a database whose
// version is below 0x600; this class only stores and transfers the words.
// The attribute form is the one inherited from daStoreObject.
//
// Not synchronised: a shared (cached) object is read-only.
#pragma once

#include "GxCore/daStoreObject.h"
#include "outside/hxasn_server.h"

class GxAuthznDBInfo : public daStoreObject {
 public:
  // All five words zero.
  GxAuthznDBInfo() = default;
  explicit GxAuthznDBInfo(gxauthzn_db_s_t const& info) { set(info); }
  GxAuthznDBInfo(GxAuthznDBInfo const&) = default;
  // Assigns the attribute part of the base and the five words.
  GxAuthznDBInfo& operator=(GxAuthznDBInfo const&) = default;
  ~GxAuthznDBInfo() override = default;
  ZObject_6_0* clone() const override { return new GxAuthznDBInfo(*this); }

  gxauthzn_db_s_t const& value() const { return info_; }
  uint32_t version() const { return info_.version; }
  // Replaces the five words by those of info.
  void set(gxauthzn_db_s_t const& info) { info_ = info; }

  // ---- database form ----------------------------------------------------
  using daStoreObject::decode;
  using daStoreObject::encode;
  // record gets type 0x503, key and value word kept (whatever bytes it held are
  // not freed) and on success owns the encoded bytes. status: 0 or the
  // codec's failure (record then has no bytes).
  void encode(gxobj_t& record, unsigned long& status) override;
  void encode(hx_asn_buffer_t& buffer, unsigned long& status) const override;
  // Replaces the words by those encoded in record. status: 0 or the codec's
  // failure, the object unchanged.
  void decode(gxobj_t& record, unsigned long& status) override;
  // A new object from record (its type is not examined). On success *out
  // is the caller's and status 0; on failure *out is null and status the
  // codec's or 0x10652065.
  static void decode(gxobj_t const& record, GxAuthznDBInfo** out, unsigned long& status);

 private:
  gxauthzn_db_s_t info_{};
};
