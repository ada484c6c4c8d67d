// gxpolicy publish: writes a compressed, verified snapshot of a master
// policy database and its manifest into a folder that any web server can
// serve to replicas on other machines (daSnapshot.h describes the layout),
// with the delta from the previous publish and the master's user registry
// when it has one. With --announce, the replicas' doorbell is rung on a
// NATS broker once the manifest is in place.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "tools/common/publish.h"
#include "tools/gxpolicy/gxpolicy.h"

namespace gxpolicy {
namespace {

struct PublishArgs {
  PublishRequest request;
  std::string announce;  // nats://HOST:PORT/SUBJECT, or ""
};

void publish(PublishArgs const& args) {
  PublishRequest const& request = args.request;
  Problem problem;
  auto outcome = publishSnapshot(request, problem);
  if (!outcome) {
    std::string what = problem.message;
    if (!problem.hint.empty()) what += " (" + problem.hint + ")";
    throw CLI::RuntimeError(fail(what, problem.status));
  }
  for (auto const& line : describePublish(request, *outcome)) std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  // The snapshot is published whatever the broker does: a broker that is
  // down costs the replicas freshness only (they poll), so it is a warning.
  if (!args.announce.empty()) {
    if (announcePublished(args.announce, outcome->sequence(), 5000, problem))
      std::printf("announced sequence %lu on %s\n", outcome->sequence(), args.announce.c_str());
    else
      std::fprintf(stderr, "gxpolicy: warning: %s: %s; replicas learn of it at their next poll\n",
                   problem.message.c_str(), problem.hint.c_str());
  }
}

}  // namespace

void registerPublishCommands(CLI::App& app) {
  auto all = std::make_shared<PublishArgs>();
  PublishRequest* args = &all->request;
  auto* sub = app.add_subcommand(
      "publish", "write a snapshot of a master database and its manifest into DIR, for replicas that fetch it over HTTP(S)");
  sub->add_option("MASTER", args->master, "master policy database file")->required();
  sub->add_option("DIR", args->destination, "folder served by a web server (created when missing), s3://bucket/prefix or oci://registry/repository:tag")->required();
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
  sub->add_option("--stage", args->stage,
                  "s3:// or oci:// destination: local folder the publish is written to before it is uploaded (default: "
                  "MASTER.publish-<id of the destination>)");
  sub->add_option("--s3-endpoint", args->s3Endpoint,
                  "s3:// destination: the server, http(s)://host[:port] (default: AWS_ENDPOINT_URL, else AWS's)");
  sub->add_option("--s3-region", args->s3Region, "s3:// destination: signing region (default: AWS_REGION, else us-east-1)");
  sub->add_option("--ca-file", args->caFile, "s3:// destination over https: CA bundle to verify the server against");
  sub->add_flag("--oci-plain-http", args->ociPlainHttp,
                "oci:// destination: the registry speaks plain http (loopback); credentials come from "
                "GXCORE_OCI_USERNAME and GXCORE_OCI_PASSWORD");
  sub->add_option("--oci-part-size", args->ociPartBytes,
                  "oci:// destination: a file larger than this goes up in parts of this size, each a request of its "
                  "own (a proxy before the registry may limit a request's body), e.g. 1MiB; 0: one request")
      ->transform(CLI::AsSizeValue(false))
      ->check(
          [](std::string const& bytes) {
            std::uint64_t n = 0;
            auto [end, error] = std::from_chars(bytes.data(), bytes.data() + bytes.size(), n);
            return error == std::errc() && end == bytes.data() + bytes.size()
                       ? std::string()
                       : "expected a size such as 4MiB or 1048576 (0: one request), not " + bytes;
          },
          "SIZE")
      ->capture_default_str();
  sub->add_option("--sign", args->signKeyFiles,
                  "sign the manifest with this private key (gxpolicy keygen; repeat the option to sign with "
                  "several keys while rotating them)")
      ->allow_extra_args(false);
  sub->add_option("--announce", all->announce,
                  "then tell the replicas' doorbell on this NATS broker, nats://HOST:PORT/SUBJECT (a broker that does "
                  "not answer is a warning: replicas still poll)");
  sub->callback([all] { publish(*all); });
}

}  // namespace gxpolicy
