#include "tools/common/command_line.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstdio>
#include <new>

#include "tools/common/version.h"

namespace gxpolicy {

namespace {

// Optimal string alignment distance between a and b.
std::size_t editDistance(std::string const& a, std::string const& b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

// The subcommand of app named word, or null.
CLI::App* subcommandNamed(CLI::App* app, std::string const& word) {
  for (CLI::App* sub : app->get_subcommands([](CLI::App*) { return true; }))
    if (sub->check_name(word)) return sub;
  return nullptr;
}

std::vector<std::string> subcommandNames(CLI::App* app) {
  std::vector<std::string> names;
  for (CLI::App* sub : app->get_subcommands([](CLI::App*) { return true; })) names.push_back(sub->get_name());
  return names;
}

// True when name ("--x" or "-x") is an option of app or of an app above it
// (options fall through to the parent).
bool knownOption(CLI::App* app, std::string const& name) {
  for (CLI::App* a = app; a != nullptr; a = a->get_parent())
    if (a->get_option_no_throw(name) != nullptr) return true;
  return false;
}

std::vector<std::string> optionNames(CLI::App* app) {
  std::vector<std::string> names;
  for (CLI::App* a = app; a != nullptr; a = a->get_parent())
    for (CLI::Option const* o : a->get_options())
      for (std::string const& l : o->get_lnames()) names.push_back("--" + l);
  return names;
}

// "did you mean X?" for the first word of argv that app does not know
// (a subcommand or a long option), "" when there is none or nothing near.
std::string suggestion(CLI::App& app, int argc, char const* const* argv) {
  CLI::App* at = &app;
  bool chose = false;  // a subcommand has been named
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (word == "--") break;
    if (word.rfind("--", 0) == 0) {
      std::string name = word.substr(0, word.find('='));
      if (knownOption(at, name)) continue;
      std::string near = nearest(name, optionNames(at));
      return near.empty() ? "" : "did you mean " + near + "?";
    }
    if (word.front() == '-') continue;
    if (CLI::App* sub = subcommandNamed(at, word)) {
      at = sub;
      chose = true;
    } else if (!chose && at->get_subcommands([](CLI::App*) { return true; }).size() > 0) {
      std::string near = nearest(word, subcommandNames(at));
      return near.empty() ? "" : "did you mean \"" + near + "\"?";
    }
  }
  return "";
}

std::atomic<void*> reserve{nullptr};
std::new_handler before = nullptr;

// The new-handler while a MemoryReserve lives: the reserve goes (to
// whatever unwinds) and the allocation fails.
void letReserveGo() {
  std::free(reserve.exchange(nullptr));
  throw std::bad_alloc();
}

}  // namespace

MemoryReserve::MemoryReserve() {
  replenish();
  before = std::set_new_handler(&letReserveGo);
}

MemoryReserve::~MemoryReserve() {
  std::set_new_handler(before);
  std::free(reserve.exchange(nullptr));
}

bool MemoryReserve::replenish() noexcept {
  if (reserve.load(std::memory_order_relaxed) != nullptr) return true;
  void* fresh = std::malloc(kBytes);
  void* none = nullptr;
  if (fresh != nullptr && !reserve.compare_exchange_strong(none, fresh)) std::free(fresh);
  return fresh != nullptr;
}

std::string nearest(std::string const& word, std::vector<std::string> const& candidates) {
  std::size_t limit = std::clamp<std::size_t>(word.size() / 3, 1, 3);
  std::string best;
  std::size_t bestDistance = limit + 1;
  for (std::string const& c : candidates) {
    std::size_t d = editDistance(word, c);
    if (d < bestDistance) {
      bestDistance = d;
      best = c;
    }
  }
  return best;
}

void addVersionFlag(CLI::App& app, char const* program) {
  app.set_version_flag("--version", versionLine(program), "print the version, git commit and build type, and exit");
}

std::optional<int> parseCommandLine(CLI::App& app, char const* program, int argc, char const* const* argv) {
  MemoryReserve reserve;
  try {
    app.parse(argc, argv);
    return std::nullopt;
  } catch (CLI::CallForHelp const& e) {
    return app.exit(e);
  } catch (CLI::CallForAllHelp const& e) {
    return app.exit(e);
  } catch (CLI::CallForVersion const& e) {
    return app.exit(e);
  } catch (CLI::RuntimeError const& e) {
    return e.get_exit_code();
  } catch (std::bad_alloc const&) {
    // Only the message is left to give, and fputs allocates nothing.
    std::fputs(program, stderr);
    std::fputs(": out of memory: the command stopped before it finished (see ulimit -v, or give it less to do "
               "at once)\n",
               stderr);
    return kExitError;
  } catch (CLI::ParseError const& e) {
    std::fprintf(stderr, "%s: %s\n", program, e.what());
    std::string hint = suggestion(app, argc, argv);
    if (!hint.empty()) std::fprintf(stderr, "%s: %s\n", program, hint.c_str());
    std::fprintf(stderr, "%s: run \"%s --help\" for the commands and options\n", program, program);
    return kExitError;
  }
}

}  // namespace gxpolicy
