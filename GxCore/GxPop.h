// Protected object policies (POPs): the conditions of access that a policy
// adds to the ACL of the protected objects it is attached to: a warning
// mode, an audit level, a required quality of protection, an access window
// (days and times; their meaning is GxCore/db/daAccessWindow.h's) and IP-authentication
// entries, each naming a network and the authentication level required from
// callers in it. A POP is stored under its daPopName key as an encoded
// gxpop_s_t (outside/hxasn_pop.h) of type 0x507.
//
// The IP-authentication entries live in two lists. The IPv4 list is part of
// the structure (32-bit network, netmask, level). The IP-auth list holds
// IPv4 and IPv6 networks; it is kept encoded as the value of the attribute
// list entry "popipauthlist" and decoded on demand by getIPAuthList(). In
// both lists entry 0 is the default: its level applies to callers that no
// later entry matches, and it is never tested as a network. Entries are
// tried in list order and the first match wins, not the most specific.
//
// Concurrency: POPs shared through the cache are read by many threads. The
// one lazy change of a shared POP, loading the IP-auth list, happens under
// the POP's own mutex, so concurrent first calls decode it once; the list is
// published only complete, so a reader racing with the load sees either the
// IPv4 list or the whole IP-auth list. Every other change (setters,
// setNextIPAuth, setAttrlist, decode, assignment) is for the thread that
// owns a POP not yet shared.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string_view>

#include "GxCore/GxAddress.h"
#include "GxCore/daStoreObject.h"
#include "outside/attrlist.h"
#include "outside/hxasn_pop.h"

class daPopName;

class GxPop : public daPolicyObject {
 public:
  // The attribute-list entry holding the encoded IP-auth list, and the type
  // of its value.
  static constexpr char const* ipAuthListAttr_ = "popipauthlist";
  static constexpr uint32_t ipAuthListValueType_ = 2;
  // What get_auth_level gives when there is no such entry: a level no
  // caller reaches.
  static constexpr unsigned long noAuthLevel_ = 1000;

  // All fields zero, no entries, no attribute list, no loaded IP-auth list.
  GxPop() = default;
  // GxPop() and then set(s); name is not stored (the store names objects
  // after their keys). A heap failure leaves the POP partly filled.
  GxPop(gxpop_s_t const& s, daPopName const& name);
  // Copies the base part and then set()s from other's structure; other's
  // loaded IP-auth list is not copied (the copy loads its own on demand).
  GxPop(GxPop const& other);
  // Nothing on self-assignment; otherwise the base part, then this POP's
  // structure and loaded IP-auth list are released and set() from other's.
  GxPop& operator=(GxPop const& other);
  ~GxPop() override;
  ZObject_6_0* clone() const override { return new GxPop(*this); }

  // Copies s's fields through the setters, appends each of s's IPv4 entries
  // (setNextIPAuth(network, netmask, level)), and, when s has an attribute
  // list with entries, replaces this POP's by a copy. Returns 0 or
  // 0x10652065 when the heap is exhausted (the POP then holds what was
  // copied before).
  unsigned long set(gxpop_s_t const& s);

  // The structure, for inspection.
  gxpop_s_t const& value() const { return pop_; }

  // ---- fields (no validation, no status) ----------------------------------
  using daPolicyObject::getDescription;
  using daPolicyObject::setDescription;
  // The POP's description, or null; valid until it is set again.
  char const* description() const { return pop_.description; }
  // Stores a copy of text (null: none); the old text is freed. When the
  // copy cannot be allocated the POP has no description.
  void setDescription(char const* text);
  unsigned char warningMode() const { return static_cast<unsigned char>(pop_.warning_mode); }
  void setWarningMode(unsigned char on) { pop_.warning_mode = on; }
  unsigned long auditLevel() const { return pop_.audit_level; }
  void setAuditLevel(unsigned long level) { pop_.audit_level = static_cast<uint32_t>(level); }
  unsigned long qualityOfProtection() const { return pop_.qop; }
  void setQualityOfProtection(unsigned long qop) { pop_.qop = static_cast<uint32_t>(qop); }
  unsigned long dayAccess() const { return pop_.day_access; }
  void setDayAccess(unsigned long days) { pop_.day_access = static_cast<uint32_t>(days); }
  long startAccess() const { return pop_.start_access; }
  void setStartAccess(long start) { pop_.start_access = static_cast<int32_t>(start); }
  long endAccess() const { return pop_.end_access; }
  void setEndAccess(long end) { pop_.end_access = static_cast<int32_t>(end); }
  unsigned long timeReferenceAccess() const { return pop_.time_reference; }
  void setTimeReferenceAccess(unsigned long ref) { pop_.time_reference = static_cast<uint32_t>(ref); }

  // ---- IP-authentication entries ------------------------------------------
  // Starts the lists of a new POP: appends the IPv4 entry (0, 0, 0), makes
  // the loaded IP-auth list a new one holding only the default entry (level
  // 0, network and netmask 0.0.0.0), and stores it with setAttrlist().
  // Returns setAttrlist()'s status, or 0x10652065.
  unsigned long setNextIPAuth();
  // Appends (network, netmask, level) to the IPv4 list. Returns 0, or
  // 0x10652065 with the list unchanged.
  unsigned long setNextIPAuth(unsigned long network, unsigned long netmask, unsigned long level);
  // Appends an entry of either family to the loaded IP-auth list: level,
  // both families, and the text and bytes of both addresses (46 and 16
  // bytes when network is IPv6, else 16 and 4; the network's family decides
  // for both). When no list is loaded it is loaded first (getIPAuthList; a
  // POP without "popipauthlist" starts an empty list). The attribute list
  // is not updated: call setAttrlist() afterwards. Returns 0, the load's
  // decoding failure (nothing appended), or 0x10652065 (list unchanged).
  unsigned long setNextIPAuth(ip_addr_s_t const& network, ip_addr_s_t const& netmask, unsigned long level);
  // Appends network/netmask with level to the IP-auth list and, when both
  // are IPv4, to the IPv4 list too, so that readers of either list see the
  // entry. Call setAttrlist() afterwards. Returns 0 or the status of the
  // setNextIPAuth that failed.
  unsigned long appendIPAuth(GxAddress const& network, GxAddress const& netmask, unsigned long level);

  // Loads the IP-auth list from the attribute list, once, under the POP's
  // mutex. 0 when a list was already loaded (even an empty one); otherwise
  // an empty list is attached and the result is gx_s_pop_no_ipauth_list
  // when the POP has no "popipauthlist" (the empty list stays), or the
  // codec's status for the value's bytes (on failure the empty list stays,
  // and later calls return 0). 0x10652065 when the heap is exhausted
  // (nothing attached).
  unsigned long getIPAuthList();

  // The readers below take no lock; load the IP-auth list first. An index
  // out of range (negative included) is refused as stated, never read.
  //
  // The loaded IP-auth list's count when it has entries, else the IPv4
  // list's.
  unsigned long get_auth_count() const;
  // IPv4 entry i's network / netmask; 0 when i is out of range.
  unsigned long get_network_addr(int i) const;
  unsigned long get_netmask_addr(int i) const;
  // out becomes entry i's network / netmask: from the loaded IP-auth list
  // when it has entries, else from the IPv4 list (GxAddress(unsigned long)).
  // An index out of range of the list used leaves out unchanged. Returns 0.
  unsigned long get_network_addr(int i, GxAddress& out) const;
  unsigned long get_netmask_addr(int i, GxAddress& out) const;
  // Entry i's level, from the loaded IP-auth list when it has entries, else
  // from the IPv4 list; noAuthLevel_ (1000) when i is out of range.
  unsigned long get_auth_level(int i) const;
  // The level required from a caller at address a: the level of the first
  // entry after entry 0, in list order, whose network holds a (same family,
  // and a AND netmask equals the network on every byte), else entry 0's
  // level. Uses the loaded IP-auth list when it has entries, else the IPv4
  // list (which matches IPv4 addresses only). A POP with no entry in either
  // list gives noAuthLevel_ (1000), as a missing entry does for
  // get_auth_level(int): without a default entry there is no level to waive
  // the check with, so the POP refuses rather than admits.
  unsigned long get_auth_level(GxAddress const& a) const;

  // The POP's attribute list.
  attrlist_s_t const& getAttrlist() const { return pop_.attrlist; }
  // Stores the loaded IP-auth list: encodes it and replaces the attribute
  // list by one holding "popipauthlist" (value type 2, the encoded bytes)
  // first, then every other entry of the old list (the zone below) in
  // order. Returns 0; the codec's status or 0x10652065 with the attribute
  // list unchanged. With no list loaded there is nothing to store: the
  // attribute list is kept and the result is 0.
  unsigned long setAttrlist();

  // ---- the access window's named zone ---------------------------------------
  // The IANA zone name ("Europe/Berlin") the access window is read in when
  // the time reference is 2, kept as the attribute-list entry "popzone"
  // (value type 1, the name's bytes). See GxCore/db/daAccessWindow.h.
  static constexpr char const* zoneAttr_ = "popzone";
  static constexpr uint32_t zoneValueType_ = 1;
  // The zone's name, or "" when none is kept; valid until the attribute
  // list changes.
  std::string_view zone() const;
  // Keeps name as the zone ("" removes it), after the other entries. Not
  // checked against the zone database (daAccessWindow does that). Returns
  // 0 or 0x10652065 with the attribute list unchanged.
  unsigned long setZone(std::string_view name);

  // ---- database form --------------------------------------------------------
  using daPolicyObject::decode;
  using daPolicyObject::encode;
  // record is set up for type 0x507 (key null, value 0; whatever it held is
  // not freed) and on success owns the encoded structure (free with
  // hxAsnFreeObj). status: 0 or the codec's failure (record without bytes).
  void encode(gxobj_t& record, unsigned long& status) override;
  // The encoded structure into buffer (overwritten); status as above.
  void encode(hx_asn_buffer_t& buffer, unsigned long& status) const override;
  // Replaces this POP's structure by the one encoded in record and drops the
  // loaded IP-auth list; name and attributes stay. status: 0, the codec's
  // failure or 0x10652065, the POP unchanged on a codec failure.
  void decode(gxobj_t& record, unsigned long& status) override;
  // A new POP from record (its type is not examined); the IP-auth list is
  // not loaded. On success *out is the caller's and status 0; on failure
  // *out is null and status the codec's (corrupt or truncated bytes) or
  // 0x10652065.
  static void decode(gxobj_t const& record, GxPop** out, unsigned long& status);

  // ---- attribute form ---------------------------------------------------------
  // Every attribute call passes q unchanged as its qualifier.
  //
  // Current form: the whole 5.1.0 form, then "popauthcount2" and, per
  // entry, "popnwaddr2", "popnmaddr2" (texts) and "popauthlevel2", from the
  // IP-auth list when it has entries, else from the IPv4 list. Returns 0,
  // or getIPAuthList()'s failure (a list that does not decode) with no "2"
  // attributes written.
  unsigned long encode(char const* name, char const* q, HXObject& attrs) override;
  // Reads the scalar fields and the "2" attributes into this (new) POP: the
  // IP-auth entries of both lists are replaced by the default entry (level
  // "popauthlevel2"[0], 0.0.0.0/0.0.0.0) followed by entries 1 to
  // "popauthcount2" - 1 (IPv4 pairs also go to the IPv4 list); then
  // setAttrlist(). Returns setAttrlist()'s status, or
  // gx_s_pop_bad_ipauth_address, adding no entry, when a network or netmask
  // text is not an address.
  unsigned long decode(char const* name, char const* q, HXObject& attrs) override;
  // 5.1.0 form: "popid" = name, "popdesc" (the empty text for none),
  // "popwmode", "popauditlevel", "popqop", "popdayaccess",
  // "popstartaccess", "popendaccess", "poptref", "popauthcount", then per
  // IPv4 entry "popnwaddr", "popnmaddr", "popauthlevel". Returns 0.
  virtual unsigned long encode510(char const* name, char const* q, HXObject& attrs);
  // Reads the scalar fields, then replaces the IPv4 entries by "popauthcount"
  // entries from "popnwaddr", "popnmaddr" and "popauthlevel" (in both lists)
  // and keeps the IPv6 entries of the IP-auth list after them; then
  // setAttrlist(). The count is bounded by the values present: missing
  // values are not made up. Returns setAttrlist()'s status or 0x10652065.
  virtual unsigned long decode510(char const* name, char const* q, HXObject& attrs);

 private:
  // Owner of a malloc'ed IP-auth list and its entry array.
  struct ListDeleter {
    void operator()(gxpop_ipauth2_list_s_t* l) const noexcept;
  };
  using ListPtr = std::unique_ptr<gxpop_ipauth2_list_s_t, ListDeleter>;

  // The loaded list, or null.
  gxpop_ipauth2_list_s_t const* loaded() const { return ipauth2_.load(std::memory_order_acquire); }
  gxpop_ipauth2_list_s_t* loaded() { return ipauth2_.load(std::memory_order_acquire); }
  // The loaded list when it has entries, else null.
  gxpop_ipauth2_list_s_t const* loadedWithEntries() const;
  // Replaces the loaded list by l (null: none loaded).
  void attach(ListPtr l);
  // Empties the IPv4 list.
  void clearIPv4();
  void scalarsFrom(char const* q, HXObject const& attrs);
  void writeAddressAttrs(char const* q, HXObject& attrs);

  gxpop_s_t pop_{};
  // Written under mutex_ (or by the owning thread); read without it.
  std::atomic<gxpop_ipauth2_list_s_t*> ipauth2_{nullptr};
  std::mutex mutex_;
};
