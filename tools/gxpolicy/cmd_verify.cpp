// gxpolicy verify: is a database file sound? First its structure (read
// without mapping the file, so damage cannot fault the process), then
// every record decoded by its type, as a replica checks a copy before
// installing it.
#include <cstdio>
#include <string>

#include "GxCore/db/daFileReplicatedClient.h"
#include "outside/hxdb.h"
#include "outside/hxdb_verify.h"
#include "outside/hxsvc.h"
#include "tools/common/status_text.h"
#include "tools/gxpolicy/gxpolicy.h"

namespace gxpolicy {
namespace {

struct VerifyArgs {
  std::string db;
  std::string domain = "Default";
};

void verify(VerifyArgs const& a) {
  hx_db_verify_report report;
  unsigned long st = 0;
  hx_db_verify_file(a.db.c_str(), report, st);
  if (st == hx_db_s_corrupt) {
    std::printf("damaged: page %llu: %s\n", static_cast<unsigned long long>(report.page), report.problem.c_str());
    throw CLI::RuntimeError(kExitDenied);
  }
  if (st != 0) {
    std::fprintf(stderr, "gxpolicy: %s: %s\n", a.db.c_str(), report.problem.c_str());
    throw CLI::RuntimeError(fail("cannot verify " + a.db, st));
  }
  daFileReplicatedClient::verifyCopy(a.db.c_str(), a.domain.c_str(), st);
  if (st != 0) {
    // The structure is sound: what is left is a record or the database
    // information, and the status's text says which.
    std::printf("not a usable policy database: %s\n", statusText(st).c_str());
    throw CLI::RuntimeError(kExitDenied);
  }
  std::printf("ok: %llu records, %llu pages, transaction %llu\n", static_cast<unsigned long long>(report.entries),
              static_cast<unsigned long long>(report.pages), static_cast<unsigned long long>(report.txnid));
}

}  // namespace

void registerVerifyCommands(CLI::App& app) {
  auto a = std::make_shared<VerifyArgs>();
  CLI::App* sub = app.add_subcommand("verify", "check a database file's structure and every record");
  addDatabaseOptions(sub, a->db, a->domain);
  sub->footer(
      "Prints \"ok\" (exit 0) or the first damage with its page (exit 1).\n"
      "Example: gxpolicy verify /var/lib/policy/replica.db");
  sub->callback([a] { verify(*a); });
}

}  // namespace gxpolicy
