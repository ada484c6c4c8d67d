// Evaluating authorization rules. A rule's text is a condition written in
// Lua 5.4, run in a sandbox: it sees the request (see daRuleInput and
// README's rule contract), returns true to permit, and anything else denies.
//
// A rule is compiled once into a daRuleProgram, shared and immutable, when
// the policy in force at an object is resolved (so once per policy epoch).
// Each thread evaluates programs in a Lua state of its own, loading a
// program's chunk into it on that thread's first use; no decision compiles.
//
// Caveats:
// - daRuleProgram is immutable and may be shared by any number of threads.
// - daEvaluateRule uses the calling thread's own interpreter state; a rule
//   cannot see another rule's state or the previous evaluation's globals.
// - Each evaluation runs under an instruction limit and a memory limit; a
//   rule that exceeds either is stopped and denies (daRuleVerdict::limit),
//   and the thread goes on serving.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "GxCore/db/daDecisionContext.h"

// The limits of the sandbox. A rule's text longer than daRuleTextLimit
// bytes does not compile. An evaluation runs at most about
// daRuleInstructionLimit Lua instructions and may grow its interpreter's
// memory by at most daRuleMemoryLimit bytes. A thread's interpreter keeps
// at most daRuleProgramsPerThread loaded programs; loading one more starts
// it afresh.
inline constexpr std::size_t daRuleTextLimit = 64 * 1024;
inline constexpr std::uint64_t daRuleInstructionLimit = 1000000;
inline constexpr std::size_t daRuleMemoryLimit = 4 * 1024 * 1024;
inline constexpr std::size_t daRuleProgramsPerThread = 256;

// A compiled rule: its text, reason and the attributes it names, and
// whether it compiled.
class daRuleProgram {
 public:
  // Compiles text for the rule called name: a Lua expression (the
  // verdict) or else a Lua chunk (a block whose `return` gives it); errors
  // are the chunk's. Never throws but std::bad_alloc. A text that
  // does not compile gives a program that is not compiled(): evaluating it
  // denies (daRuleVerdict::notCompiled). A program made before in this
  // process from the same name, text, reason and attributes, and still held
  // somewhere, is returned instead of compiling again (programs are
  // immutable). Thread-safe.
  static std::shared_ptr<daRuleProgram const> make(std::string name, std::string text, std::string reason,
                                                   std::vector<std::string> attributes);

  std::string const& name() const { return name_; }
  std::string const& text() const { return text_; }
  // The reason text the rule's owner wrote, given with a denial.
  std::string const& reason() const { return reason_; }
  // The attributes the rule needs ("adilist"): a decision whose context
  // lacks one of them denies naming it, before the rule runs.
  std::vector<std::string> const& attributes() const { return attributes_; }
  bool compiled() const { return error_.empty(); }
  // When not compiled: the compiler's message and the line it names (0
  // when it names none).
  std::string const& error() const { return error_; }
  int errorLine() const { return errorLine_; }
  // A number no other program of this process has had; keys the threads'
  // loaded chunks.
  std::uint64_t id() const { return id_; }

  // Implementation state (the precompiled chunk); opaque to callers.
  struct Impl;
  std::shared_ptr<Impl const> impl() const { return impl_; }

 private:
  daRuleProgram() = default;
  static std::shared_ptr<daRuleProgram const> compileNew(std::string name, std::string text, std::string reason,
                                                         std::vector<std::string> attributes);
  std::string name_, text_, reason_, error_;
  std::vector<std::string> attributes_;
  int errorLine_ = 0;
  std::uint64_t id_ = 0;
  std::shared_ptr<Impl const> impl_;
};

// Checks that text compiles as a rule, as make would, without making a
// program: on failure false, with the compiler's message and the line it
// names (0 when none) set; on success true, message empty and line 0. For
// import. Throws std::bad_alloc when memory runs out.
bool daRuleCompiles(std::string_view text, std::string& message, int& line);

// What a rule sees of the request. Views and pointers stay the caller's and
// must stay valid for the call.
struct daRuleInput {
  std::string_view userName;  // "" for an unauthenticated caller or when unknown
  std::string_view userUuid;  // text form, "" when unauthenticated
  std::vector<std::string_view> const* groups = nullptr;  // the caller's group names (or uuids), null: none
  bool authenticated = false;
  std::string_view address;  // the caller's address as text, "" when not given
  std::int64_t timeSeconds = 0;  // seconds since 1970 (UTC), already resolved (never daDecisionContext::now)
  std::string_view object;   // the protected object's path
  std::string_view actions;  // the action string asked for
  int authLevel = 0;
  daProtection protection = daProtection::none;
  daAttributes const* attributes = nullptr;  // null: none
};

// How an evaluation ended.
enum class daRuleVerdict : unsigned char {
  permit,            // the rule returned true
  deny,              // the rule returned false (or nil): denied with its reason
  missingAttribute,  // an attribute the rule names was not given; detail names it
  error,             // the rule raised an error or returned a non-boolean; detail says which
  limit,             // the instruction or memory limit stopped it; detail says which
  notCompiled,       // the program did not compile; detail is the compiler's message
};

// Evaluates program for input on the calling thread. detail is overwritten
// with the cause for every verdict but permit and deny (empty for those);
// pass the same string each time and its storage is reused. Never throws
// (memory running out gives daRuleVerdict::error). With no rule text that
// allocates, a warm evaluation allocates nothing.
daRuleVerdict daEvaluateRule(daRuleProgram const& program, daRuleInput const& input, std::string& detail);

// Text of a verdict: "permit", "deny", "missing-attribute", "error", "limit",
// "not-compiled".
char const* daRuleVerdictText(daRuleVerdict v);

// What the calling thread's rule interpreter has done so far: allocations
// its allocator made (all of them, over every state it had), interpreter
// states made (1 after the first evaluation; one more per restart), the
// programs loaded in the current state and the bytes it holds. For tests
// and monitoring; never throws.
struct daRuleThreadStats {
  std::uint64_t allocations = 0;
  std::uint64_t statesMade = 0;
  std::size_t programsLoaded = 0;
  std::size_t bytesInUse = 0;
};
daRuleThreadStats daRuleThreadStatistics();
