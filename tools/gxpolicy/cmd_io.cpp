// gxpolicy import / export: load a policy document (JSON) into a database,
// and write everything a database holds as such a document.
//
//   gxpolicy import DB FILE [--replace] [--as NAME] [--dry-run]
//                               FILE "-" reads standard input; a pipe,
//                               /dev/stdin or a FIFO works too. --replace:
//                               the document becomes the whole policy (what
//                               it lacks is removed). The import is recorded
//                               in the change log under --as NAME (default:
//                               the user running the command). --dry-run
//                               prints what it would change (gxpolicy diff)
//                               and writes nothing.
//   gxpolicy export DB [FILE]   no FILE (or "-") writes standard output
//
// The document (every section and every field not marked required may be
// left out; unknown fields are refused, so that a misspelt field is not
// silently ignored):
//
//   {
//     "acls": {
//       "NAME": {
//         "description": "text",
//         "entries": [                       // kept in this order
//           {"type": "user" | "group" | "any-other" | "unauthenticated",  // required
//            "id": "uuid",                   // user and group only, else refused
//            "name": "alice",                // the subject's registry name; see below
//            "actions": "Tr[group]a"}        // required; "" grants nothing
//         ],
//         "attributes": {"key": ["value", ...]}   // extended attributes
//       }
//     },
//     "pops": {
//       "NAME": {
//         "description": "text", "warning": false, "audit": 0, "qop": 0,
//         "day_access": 0, "start_access": 0, "end_access": 0, "time_reference": 0,
//         "default_level": 0,                // level for callers no entry matches
//         "ipauth": [                        // tried in order, first match wins
//           {"network": "10.0.0.0", "netmask": "255.0.0.0", "level": 2},   // all required
//           {"network": "fd00::", "netmask": "ffff::", "level": 1}
//         ],
//         "attributes": {...}
//       }
//     },
//     "rules": {
//       "NAME": {"description": "text", "text": "rule text", "reason": "text",
//                "adilist": ["name", ...], "attributes": {...}}
//     },
//     "objects": {
//       "/a/b": {"description": "text", "type": 0, "attachable": true,
//                "acl": "NAME", "pop": "NAME", "rule": "NAME",   // attached policies
//                "attributes": {...}}
//     }
//   }
//
// A user or group entry needs "id" or, with a user registry, "name": the
// registry (--registry FILE, else DB.registry.json beside the database when
// it exists) resolves the name to the uuid, and a name given with an id
// must be that uuid's name. Without a registry "name" is a label for
// readers and is not checked. Export writes "name" from the registry when
// there is one. Only the uuid is stored.
//
// Import: action strings are converted with the database's action
// catalogue; names must be valid names of their kind; a policy an object
// names must be in the document (anywhere in it) or already in the
// database; an item may be listed once, and a key may appear once in any
// JSON object (a section, an item, an entry); no text may hold a NUL
// (\u0000); an IP-auth netmask must be contiguous and its network have no
// bits set outside it; every key an item is stored under must fit the
// database's 511-byte key limit and every record (a policy's list of
// objects included) its record size limit. The document is streamed, never
// held whole in memory (an input that can be read only once -- standard
// input, a pipe, a FIFO -- is first copied to a temporary file), and read
// twice. The first pass checks the whole document and writes nothing: the
// first problem is reported with its place in the document (e.g.
// objects["/a"].acl, or the line and column of malformed JSON) and the
// database is left as it was. The second pass writes the items in document
// order; each replaces what the database holds under its name -- its
// extended attributes and, for an object, its attachments included (a
// field left out removes them).
// Attachments are recorded in both directions; the policies' lists of
// objects are gathered during the pass and written once at its end, keeping
// the objects the document does not mention. Items the document does not
// name are left alone, unless --replace: then they are removed, and every
// policy an object names must be in the document.
//
// What is atomic: the whole import. The writing pass is one database
// transaction, so a failure or a crash while writing leaves the database
// as it was, and other processes see the import all at once when it
// commits (their writes wait for it).
//
// On a terminal, both passes show a progress bar on standard error.
//
// Export writes every ACL, POP and rule and every protected object that has
// a record, an attachment or extended attributes, every field spelled out,
// so that exporting, importing into a new database and exporting again
// gives the same document. A stored text that is not UTF-8 (the library
// stores bytes) is written with U+FFFD in place of each invalid byte, and
// standard error names each such place: that item will not round-trip. FILE
// is created mode 0600 (an existing file is overwritten and set to 0600), and
// a symbolic link there is refused rather than followed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "GxCore/db/daCachedStore.h"
#include "outside/registry.h"
#include "tools/gxpolicy/gxpolicy.h"
#include "tools/common/json_error.h"
#include "tools/common/policy_export.h"
#include "tools/common/policy_import.h"
#include "tools/common/progress.h"

namespace gxpolicy {
namespace {

struct IoArgs {
  std::string db;
  std::string file = "-";
  std::string domain = "Default";
  std::string registry;  // --registry; empty: the file beside db, if any
  bool dryRun = false;   // import --dry-run: print what would change, write nothing
  bool replace = false;  // import --replace
  std::string as;        // import --as: the administrator the change log records
};

std::unique_ptr<daCachedStore> openStore(IoArgs const& a, int readOnly, int cache = 1) {
  auto store = std::make_unique<daCachedStore>(a.domain.c_str(), a.db.c_str(), cache, 0);
  openOrFail(*store, a.db, readOnly);
  return store;
}

[[noreturn]] void failWith(std::string const& text) {
  std::fprintf(stderr, "gxpolicy: %s\n", text.c_str());
  throw CLI::RuntimeError(kExitError);
}

// A stream buffer that reads a file descriptor and writes every chunk it
// reads to a second one, so that whoever reads the stream makes the copy.
// A failed read or write ends the stream; error() then says why.
class CopyingReader : public std::streambuf {
 public:
  CopyingReader(int in, int out) : in_(in), out_(out) {}
  int error() const { return error_; }

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (error_ != 0) return traits_type::eof();
    ssize_t n;
    do n = read(in_, buffer_, sizeof buffer_);
    while (n < 0 && errno == EINTR);
    if (n < 0 || (n > 0 && !writeAll(static_cast<std::size_t>(n)))) {
      error_ = errno != 0 ? errno : EIO;
      return traits_type::eof();
    }
    if (n == 0) return traits_type::eof();
    setg(buffer_, buffer_, buffer_ + n);
    return traits_type::to_int_type(*gptr());
  }

 private:
  bool writeAll(std::size_t size) {
    for (std::size_t done = 0; done < size;) {
      ssize_t n = write(out_, buffer_ + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  int in_, out_;
  int error_ = 0;
  char buffer_[65536];
};

// The document to import, readable twice. A regular file is read where it
// is. Anything else -- standard input ("-"), a pipe, /dev/stdin, a FIFO, a
// terminal, a device -- can be read only once, so it is copied first into
// a private temporary file (mode 0600, in $TMPDIR or /tmp) that goes with
// this object; the copy stops where the JSON syntax fails. A directory is
// refused.
class ImportInput {
 public:
  explicit ImportInput(std::string const& file) {
    bool const standardInput = file == "-";
    int fd = standardInput ? STDIN_FILENO : ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) failWith("cannot read " + file + ": " + std::strerror(errno));
    struct stat st {};
    bool const known = fstat(fd, &st) == 0;
    int const e = errno;
    if (known && S_ISREG(st.st_mode) && !standardInput) {
      close(fd);
      path_ = file;
      return;
    }
    if (!known || S_ISDIR(st.st_mode)) {
      if (!standardInput) close(fd);
      failWith("cannot read " + file + ": " + (known ? "it is a directory" : std::strerror(e)));
    }
    std::string const what = standardInput ? std::string("standard input") : file;
    bool const copied = spool(fd, what);
    if (!standardInput) close(fd);
    if (!copied) {
      std::remove(spooled_.c_str());  // the destructor does not run
      throw CLI::RuntimeError(kExitError);
    }
  }
  ImportInput(ImportInput const&) = delete;
  ImportInput& operator=(ImportInput const&) = delete;
  ~ImportInput() {
    if (!spooled_.empty()) std::remove(spooled_.c_str());
  }
  // The file to read the document from.
  std::string const& path() const { return path_; }

 private:
  // Copies what fd yields into a new temporary file; false (with the reason
  // printed) when it cannot. The copy is read through the JSON parser as it
  // is made and ends where the syntax does, so endless input that is no
  // JSON (/dev/zero, "yes |") stops at its first bytes; the import then
  // reports the error from the copy, which holds everything up to it.
  bool spool(int fd, std::string const& what) {
    char const* dir = std::getenv("TMPDIR");
    std::string path = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/gxpolicy-import.XXXXXX";
    int out = mkstemp(path.data());
    if (out < 0) {
      std::fprintf(stderr, "gxpolicy: cannot create a temporary file for %s in %s: %s\n", what.c_str(),
                   path.c_str(), std::strerror(errno));
      return false;
    }
    spooled_ = path_ = path;
    CopyingReader reader(fd, out);
    std::istream in(&reader);
    JsonSyntaxCheck check;
    nlohmann::json::sax_parse(in, &check);
    int const e = reader.error();
    if (close(out) != 0 || e != 0) {
      std::fprintf(stderr, "gxpolicy: cannot copy %s to %s: %s\n", what.c_str(), path.c_str(),
                   std::strerror(e != 0 ? e : errno));
      return false;
    }
    return true;
  }

  std::string path_;
  std::string spooled_;  // the temporary copy, removed with this object
};

// import --dry-run: what the document would change, from a scratch copy.
void dryRun(IoArgs const& a, std::string const& path) {
  DiffPrint how;
  how.replace = a.replace;
  int const code = printDocumentDiff(a.db, a.domain, path, a.registry, how);
  if (code != kExitOk) throw CLI::RuntimeError(code);
}

void importFile(IoArgs const& a) {
  ImportInput input(a.file);
  std::string const path = input.path();
  if (a.dryRun) return dryRun(a, path);
  DocumentSource source = [path] { return std::make_unique<std::ifstream>(path, std::ios::binary); };
  // Without the cache: a large document would otherwise leave every
  // object it wrote decoded in memory.
  auto store = openStore(a, 0, 0);
  std::unique_ptr<gxreg::Registry> registry = openRegistry(a.db, a.registry);
  ProgressBar bar;
  ImportOptions options;
  options.registry = registry.get();
  options.replace = a.replace;
  options.actor = Actor{a.as.empty() ? osUserName() : a.as, "local"};
  options.command = std::string("import ") + (a.replace ? "--replace " : "") + a.file;
  options.progress = [&bar](char const* phase, unsigned long done, unsigned long total) {
    bool checking = std::string(phase) == "checking";
    bar.update(phase, done, total, checking ? ProgressBar::Unit::bytes : ProgressBar::Unit::items);
  };
  ImportCounts counts;
  Problem problem;
  bool ok;
  try {
    ok = importPolicyDocument(*store, source, options, counts, problem);
  } catch (std::exception const& e) {  // a catalogue the quick map cannot be built from
    bar.clear();
    failWith("import " + a.file + ": " + e.what());
  }
  bar.clear();
  if (!ok) failWith("import " + a.file + ": " + describe(problem) + "; nothing was written");
  std::string removed = a.replace ? ", removed " + std::to_string(counts.removed) + " items it lacks" : "";
  std::printf("imported %lu ACLs, %lu POPs, %lu rules and %lu objects into %s%s (sequence number %lu)\n",
              counts.acls, counts.pops, counts.rules, counts.objects, a.db.c_str(), removed.c_str(), counts.sequence);
}

// Writes text to path, readable by its owner only: the whole policy is in
// it. A symbolic link at path is not followed (the open fails), so a link
// planted there cannot redirect the export onto another file.
void writePrivateFile(std::string const& path, std::string const& text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    int e = errno;
    failWith("cannot write " + path + ": " + (e == ELOOP ? "it is a symbolic link, not followed" : std::strerror(e)));
  }
  struct stat st {};
  // An existing file keeps its mode through O_TRUNC: narrow it too.
  bool ok = fstat(fd, &st) == 0 && (!S_ISREG(st.st_mode) || (st.st_mode & 07777) == 0600 || fchmod(fd, 0600) == 0);
  for (std::size_t done = 0; ok && done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  int e = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    e = errno;
  }
  if (!ok) failWith("cannot write " + path + ": " + std::strerror(e));
}

void exportFile(IoArgs const& a) {
  auto store = openStore(a, 1);
  std::unique_ptr<gxreg::Registry> registry = openRegistry(a.db, a.registry);
  nlohmann::json doc;
  Problem problem;
  std::vector<std::string> invalidText;
  bool ok;
  try {
    ok = exportPolicyDocument(*store, doc, problem, &invalidText, registry.get());
  } catch (std::exception const& e) {
    failWith("export " + a.db + ": " + e.what());
  }
  if (!ok) failWith("export " + a.db + ": " + describe(problem));
  for (std::string const& place : invalidText)
    std::fprintf(stderr, "gxpolicy: export %s: %s: the stored text is not UTF-8; written with U+FFFD in place of "
                 "the invalid bytes, so this item will not import back as stored\n", a.db.c_str(), place.c_str());
  // The document is cleaned already; replacing here too means no text can
  // make the serialiser throw.
  std::string text = doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  if (a.file == "-") {
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (std::fflush(stdout) != 0) failWith("cannot write standard output");
    return;
  }
  writePrivateFile(a.file, text);
}

}  // namespace

void registerIoCommands(CLI::App& app) {
  auto args = std::make_shared<IoArgs>();
  auto* i = app.add_subcommand("import", "load a JSON policy document into a policy database (checked whole before writing)");
  addDatabaseOptions(i, args->db, args->domain);
  i->add_option("FILE", args->file,
                 "JSON document; - for standard input (a pipe, /dev/stdin or a FIFO also works: it is copied to a "
                 "temporary file first, since the document is read twice)")
      ->required();
  i->add_option("--registry", args->registry, "user registry resolving entry names (default: DB.registry.json if it exists)");
  i->add_flag("--dry-run", args->dryRun, "print what the import would change (as diff does) and write nothing");
  i->add_flag("--replace", args->replace,
              "the document becomes the whole policy: every ACL, POP, rule and object it lacks is removed (same transaction)");
  i->add_option("--as", args->as, "the administrator the change log records (default: the user running this)");
  i->callback([args] { importFile(*args); });
  auto* e = app.add_subcommand("export", "write the policy of a database as a JSON document");
  addDatabaseOptions(e, args->db, args->domain);
  e->add_option("FILE", args->file, "output file (default: standard output)");
  e->add_option("--registry", args->registry, "user registry naming entries (default: DB.registry.json if it exists)");
  e->callback([args] { exportFile(*args); });
}

}  // namespace gxpolicy
