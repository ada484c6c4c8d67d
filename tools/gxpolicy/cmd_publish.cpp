// gxpolicy publish: writes a compressed, verified snapshot of a master
// policy database and its manifest into a folder that any web server can
// serve to replicas on other machines (daSnapshot.h describes the layout),
// with the delta from the previous publish and the master's user registry
// when it has one.
#include <cstdio>
#include <memory>
#include <string>

#include "tools/common/publish.h"
#include "tools/gxpolicy/gxpolicy.h"

namespace gxpolicy {
namespace {

void publish(PublishRequest const& request) {
  Problem problem;
  auto outcome = publishSnapshot(request, problem);
  if (!outcome) {
    std::string what = problem.message;
    if (!problem.hint.empty()) what += " (" + problem.hint + ")";
    throw CLI::RuntimeError(fail(what, problem.status));
  }
  for (auto const& line : describePublish(request, *outcome)) std::printf("%s\n", line.c_str());
}

}  // namespace

void registerPublishCommands(CLI::App& app) {
  auto args = std::make_shared<PublishRequest>();
  auto* sub = app.add_subcommand(
      "publish", "write a snapshot of a master database and its manifest into DIR, for replicas that fetch it over HTTP(S)");
  sub->add_option("MASTER", args->master, "master policy database file")->required();
  sub->add_option("DIR", args->destination, "folder served by a web server (created when missing)")->required();
  sub->add_option("--keep", args->options.keep, "snapshots kept, the new one included (default 3)")
      ->check(CLI::PositiveNumber);
  sub->add_option("--deltas", args->options.deltas,
                  "deltas listed in the manifest, for replicas a few changes behind (default 10; 0: none)")
      ->check(CLI::Range(0u, daPublishOptions::maxDeltas));
  sub->add_option("--full-every", args->options.fullEvery,
                  "write the full snapshot at every Nth publish only, the delta alone between (default 1: every "
                  "publish; replicas of versions without deltas need 1)")
      ->check(CLI::PositiveNumber);
  sub->add_option("--domain", args->domain, "policy domain (names the inter-process lock)");
  sub->callback([args] { publish(*args); });
}

}  // namespace gxpolicy
