// Costs on the authorization path: evaluating a 20-entry ACL for a caller
// that matches a user entry, for a caller with 16 groups that match 3 group
// entries, and for an unauthenticated caller; and testing a requested set
// against a granted one. The output set is reused across iterations, as a
// server reuses it across requests.
#include <benchmark/benchmark.h>

#include <vector>

#include "GxCore/GxAcl.h"
#include "GxCore/acleval.h"
#include "GxCore/perm.h"

namespace {

hx_uuid_t newUuid() {
  hx_uuid_t u;
  unsigned long st;
  hx_uuid_create(u, st);
  return u;
}

// 20 entries: 8 user entries, 10 group entries, an any-other and an
// unauthenticated entry, interleaved. users and groups receive the uuids.
struct Fixture {
  GxACL acl;
  std::vector<hx_uuid_t> users, groups;
  Fixture() {
    for (int i = 0; i < 10; ++i) {
      if (i < 8) {
        users.push_back(newUuid());
        acl.addPrincipalEntry(users.back(), GxACLPermset(0, 0x1u << i));
      }
      groups.push_back(newUuid());
      GxACLPermset p(0, 0x100u << i);
      p.setBitMaskInGroup(1, 0x1u << i);
      acl.addGroupEntry(groups.back(), p);
    }
    acl.addCellEntry(GxACLPermset(0, 0x3));
    acl.addUnauthEntry(GxACLPermset(0, 0x1));
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void BM_EvalUserEntry(benchmark::State& state) {
  Fixture& f = fixture();
  sec_id_pa_t pa{{f.users[5], nullptr}, 0, nullptr};
  GxACLPermset out;
  unsigned long st;
  auto* acl = const_cast<acl_ext_s_t*>(&f.acl.value());
  for (auto _ : state) {
    acl_inq_permset_for_pa(&pa, acl, &out.value(), &st);
    benchmark::DoNotOptimize(out.value().groups);
  }
  if (out.actionGroup(0) != 0x20u) state.SkipWithError("wrong answer");
}
BENCHMARK(BM_EvalUserEntry);

void BM_EvalSixteenGroupsThreeMatch(benchmark::State& state) {
  Fixture& f = fixture();
  std::vector<sec_id_t> mine;
  for (int i = 0; i < 13; ++i) mine.push_back(sec_id_t{newUuid(), nullptr});
  for (int i : {2, 5, 9}) mine.insert(mine.begin() + i, sec_id_t{f.groups[i], nullptr});
  sec_id_pa_t pa{{newUuid(), nullptr}, static_cast<uint16_t>(mine.size()), mine.data()};
  GxACLPermset out;
  unsigned long st;
  auto* acl = const_cast<acl_ext_s_t*>(&f.acl.value());
  for (auto _ : state) {
    acl_inq_permset_for_pa(&pa, acl, &out.value(), &st);
    benchmark::DoNotOptimize(out.value().groups);
  }
  if (out.actionGroup(0) != ((0x100u << 2) | (0x100u << 5) | (0x100u << 9))) state.SkipWithError("wrong answer");
}
BENCHMARK(BM_EvalSixteenGroupsThreeMatch);

void BM_EvalUnauthenticated(benchmark::State& state) {
  Fixture& f = fixture();
  GxACLPermset out;
  unsigned long st;
  auto* acl = const_cast<acl_ext_s_t*>(&f.acl.value());
  for (auto _ : state) {
    acl_inq_permset_for_pa(nullptr, acl, &out.value(), &st);
    benchmark::DoNotOptimize(out.value().groups);
  }
  if (out.actionGroup(0) != 0x1u) state.SkipWithError("wrong answer");
}
BENCHMARK(BM_EvalUnauthenticated);

void BM_PermIsActionSet(benchmark::State& state) {
  GxACLPermset have(1, 0xF0), want(0, 0x5);
  have.setBitMaskInGroup(0, 0x7);
  want.setBitMaskInGroup(1, 0x10);
  for (auto _ : state) benchmark::DoNotOptimize(perm_is_action_set(&have.value(), &want.value()));
}
BENCHMARK(BM_PermIsActionSet);

}  // namespace
