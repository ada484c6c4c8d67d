// The policy in effect at one protected object, answered from memory on a
// read-only store: fetchACL for an object with an ACL and for one without
// any map (an absent entry), and a memoised fetchPop for an object 8
// levels below the object its POP is attached to.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "bench_support.h"
#include "GxCore/GxAcl.h"
#include "GxCore/GxExtAttr.h"
#include "GxCore/GxMapPObjectToACL.h"
#include "GxCore/GxPop.h"
#include "GxCore/daPolicyObjectMap.h"
#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daCacheStateLock.h"

namespace {

std::string deepPath() {
  std::string p = "/a";
  for (int i = 1; i <= 8; ++i) p += "/l" + std::to_string(i);
  return p;
}

struct Fixture {
  gxbench::ScratchDir dir{"policy"};
  std::string path;
  std::unique_ptr<daCachedStore> store;
  daPObjName withAcl{"/a"}, withoutMap{"/a/none"}, deep{deepPath().c_str()};

  Fixture() {
    path = dir.file("policy.db");
    unsigned long st;
    {
      daLocalStore creator("bench", path.c_str());
      creator.createStore(st);
    }
    {
      daCachedStore w("bench", path.c_str(), 1, 0);
      w.openStore(0, st);
      auto* ext = new GxExtAttr;
      ext->addValue("k", "v");
      auto* aclMap = new GxMapPObjectToACL;
      aclMap->add("acl1");
      auto* popMap = new GxMapObjToPop;
      popMap->add("p1");
      auto* popExt = new GxExtAttr;
      popExt->addValue("k", "v");
      w.setObject(daAclName("acl1"), new GxACL, st);
      w.setObject(daAclName("acl1").getExtAttrName(), ext, st);
      w.setObject(withAcl.getPObjToAclMapName(), aclMap, st);
      w.setObject(daPopName("p1"), new GxPop, st);
      w.setObject(daPopName("p1").getExtAttrName(), popExt, st);
      w.setObject(withAcl.getPObjToPopMapName(), popMap, st);
    }
    store = std::make_unique<daCachedStore>("bench", path.c_str(), 1, 0);
    store->openStore(1, st);
    recordPopWalk();
  }

  // The walk a server makes once: memoising fetches up to /a, then the
  // inherited answer recorded for every level below it.
  void recordPopWalk() {
    daPObjName obj(deep);
    Handle<daStoreObject> pop, ext;
    ZUTF8String_6_0 where;
    unsigned long st;
    for (int level = 0; level < 9; ++level) {
      int resolved = 1;
      store->fetchPop(obj, pop, ext, resolved, &where, st);
      if (!pop.isEmpty()) break;
      obj.walkUp();
    }
    obj = deep;
    for (int level = 0; level < 8; ++level) {
      store->setAttachedPop(obj, pop, ext, &where, st);
      obj.walkUp();
    }
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void BM_FetchAclHit(benchmark::State& state) {
  Fixture& f = fixture();
  daCacheStateLock reading(*f.store, daCachedStore::open);
  for (auto _ : state) {
    unsigned long st;
    Handle<daStoreObject> acl, ext;
    f.store->fetchACL(f.withAcl, acl, ext, st);
    benchmark::DoNotOptimize(acl.object);
  }
}
BENCHMARK(BM_FetchAclHit)->Threads(1)->Threads(2);

void BM_FetchAclNoMap(benchmark::State& state) {
  Fixture& f = fixture();
  daCacheStateLock reading(*f.store, daCachedStore::open);
  for (auto _ : state) {
    unsigned long st;
    Handle<daStoreObject> acl, ext;
    f.store->fetchACL(f.withoutMap, acl, ext, st);
    benchmark::DoNotOptimize(st);
  }
}
BENCHMARK(BM_FetchAclNoMap)->Threads(1)->Threads(2);

void BM_FetchPopMemoisedDeep(benchmark::State& state) {
  Fixture& f = fixture();
  daCacheStateLock reading(*f.store, daCachedStore::open);
  for (auto _ : state) {
    unsigned long st;
    int resolved = 1;
    Handle<daStoreObject> pop, ext;
    f.store->fetchPop(f.deep, pop, ext, resolved, nullptr, st);
    if (resolved != 1 || pop.isEmpty()) state.SkipWithError("not memoised");
    benchmark::DoNotOptimize(pop.object);
  }
}
BENCHMARK(BM_FetchPopMemoisedDeep)->Threads(1)->Threads(2);

}  // namespace
