// Rules in Lua 5.4, sandboxed. See daRuleEngine.h for the contract and
// README's "Rules" section for what a rule sees.
//
// Layout of a thread's interpreter (class Engine):
// - one lua_State per thread, made on the thread's first evaluation, with
//   an allocator that keeps the bytes in use, refuses growth past the
//   evaluation's budget and counts allocations;
// - the safe globals table G (base functions without load, rawset,
//   collectgarbage, print...; read-only proxies of string, table and math;
//   subject, request, attr and has) reachable only as the __index of the
//   environment table, whose metatable is protected;
// - one environment table every rule's chunk has as _ENV: what a rule
//   assigns to a global lands there and is cleared after the evaluation;
// - each program's chunk loaded once (keyed by its id) and kept in the
//   registry; past kProgramsPerThread programs the state is remade.
// The request is read through userdata whose __index functions look at the
// evaluation's daRuleInput: nothing is built per evaluation.
#include "GxCore/db/daRuleEngine.h"

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

namespace {

constexpr int kHookEvery = 1000;  // instructions between two calls of the count hook
// Memory a compilation may use (the text is bounded as well).
constexpr std::size_t kCompileMemory = 64u << 20;

std::atomic<std::uint64_t> nextProgramId{1};

// ---------------------------------------------------------------------------
// Compiling

// The bytes in use of a compiling state, bounded.
struct CompileBudget {
  std::size_t inUse = 0;
};

void* compileAlloc(void* ud, void* ptr, std::size_t osize, std::size_t nsize) {
  auto* b = static_cast<CompileBudget*>(ud);
  std::size_t const old = ptr ? osize : 0;
  if (nsize == 0) {
    std::free(ptr);
    b->inUse -= old;
    return nullptr;
  }
  if (nsize > old && b->inUse - old + nsize > kCompileMemory) return nullptr;
  void* p = std::realloc(ptr, nsize);
  if (!p) return nsize <= old ? ptr : nullptr;
  b->inUse = b->inUse - old + nsize;
  return p;
}

// A state that only compiles: no library opened.
struct CompileState {
  CompileBudget budget;
  lua_State* L = lua_newstate(compileAlloc, &budget);
  ~CompileState() {
    if (L) lua_close(L);
  }
};

// The calling thread's compiling state, made on first use (making one costs
// more than compiling a short rule), its stack empty; null when none can be
// made. Nothing a compilation leaves in it is run, and what it leaves is
// collected once it exceeds kCompileKept, so that the next compilation
// has nearly all of kCompileMemory.
constexpr std::size_t kCompileKept = 256u << 10;
class CompilingState {
 public:
  CompilingState() {
    if (!state_ || !state_->L) state_ = std::make_unique<CompileState>();
    L = state_->L;
  }
  ~CompilingState() {
    if (!L) return;
    lua_settop(L, 0);
    if (state_->budget.inUse > kCompileKept) lua_gc(L, LUA_GCCOLLECT);
  }
  CompilingState(CompilingState const&) = delete;
  CompilingState& operator=(CompilingState const&) = delete;
  lua_State* L;

 private:
  static inline thread_local std::unique_ptr<CompileState> state_;
};

// Splits a compiler message "chunkid:LINE: text" into text and line, where
// chunkid is what Lua shows for chunkname ("=NAME": NAME cut to
// LUA_IDSIZE - 1 characters).
void splitMessage(std::string_view chunkname, std::string_view message, std::string& text, int& line) {
  line = 0;
  std::string_view const id = chunkname.substr(1, LUA_IDSIZE - 1);
  if (message.size() > id.size() && message.substr(0, id.size()) == id && message[id.size()] == ':') {
    std::size_t i = id.size() + 1;
    int n = 0;
    std::size_t const digits = i;
    while (i < message.size() && message[i] >= '0' && message[i] <= '9' && n < 100000000) n = n * 10 + (message[i++] - '0');
    if (i > digits && i < message.size() && message[i] == ':') {
      line = n;
      i += 1;
      if (i < message.size() && message[i] == ' ') ++i;
      text.assign(message.substr(i));
      return;
    }
  }
  text.assign(message);
}

// Compiles text in state L under chunkname; on success leaves the function
// on the stack and returns true, otherwise sets message and line.
bool compile(lua_State* L, std::string_view text, std::string const& chunkname, std::string& message, int& line) {
  if (text.size() > daRuleTextLimit) {
    message = "the text is " + std::to_string(text.size()) + " bytes long, more than the " +
              std::to_string(daRuleTextLimit) + " a rule may have";
    line = 0;
    return false;
  }
  // An expression first (as Lua's own prompt does): "attr.site == 'hq'"
  // is a whole rule. What is not one compiles as a chunk, whose errors are
  // the ones reported.
  std::string expression;
  expression.reserve(text.size() + 7);
  expression.append("return ").append(text);
  if (luaL_loadbufferx(L, expression.data(), expression.size(), chunkname.c_str(), "t") == LUA_OK) return true;
  lua_pop(L, 1);
  int const st = luaL_loadbufferx(L, text.data(), text.size(), chunkname.c_str(), "t");
  if (st == LUA_OK) return true;
  if (st == LUA_ERRMEM) {
    message = "the rule is too large to compile";
    line = 0;
  } else {
    std::size_t n = 0;
    char const* m = lua_tolstring(L, -1, &n);
    splitMessage(chunkname, m ? std::string_view(m, n) : std::string_view("unknown compiler error"), message, line);
  }
  lua_pop(L, 1);
  return false;
}

int dumpWriter(lua_State*, void const* p, std::size_t size, void* ud) {
  try {
    static_cast<std::string*>(ud)->append(static_cast<char const*>(p), size);
    return 0;
  } catch (...) {
    return 1;
  }
}

std::string chunkNameFor(std::string const& name) { return "=" + (name.empty() ? std::string("rule") : name); }

}  // namespace

// The precompiled chunk (Lua bytecode this process made from the rule's
// text; never bytes from elsewhere) and the chunk name it was compiled under.
struct daRuleProgram::Impl {
  std::string bytecode;
  std::string chunkname;
};

namespace {

// The programs this process has made, by name, text, reason and attributes:
// a rule that has not changed is not compiled again when a store opens a
// new version of its file or moves to a new policy epoch (compiling one
// takes tens of microseconds; a replaced replica asks for all its rules at
// once). Held weakly: a program goes with the last policy that uses it,
// and the table drops such entries as it grows.
class KnownPrograms {
 public:
  static KnownPrograms& instance() {
    static KnownPrograms* known = new KnownPrograms;  // never destroyed: used until exit
    return *known;
  }
  std::shared_ptr<daRuleProgram const> find(std::string const& key) {
    std::lock_guard<std::mutex> g(mutex_);
    auto it = programs_.find(key);
    return it == programs_.end() ? nullptr : it->second.lock();
  }
  void add(std::string key, std::shared_ptr<daRuleProgram const> const& program) {
    std::lock_guard<std::mutex> g(mutex_);
    if (programs_.size() >= pruneAt_) {
      std::erase_if(programs_, [](auto const& entry) { return entry.second.expired(); });
      pruneAt_ = std::max<size_t>(1024, 2 * programs_.size());
    }
    programs_[std::move(key)] = program;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<std::string, std::weak_ptr<daRuleProgram const>> programs_;
  size_t pruneAt_ = 1024;
};

std::string programKey(std::string const& name, std::string const& text, std::string const& reason,
                       std::vector<std::string> const& attributes) {
  std::string key;
  for (std::string const* part : {&name, &text, &reason}) key.append(*part).push_back('\0');
  for (std::string const& a : attributes) key.append(a).push_back('\0');
  return key;
}

}  // namespace

std::shared_ptr<daRuleProgram const> daRuleProgram::make(std::string name, std::string text, std::string reason,
                                                         std::vector<std::string> attributes) {
  std::string key = programKey(name, text, reason, attributes);
  if (auto known = KnownPrograms::instance().find(key)) return known;
  std::shared_ptr<daRuleProgram const> made = compileNew(std::move(name), std::move(text), std::move(reason),
                                                         std::move(attributes));
  KnownPrograms::instance().add(std::move(key), made);
  return made;
}

std::shared_ptr<daRuleProgram const> daRuleProgram::compileNew(std::string name, std::string text,
                                                               std::string reason,
                                                               std::vector<std::string> attributes) {
  std::shared_ptr<daRuleProgram> p(new daRuleProgram());
  auto impl = std::make_shared<Impl>();
  impl->chunkname = chunkNameFor(name);
  p->name_ = std::move(name);
  p->text_ = std::move(text);
  p->reason_ = std::move(reason);
  p->attributes_ = std::move(attributes);
  p->id_ = nextProgramId.fetch_add(1, std::memory_order_relaxed);
  CompilingState cs;
  if (!cs.L) throw std::bad_alloc();
  if (compile(cs.L, p->text_, impl->chunkname, p->error_, p->errorLine_)) {
    if (lua_dump(cs.L, dumpWriter, &impl->bytecode, 0) != 0 || impl->bytecode.empty()) {
      p->error_ = "the compiled rule could not be kept";
      p->errorLine_ = 0;
    }
  } else if (p->error_.empty()) {
    p->error_ = "the rule does not compile";
  }
  p->impl_ = std::move(impl);
  return p;
}

bool daRuleCompiles(std::string_view text, std::string& message, int& line) {
  CompilingState cs;
  if (!cs.L) throw std::bad_alloc();
  static std::string const chunkname = "=rule";
  if (!compile(cs.L, text, chunkname, message, line)) {
    if (message.empty()) message = "the rule does not compile";
    return false;
  }
  message.clear();
  line = 0;
  return true;
}

char const* daRuleVerdictText(daRuleVerdict v) {
  switch (v) {
    case daRuleVerdict::permit: return "permit";
    case daRuleVerdict::deny: return "deny";
    case daRuleVerdict::missingAttribute: return "missing-attribute";
    case daRuleVerdict::error: return "error";
    case daRuleVerdict::limit: return "limit";
    case daRuleVerdict::notCompiled: return "not-compiled";
  }
  return "error";
}

namespace {

// ---------------------------------------------------------------------------
// A thread's interpreter

// A list of strings a rule reads (the caller's groups, a list attribute):
// valid only during the evaluation whose epoch it carries.
struct ListRef {
  std::uint64_t epoch;
  std::vector<std::string_view> const* views;
  std::vector<std::string> const* strings;
};

class Engine {
 public:
  Engine() { open(); }
  ~Engine() { close(); }
  Engine(Engine const&) = delete;
  Engine& operator=(Engine const&) = delete;

  bool usable() const { return L_ != nullptr; }
  daRuleVerdict evaluate(daRuleProgram const& program, daRuleInput const& input, std::string& detail);
  daRuleThreadStats stats() const { return {allocations_, statesMade_, cache_.size(), inUse_}; }

  // --- for the Lua-side functions
  static Engine& of(lua_State* L) { return **static_cast<Engine**>(lua_getextraspace(L)); }
  daRuleInput const* input() const { return input_; }
  std::uint64_t epoch() const { return epoch_; }
  // Pushes a list userdata for this evaluation: the groups one, or one of
  // the pool for list attributes.
  void pushGroups(lua_State* L);
  void pushList(lua_State* L, std::vector<std::string> const& list);

 private:
  static void* alloc(void* ud, void* ptr, std::size_t osize, std::size_t nsize);
  static void hook(lua_State* L, lua_Debug*);
  void open();
  void close();
  bool setUp();
  // Pushes program's chunk, loading it on first use; false (nothing
  // pushed, detail set) when it cannot be loaded.
  bool pushChunk(daRuleProgram const& program, std::string& detail);
  void clearEnvironment();
  daRuleVerdict finish(int status, daRuleProgram const& program, std::string& detail);

  lua_State* L_ = nullptr;
  std::size_t inUse_ = 0;
  std::size_t limit_ = SIZE_MAX;
  bool evaluating_ = false;
  bool memoryExceeded_ = false;
  bool instructionsExceeded_ = false;
  bool busy_ = false;
  unsigned hooks_ = 0;
  std::uint64_t allocations_ = 0;
  std::uint64_t statesMade_ = 0;
  std::uint64_t epoch_ = 0;
  daRuleInput const* input_ = nullptr;
  int envRef_ = LUA_NOREF;
  int groupsRef_ = LUA_NOREF;
  std::vector<int> listPool_;
  std::size_t listUsed_ = 0;
  std::unordered_map<std::uint64_t, int> cache_;  // program id -> registry ref of its chunk
};

void* Engine::alloc(void* ud, void* ptr, std::size_t osize, std::size_t nsize) {
  auto* e = static_cast<Engine*>(ud);
  std::size_t const old = ptr ? osize : 0;
  if (nsize == 0) {
    std::free(ptr);
    e->inUse_ -= old;
    return nullptr;
  }
  if (nsize > old) {
    // Once over the budget, an evaluation gets no more memory: a rule that
    // catches the error (pcall) cannot go on allocating.
    if (e->evaluating_ && (e->memoryExceeded_ || e->inUse_ - old + nsize > e->limit_)) {
      e->memoryExceeded_ = true;
      return nullptr;
    }
    ++e->allocations_;
  }
  void* p = std::realloc(ptr, nsize);
  if (!p) return nsize <= old ? ptr : nullptr;  // Lua relies on shrinking never failing
  e->inUse_ = e->inUse_ - old + nsize;
  return p;
}

void Engine::hook(lua_State* L, lua_Debug*) {
  Engine& e = of(L);
  if (!e.evaluating_) return;
  if (e.instructionsExceeded_ || ++e.hooks_ > daRuleInstructionLimit / kHookEvery) {
    // From now on every instruction fails: a rule that catches the error
    // (pcall) cannot go on running.
    e.instructionsExceeded_ = true;
    lua_sethook(L, hook, LUA_MASKCOUNT, 1);
    luaL_error(L, "instruction limit exceeded");
  }
}

// ---------------------------------------------------------------------------
// What a rule sees

int refuseWrite(lua_State* L) { return luaL_error(L, "attempt to change a read-only table"); }

// With the stack [..., object, index]: pops index and gives object a
// hidden metatable (getmetatable answers false) whose __index is index;
// with refuseWrites, writes to object fail too.
void setHiddenMetatable(lua_State* L, bool refuseWrites) {
  lua_createtable(L, 0, 3);
  lua_insert(L, -2);
  lua_setfield(L, -2, "__index");
  if (refuseWrites) {
    lua_pushcfunction(L, refuseWrite);
    lua_setfield(L, -2, "__newindex");
  }
  lua_pushboolean(L, 0);
  lua_setfield(L, -2, "__metatable");
  lua_setmetatable(L, -2);
}

// Pushes a read-only proxy of the table at index real: reads go to it,
// writes fail, its metatable is hidden.
void pushReadOnly(lua_State* L, int real) {
  real = lua_absindex(L, real);
  lua_createtable(L, 0, 0);
  lua_pushvalue(L, real);
  setHiddenMetatable(L, true);
}

template <std::size_t N>
bool keyIs(char const* k, std::size_t n, char const (&name)[N]) {
  return n == N - 1 && std::memcmp(k, name, N - 1) == 0;
}

void pushView(lua_State* L, std::string_view s) { lua_pushlstring(L, s.data(), s.size()); }

int subjectIndex(lua_State* L) {
  daRuleInput const* in = Engine::of(L).input();
  std::size_t n = 0;
  char const* k = lua_type(L, 2) == LUA_TSTRING ? lua_tolstring(L, 2, &n) : nullptr;
  if (!in || !k) {
    lua_pushnil(L);
  } else if (keyIs(k, n, "name")) {
    pushView(L, in->userName);
  } else if (keyIs(k, n, "uuid")) {
    pushView(L, in->userUuid);
  } else if (keyIs(k, n, "groups")) {
    Engine::of(L).pushGroups(L);
  } else if (keyIs(k, n, "authenticated")) {
    lua_pushboolean(L, in->authenticated);
  } else if (keyIs(k, n, "level")) {
    lua_pushinteger(L, in->authLevel);
  } else {
    lua_pushnil(L);
  }
  return 1;
}

// Days since 1970-01-01 and the second of that day, for any time.
void splitTime(std::int64_t t, std::int64_t& day, std::int64_t& second) {
  day = t / 86400;
  second = t % 86400;
  if (second < 0) {
    second += 86400;
    day -= 1;
  }
}

int requestIndex(lua_State* L) {
  daRuleInput const* in = Engine::of(L).input();
  std::size_t n = 0;
  char const* k = lua_type(L, 2) == LUA_TSTRING ? lua_tolstring(L, 2, &n) : nullptr;
  if (!in || !k) {
    lua_pushnil(L);
    return 1;
  }
  std::int64_t day = 0, second = 0;
  splitTime(in->timeSeconds, day, second);
  if (keyIs(k, n, "time")) {
    lua_pushinteger(L, in->timeSeconds);
  } else if (keyIs(k, n, "hour")) {
    lua_pushinteger(L, second / 3600);
  } else if (keyIs(k, n, "minute")) {
    lua_pushinteger(L, second / 60 % 60);
  } else if (keyIs(k, n, "weekday")) {
    lua_pushinteger(L, ((day % 7) + 7 + 4) % 7);  // 1970-01-01 was a Thursday (4); 0 is Sunday
  } else if (keyIs(k, n, "address")) {
    pushView(L, in->address);
  } else if (keyIs(k, n, "object")) {
    pushView(L, in->object);
  } else if (keyIs(k, n, "actions")) {
    pushView(L, in->actions);
  } else if (keyIs(k, n, "protection")) {
    switch (in->protection) {
      case daProtection::integrity: lua_pushliteral(L, "integrity"); break;
      case daProtection::privacy: lua_pushliteral(L, "privacy"); break;
      default: lua_pushliteral(L, "none"); break;
    }
  } else {
    lua_pushnil(L);
  }
  return 1;
}

int attrIndex(lua_State* L) {
  daRuleInput const* in = Engine::of(L).input();
  std::size_t n = 0;
  char const* k = lua_type(L, 2) == LUA_TSTRING ? lua_tolstring(L, 2, &n) : nullptr;
  daAttributes::Value const* v = in && in->attributes && k ? in->attributes->find(std::string_view(k, n)) : nullptr;
  if (!v) {
    lua_pushnil(L);
  } else if (auto const* s = std::get_if<std::string>(v)) {
    lua_pushlstring(L, s->data(), s->size());
  } else if (auto const* d = std::get_if<double>(v)) {
    lua_pushnumber(L, *d);
  } else if (auto const* b = std::get_if<bool>(v)) {
    lua_pushboolean(L, *b);
  } else {
    Engine::of(L).pushList(L, std::get<daAttributes::List>(*v));
  }
  return 1;
}

constexpr char const* kListMeta = "gx.rule.list";

// The list at index i if it is a list userdata of this evaluation; raises
// an error for a list kept past its evaluation.
ListRef const* toList(lua_State* L, int i) {
  auto const* l = static_cast<ListRef const*>(luaL_testudata(L, i, kListMeta));
  if (l && l->epoch != Engine::of(L).epoch()) luaL_error(L, "a list was used after its evaluation");
  return l;
}

std::size_t listSize(ListRef const& l) {
  return l.views ? l.views->size() : l.strings ? l.strings->size() : 0;
}

std::string_view listItem(ListRef const& l, std::size_t i) {
  return l.views ? (*l.views)[i] : std::string_view((*l.strings)[i]);
}

int listIndex(lua_State* L) {
  ListRef const* l = toList(L, 1);
  lua_Integer i = 0;
  if (l && lua_type(L, 2) == LUA_TNUMBER && (i = lua_tointeger(L, 2)) >= 1 &&
      static_cast<std::size_t>(i) <= listSize(*l))
    pushView(L, listItem(*l, static_cast<std::size_t>(i - 1)));
  else
    lua_pushnil(L);
  return 1;
}

int listLength(lua_State* L) {
  ListRef const* l = toList(L, 1);
  lua_pushinteger(L, l ? static_cast<lua_Integer>(listSize(*l)) : 0);
  return 1;
}

// has(list, value): true when list (the groups, a list attribute or a
// sequence table) holds value.
int hasValue(lua_State* L) {
  if (ListRef const* l = toList(L, 1)) {
    std::size_t n = 0;
    char const* v = lua_type(L, 2) == LUA_TSTRING ? lua_tolstring(L, 2, &n) : nullptr;
    bool found = false;
    for (std::size_t i = 0, size = listSize(*l); v && !found && i < size; ++i)
      found = listItem(*l, i) == std::string_view(v, n);
    lua_pushboolean(L, found);
    return 1;
  }
  luaL_checktype(L, 1, LUA_TTABLE);
  luaL_checkany(L, 2);
  lua_Integer const size = static_cast<lua_Integer>(lua_rawlen(L, 1));
  for (lua_Integer i = 1; i <= size; ++i) {
    lua_rawgeti(L, 1, i);
    bool const eq = lua_rawequal(L, -1, 2);
    lua_pop(L, 1);
    if (eq) {
      lua_pushboolean(L, 1);
      return 1;
    }
  }
  lua_pushboolean(L, 0);
  return 1;
}

// setmetatable refusing metatables with a finalizer: a finalizer would run
// later, during some other evaluation.
int safeSetMetatable(lua_State* L) {
  if (lua_type(L, 2) == LUA_TTABLE) {
    lua_pushliteral(L, "__gc");
    bool const gc = lua_rawget(L, 2) != LUA_TNIL;
    lua_pop(L, 1);
    if (gc) return luaL_error(L, "metatables with __gc are not allowed in rules");
  }
  lua_pushvalue(L, lua_upvalueindex(1));
  lua_insert(L, 1);
  lua_call(L, lua_gettop(L) - 1, LUA_MULTRET);
  return lua_gettop(L);
}

// string.rep bounded by the memory budget before it starts: the original
// loops in C (where no instruction limit reaches) even for an empty result.
int safeRep(lua_State* L) {
  std::size_t l = 0, lsep = 0;
  luaL_checklstring(L, 1, &l);
  lua_Integer const n = luaL_checkinteger(L, 2);
  luaL_optlstring(L, 3, "", &lsep);
  if (n > 0 && static_cast<std::uint64_t>(n) > daRuleMemoryLimit / (l + lsep + 1))
    return luaL_error(L, "string.rep: the result would exceed the memory limit");
  lua_pushvalue(L, lua_upvalueindex(1));
  lua_insert(L, 1);
  lua_call(L, lua_gettop(L) - 1, 1);
  return 1;
}

// The pattern functions (find, match, gmatch, gsub) bounded before they
// start: Lua's matcher backtracks in C, so a pattern with k repetition items
// (*, +, -, ? and %b; a set [...] is one item) costs up to about n^k steps
// from each start position on a subject of n bytes, out of the instruction
// limit's reach. A call is refused when that bound, times the start
// positions (one for an anchored find, match or gsub), passes kPatternSteps.
// Plain finds (string.find with plain = true) are linear and never refused.
constexpr double kPatternSteps = 1e8;

// The number of repetition items of pattern p.
int repetitions(char const* p, std::size_t n) {
  int k = 0;
  for (std::size_t i = 0; i < n; ++i) {
    char const c = p[i];
    if (c == '%' && i + 1 < n) {
      if (p[++i] == 'b') {
        ++k;
        i += 2;
      }
    } else if (c == '[') {
      // Skip the set: a leading ^ and a leading ] belong to it.
      std::size_t j = i + 1;
      if (j < n && p[j] == '^') ++j;
      if (j < n && p[j] == ']') ++j;
      while (j < n && p[j] != ']') j += (p[j] == '%') ? 2 : 1;
      i = j;
    } else if (c == '*' || c == '+' || c == '-' || c == '?') {
      ++k;
    }
  }
  return k;
}

// Upvalues: the original function, then its kind: 0 find, 1 match or gsub,
// 2 gmatch.
int safePattern(lua_State* L) {
  std::size_t n = 0, plen = 0;
  luaL_checklstring(L, 1, &n);
  char const* p = luaL_checklstring(L, 2, &plen);
  lua_Integer const kind = lua_tointeger(L, lua_upvalueindex(2));
  bool const plainFind = kind == 0 && lua_toboolean(L, 4);
  if (!plainFind) {
    bool const anchored = kind != 2 && plen > 0 && p[0] == '^';
    int const exponent = repetitions(p, plen) + (anchored ? 0 : 1);
    double steps = 1;
    for (int i = 0; i < exponent && steps <= kPatternSteps; ++i) steps *= static_cast<double>(n) + 1;
    if (steps > kPatternSteps) return luaL_error(L, "pattern too costly for a subject of %d bytes", static_cast<int>(n));
  }
  lua_pushvalue(L, lua_upvalueindex(1));
  lua_insert(L, 1);
  lua_call(L, lua_gettop(L) - 1, LUA_MULTRET);
  return lua_gettop(L);
}

// table.insert, table.remove and table.move bounded before they start:
// they shift elements in C, as many as the table's length (which __len
// may make anything) or the range given says. Upvalues: the original, then
// its kind: 0 insert or remove, 1 move.
constexpr lua_Integer kMaxShift = 1 << 20;

int safeShift(lua_State* L) {
  lua_Integer count = 0;
  if (lua_tointeger(L, lua_upvalueindex(2)) == 0) {
    luaL_checkany(L, 1);
    count = luaL_len(L, 1);
  } else {
    lua_Integer const f = luaL_checkinteger(L, 2), e = luaL_checkinteger(L, 3);
    count = e >= f ? (f > 0 || e < LUA_MAXINTEGER + f ? e - f : LUA_MAXINTEGER) : 0;
  }
  if (count > kMaxShift || count < -kMaxShift)
    return luaL_error(L, "table operation over more than %d elements", static_cast<int>(kMaxShift));
  lua_pushvalue(L, lua_upvalueindex(1));
  lua_insert(L, 1);
  lua_call(L, lua_gettop(L) - 1, LUA_MULTRET);
  return lua_gettop(L);
}

// Pushes a full userdata with no contents whose metatable reads through
// index and is hidden.
void pushReader(lua_State* L, lua_CFunction index) {
  lua_newuserdatauv(L, 0, 0);
  lua_pushcfunction(L, index);
  setHiddenMetatable(L, false);
}

void Engine::pushGroups(lua_State* L) {
  lua_rawgeti(L, LUA_REGISTRYINDEX, groupsRef_);
  auto* l = static_cast<ListRef*>(lua_touserdata(L, -1));
  l->epoch = epoch_;
  l->views = input_ ? input_->groups : nullptr;
  l->strings = nullptr;
}

void Engine::pushList(lua_State* L, std::vector<std::string> const& list) {
  if (listUsed_ < listPool_.size()) {
    lua_rawgeti(L, LUA_REGISTRYINDEX, listPool_[listUsed_]);
  } else {
    lua_newuserdatauv(L, sizeof(ListRef), 0);
    luaL_setmetatable(L, kListMeta);
    if (listPool_.size() < 64) {
      lua_pushvalue(L, -1);
      listPool_.push_back(luaL_ref(L, LUA_REGISTRYINDEX));
    }
  }
  ++listUsed_;
  auto* l = static_cast<ListRef*>(lua_touserdata(L, -1));
  l->epoch = epoch_;
  l->views = nullptr;
  l->strings = &list;
}

// Builds the sandbox in a fresh state (see the file's comment). Runs in
// protected mode: any failure (memory) gives false.
int setUpSandbox(lua_State* L) {
  luaL_requiref(L, LUA_GNAME, luaopen_base, 0);
  int const base = lua_gettop(L);
  luaL_requiref(L, LUA_STRLIBNAME, luaopen_string, 0);
  int const str = lua_gettop(L);
  luaL_requiref(L, LUA_TABLIBNAME, luaopen_table, 0);
  int const tab = lua_gettop(L);
  luaL_requiref(L, LUA_MATHLIBNAME, luaopen_math, 0);
  int const math = lua_gettop(L);

  // The string library as rules reach it (through the proxy and through
  // the strings' own metatable): no dump, bounded rep and patterns.
  lua_pushnil(L);
  lua_setfield(L, str, "dump");
  lua_getfield(L, str, "rep");
  lua_pushcclosure(L, safeRep, 1);
  lua_setfield(L, str, "rep");
  struct Wrapped {
    char const* name;
    int kind;
  };
  for (Wrapped const w : {Wrapped{"find", 0}, Wrapped{"match", 1}, Wrapped{"gsub", 1}, Wrapped{"gmatch", 2}}) {
    lua_getfield(L, str, w.name);
    lua_pushinteger(L, w.kind);
    lua_pushcclosure(L, safePattern, 2);
    lua_setfield(L, str, w.name);
  }
  for (Wrapped const w : {Wrapped{"insert", 0}, Wrapped{"remove", 0}, Wrapped{"move", 1}}) {
    lua_getfield(L, tab, w.name);
    lua_pushinteger(L, w.kind);
    lua_pushcclosure(L, safeShift, 2);
    lua_setfield(L, tab, w.name);
  }
  lua_pushliteral(L, "");
  lua_getmetatable(L, -1);
  lua_pushboolean(L, 0);
  lua_setfield(L, -2, "__metatable");  // getmetatable("") no longer gives the real string table
  lua_pop(L, 2);
  // One rule must not reseed what the next one draws.
  lua_pushnil(L);
  lua_setfield(L, math, "randomseed");

  // G: what a rule can name.
  lua_createtable(L, 0, 32);
  int const g = lua_gettop(L);
  for (char const* f : {"assert", "error", "ipairs", "next", "pairs", "pcall", "xpcall", "select", "tonumber",
                        "tostring", "type", "rawequal", "rawlen", "rawget", "getmetatable", "_VERSION"}) {
    lua_getfield(L, base, f);
    lua_setfield(L, g, f);
  }
  lua_getfield(L, base, "setmetatable");
  lua_pushcclosure(L, safeSetMetatable, 1);
  lua_setfield(L, g, "setmetatable");
  pushReadOnly(L, str);
  lua_setfield(L, g, "string");
  pushReadOnly(L, tab);
  lua_setfield(L, g, "table");
  pushReadOnly(L, math);
  lua_setfield(L, g, "math");
  lua_pushcfunction(L, hasValue);
  lua_setfield(L, g, "has");

  luaL_newmetatable(L, kListMeta);
  lua_pushcfunction(L, listIndex);
  lua_setfield(L, -2, "__index");
  lua_pushcfunction(L, listLength);
  lua_setfield(L, -2, "__len");
  lua_pushboolean(L, 0);
  lua_setfield(L, -2, "__metatable");
  lua_pop(L, 1);

  pushReader(L, subjectIndex);
  lua_setfield(L, g, "subject");
  pushReader(L, requestIndex);
  lua_setfield(L, g, "request");
  pushReader(L, attrIndex);
  lua_setfield(L, g, "attr");

  // The environment every chunk runs in.
  lua_createtable(L, 0, 0);
  lua_pushvalue(L, g);
  setHiddenMetatable(L, false);
  int const envRef = luaL_ref(L, LUA_REGISTRYINDEX);

  lua_newuserdatauv(L, sizeof(ListRef), 0);
  std::memset(lua_touserdata(L, -1), 0, sizeof(ListRef));
  luaL_setmetatable(L, kListMeta);
  int const groupsRef = luaL_ref(L, LUA_REGISTRYINDEX);

  lua_settop(L, 0);
  lua_pushinteger(L, envRef);
  lua_pushinteger(L, groupsRef);
  return 2;
}

void Engine::open() {
  L_ = lua_newstate(alloc, this);
  if (!L_) return;
  ++statesMade_;
  *static_cast<Engine**>(lua_getextraspace(L_)) = this;
  lua_pushcfunction(L_, setUpSandbox);
  if (lua_pcall(L_, 0, 2, 0) != LUA_OK) {
    close();
    return;
  }
  envRef_ = static_cast<int>(lua_tointeger(L_, -2));
  groupsRef_ = static_cast<int>(lua_tointeger(L_, -1));
  lua_settop(L_, 0);
}

void Engine::close() {
  if (L_) lua_close(L_);
  L_ = nullptr;
  cache_.clear();
  listPool_.clear();
  listUsed_ = 0;
  envRef_ = groupsRef_ = LUA_NOREF;
}

int loadChunk(lua_State* L) {
  auto const* impl = static_cast<daRuleProgram::Impl const*>(lua_touserdata(L, 1));
  if (luaL_loadbufferx(L, impl->bytecode.data(), impl->bytecode.size(), impl->chunkname.c_str(), "b") != LUA_OK)
    return lua_error(L);
  lua_rawgeti(L, LUA_REGISTRYINDEX, static_cast<lua_Integer>(lua_tointeger(L, 2)));
  lua_setupvalue(L, -2, 1);  // _ENV
  lua_pushinteger(L, luaL_ref(L, LUA_REGISTRYINDEX));
  return 1;
}

bool Engine::pushChunk(daRuleProgram const& program, std::string& detail) {
  auto it = cache_.find(program.id());
  if (it == cache_.end()) {
    if (cache_.size() >= daRuleProgramsPerThread) {
      close();
      open();
      if (!L_) {
        detail = "the rule interpreter could not be started";
        return false;
      }
    }
    auto const impl = program.impl();
    if (!impl) {
      detail = "the rule has no compiled chunk";
      return false;
    }
    lua_pushcfunction(L_, loadChunk);
    lua_pushlightuserdata(L_, const_cast<daRuleProgram::Impl*>(impl.get()));
    lua_pushinteger(L_, envRef_);
    if (lua_pcall(L_, 2, 1, 0) != LUA_OK) {
      detail = "the compiled rule could not be loaded";
      lua_pop(L_, 1);
      return false;
    }
    int const ref = static_cast<int>(lua_tointeger(L_, -1));
    lua_pop(L_, 1);
    it = cache_.emplace(program.id(), ref).first;
  }
  lua_rawgeti(L_, LUA_REGISTRYINDEX, it->second);
  return true;
}

// Removes whatever the last rule assigned to globals. Assigning nil to
// fields that exist allocates nothing.
void Engine::clearEnvironment() {
  lua_rawgeti(L_, LUA_REGISTRYINDEX, envRef_);
  lua_pushnil(L_);
  while (lua_next(L_, -2) != 0) {
    lua_pop(L_, 1);
    lua_pushvalue(L_, -1);
    lua_pushnil(L_);
    lua_rawset(L_, -4);
  }
  lua_pop(L_, 1);
}

daRuleVerdict Engine::finish(int status, daRuleProgram const& program, std::string& detail) {
  if (memoryExceeded_) {
    detail = "the rule exceeded the memory limit of " + std::to_string(daRuleMemoryLimit) + " bytes";
    return daRuleVerdict::limit;
  }
  if (instructionsExceeded_) {
    detail = "the rule exceeded the instruction limit of " + std::to_string(daRuleInstructionLimit);
    return daRuleVerdict::limit;
  }
  if (status != LUA_OK) {
    if (status == LUA_ERRMEM) {
      detail = "out of memory";
    } else if (lua_type(L_, -1) == LUA_TSTRING) {
      std::size_t n = 0;
      char const* m = lua_tolstring(L_, -1, &n);
      detail.assign("the rule raised an error: ").append(m, n);
    } else {
      detail.assign("the rule raised an error (a ").append(luaL_typename(L_, -1)).append(" value)");
    }
    return daRuleVerdict::error;
  }
  int const t = lua_type(L_, -1);
  if (t == LUA_TBOOLEAN) {
    detail.clear();
    return lua_toboolean(L_, -1) ? daRuleVerdict::permit : daRuleVerdict::deny;
  }
  if (t == LUA_TNIL) {
    detail.clear();
    return daRuleVerdict::deny;
  }
  (void)program;
  detail.assign("the rule returned a ").append(lua_typename(L_, t)).append(", not a boolean");
  return daRuleVerdict::error;
}

daRuleVerdict Engine::evaluate(daRuleProgram const& program, daRuleInput const& input, std::string& detail) {
  if (busy_) {
    detail = "a rule was evaluated from inside a rule";
    return daRuleVerdict::error;
  }
  struct Busy {
    bool& b;
    explicit Busy(bool& flag) : b(flag) { b = true; }
    ~Busy() { b = false; }
  } busy(busy_);
  if (!L_) open();
  if (!L_) {
    detail = "the rule interpreter could not be started";
    return daRuleVerdict::error;
  }
  if (!pushChunk(program, detail)) return daRuleVerdict::error;

  input_ = &input;
  ++epoch_;
  listUsed_ = 0;
  hooks_ = 0;
  memoryExceeded_ = instructionsExceeded_ = false;
  limit_ = inUse_ + daRuleMemoryLimit;
  lua_sethook(L_, hook, LUA_MASKCOUNT, kHookEvery);
  evaluating_ = true;
  int const status = lua_pcall(L_, 0, 1, 0);
  evaluating_ = false;
  limit_ = SIZE_MAX;
  input_ = nullptr;

  daRuleVerdict v;
  try {
    v = finish(status, program, detail);
  } catch (...) {
    v = daRuleVerdict::error;
  }
  bool const lost = status == LUA_ERRMEM && !memoryExceeded_;
  lua_settop(L_, 0);
  clearEnvironment();
  // A rule stopped by a limit leaves garbage: collect it now, and start
  // over when the state stays large or memory ran out for real.
  if (memoryExceeded_ || instructionsExceeded_) lua_gc(L_, LUA_GCCOLLECT);
  if (lost || inUse_ > 4 * daRuleMemoryLimit) close();
  return v;
}

Engine* threadEngine() {
  thread_local std::unique_ptr<Engine> engine;
  if (!engine) engine.reset(new (std::nothrow) Engine());
  return engine.get();
}

}  // namespace

daRuleVerdict daEvaluateRule(daRuleProgram const& program, daRuleInput const& input, std::string& detail) {
  try {
    if (!program.compiled()) {
      detail = program.error().empty() ? std::string("the rule does not compile") : program.error();
      return daRuleVerdict::notCompiled;
    }
    for (auto const& name : program.attributes()) {
      if (!input.attributes || !input.attributes->find(name)) {
        detail = name;
        return daRuleVerdict::missingAttribute;
      }
    }
    Engine* e = threadEngine();
    if (!e) {
      detail = "the rule interpreter could not be started";
      return daRuleVerdict::error;
    }
    return e->evaluate(program, input, detail);
  } catch (...) {
    return daRuleVerdict::error;
  }
}

daRuleThreadStats daRuleThreadStatistics() {
  Engine* e = threadEngine();
  return e ? e->stats() : daRuleThreadStats{};
}
