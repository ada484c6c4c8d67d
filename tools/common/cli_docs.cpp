#include "tools/common/cli_docs.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "tools/common/command_line.h"
#include "tools/common/version.h"

namespace gxpolicy {
namespace {

// Text made safe for roff: backslashes and minus signs escaped, a line that
// would start with a control character guarded.
std::string roff(std::string const& text) {
  std::string out;
  bool lineStart = true;
  for (char c : text) {
    if (lineStart && (c == '.' || c == '\'')) out += "\\&";
    if (c == '\\')
      out += "\\e";
    else if (c == '-')
      out += "\\-";
    else
      out += c;
    lineStart = c == '\n';
  }
  return out;
}

// Paragraphs separated by blank lines, each a .PP.
std::string paragraphs(std::string const& text) {
  std::string out, para;
  std::istringstream in(text);
  auto flush = [&] {
    if (para.empty()) return;
    out += ".PP\n" + roff(para) + "\n";
    para.clear();
  };
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) {
      flush();
    } else {
      para += para.empty() ? line : "\n" + line;
    }
  }
  flush();
  return out;
}

bool hidden(CLI::Option const* o) { return o->get_group().empty(); }
bool positional(CLI::Option const* o) { return !o->nonpositional(); }
bool takesValue(CLI::Option const* o) { return o->get_items_expected_max() > 0; }

// "TEXT" from "TEXT:FILE" and the like: the placeholder of a value.
std::string placeholder(CLI::Option const* o) {
  std::string type = o->get_type_name();
  type = type.substr(0, type.find(':'));
  return type.empty() ? "VALUE" : type;
}

std::string optionNames(CLI::Option const* o) {
  std::string names;
  for (std::string const& s : o->get_snames()) names += (names.empty() ? "\\fB" : ", \\fB") + roff("-" + s) + "\\fR";
  for (std::string const& l : o->get_lnames()) names += (names.empty() ? "\\fB" : ", \\fB") + roff("--" + l) + "\\fR";
  return names;
}

std::string describe(CLI::Option const* o) {
  std::string text = o->get_description();
  if (!o->get_default_str().empty()) text += " (default: " + o->get_default_str() + ")";
  if (o->get_required()) text += " (required)";
  return roff(text);
}

std::vector<CLI::App const*> subcommandsOf(CLI::App const& app) {
  std::vector<CLI::App const*> subs = app.get_subcommands([](CLI::App const*) { return true; });
  subs.erase(std::remove_if(subs.begin(), subs.end(), [](CLI::App const* s) { return s->get_group().empty(); }),
             subs.end());
  return subs;
}

std::string upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

std::string header(ManPageInfo const& info, std::string const& manual) {
  return ".TH " + upper(roff(info.name)) + " " + std::to_string(info.section) + " \"\" \"gxcore " +
         std::string(kVersion) + "\" \"" + manual + "\"\n";
}

std::string manualOf(int section) {
  return section == 5 ? "File Formats" : section == 8 ? "System Administration" : "User Commands";
}

std::string seeAlso(ManPageInfo const& info) {
  if (info.seeAlso.empty()) return {};
  std::string out = ".SH SEE ALSO\n";
  for (std::size_t i = 0; i < info.seeAlso.size(); ++i) {
    std::string const& ref = info.seeAlso[i];
    std::size_t paren = ref.find('(');
    out += ".BR " + roff(ref.substr(0, paren)) + " " + ref.substr(paren) + (i + 1 < info.seeAlso.size() ? "," : "") +
           "\n";
  }
  return out;
}

// The extra sections; one titled "Example" or "Examples" is kept verbatim.
std::string extraSections(ManPageInfo const& info) {
  std::string out;
  for (auto const& [title, text] : info.extraSections) {
    std::string heading = upper(roff(title));
    out += ".SH " + heading + "\n" +
           (heading == "EXAMPLE" || heading == "EXAMPLES" ? ".nf\n" + roff(text) + "\n.fi\n" : paragraphs(text));
  }
  return out;
}

}  // namespace

std::string manPage(CLI::App const& app, ManPageInfo const& info) {
  std::string out = header(info, manualOf(info.section));
  std::string summary = info.summary.empty() ? app.get_description() : info.summary;
  // A description written "tool: what it does" keeps only what it does.
  if (std::size_t colon = summary.find(": "); colon != std::string::npos && colon < 24) summary = summary.substr(colon + 2);
  out += ".SH NAME\n" + roff(info.name) + " \\- " + roff(summary) + "\n";

  auto options = app.get_options([](CLI::Option const* o) { return !hidden(o); });
  auto subs = subcommandsOf(app);
  std::string command = info.name;
  std::replace(command.begin(), command.end(), '-', ' ');
  out += ".SH SYNOPSIS\n.B " + roff(command) + "\n";
  bool anyOption = std::any_of(options.begin(), options.end(), [](CLI::Option const* o) { return !positional(o); });
  if (anyOption) out += "[\\fIOPTIONS\\fR]\n";
  if (!subs.empty()) out += "\\fICOMMAND\\fR [\\fIARGS\\fR]\n";
  for (CLI::Option const* o : options)
    if (positional(o)) out += (o->get_required() ? "\\fI" : "[\\fI") + roff(o->get_name(true)) + (o->get_required() ? "\\fR\n" : "\\fR]\n");

  out += ".SH DESCRIPTION\n";
  out += info.description.empty() ? paragraphs(app.get_description()) : paragraphs(info.description);

  if (!subs.empty()) {
    out += ".SH COMMANDS\n";
    for (CLI::App const* s : subs)
      out += ".TP\n.B " + roff(s->get_name()) + "\n" + roff(s->get_description()) + " See \\fB" +
             roff(info.name + "-" + s->get_name()) + "\\fR(" + std::to_string(info.section) + ").\n";
  }
  bool anyPositional = std::any_of(options.begin(), options.end(), positional);
  if (anyPositional) {
    out += ".SH ARGUMENTS\n";
    for (CLI::Option const* o : options)
      if (positional(o)) out += ".TP\n.I " + roff(o->get_name(true)) + "\n" + describe(o) + "\n";
  }
  if (anyOption) {
    out += ".SH OPTIONS\n";
    for (CLI::Option const* o : options) {
      if (positional(o)) continue;
      out += ".TP\n" + optionNames(o) + (takesValue(o) ? " \\fI" + roff(placeholder(o)) + "\\fR" : "") + "\n" +
             describe(o) + "\n";
    }
  }
  out += extraSections(info);
  std::string footer = app.get_footer();
  while (!footer.empty() && footer.back() == '\n') footer.pop_back();
  if (!footer.empty()) out += ".SH EXAMPLES\n.nf\n" + roff(footer) + "\n.fi\n";
  out += seeAlso(info);
  return out;
}

std::string configManPage(CLI::App const& app, ManPageInfo const& info, std::vector<std::string> const& excluded) {
  std::string out = header(info, manualOf(info.section));
  out += ".SH NAME\n" + roff(info.name) + " \\- " + roff(info.summary) + "\n";
  out += ".SH DESCRIPTION\n" + paragraphs(info.description);
  out += ".SH KEYS\n";
  for (CLI::Option const* o : app.get_options([](CLI::Option const* o) { return !hidden(o) && !positional(o); })) {
    if (o->get_lnames().empty()) continue;
    std::string key = o->get_lnames().front();
    if (std::find(excluded.begin(), excluded.end(), key) != excluded.end()) continue;
    out += ".TP\n\\fB" + roff(key) + "\\fR = \\fI" + (takesValue(o) ? roff(placeholder(o)) : std::string("true|false")) +
           "\\fR\n" + describe(o) + "\n";
  }
  out += extraSections(info);
  out += seeAlso(info);
  return out;
}

namespace {

// Adds app's tables to the script's, under path ("@" for the program, else
// "@/sub/subsub": bash's tables take no empty key).
void completionTables(CLI::App const& app, std::string const& path, std::string& subs, std::string& opts,
                      std::string& valued) {
  std::string childNames, optionNames, valuedNames;
  for (CLI::App const* s : subcommandsOf(app)) childNames += (childNames.empty() ? "" : " ") + s->get_name();
  for (CLI::Option const* o : app.get_options([](CLI::Option const* o) { return !hidden(o) && !positional(o); })) {
    std::string names;
    for (std::string const& s : o->get_snames()) names += " -" + s;
    for (std::string const& l : o->get_lnames()) names += " --" + l;
    optionNames += names;
    if (takesValue(o)) valuedNames += names;
  }
  subs += "  [\"" + path + "\"]=\"" + childNames + "\"\n";
  opts += "  [\"" + path + "\"]=\"" + optionNames.substr(optionNames.empty() ? 0 : 1) + "\"\n";
  valued += "  [\"" + path + "\"]=\"" + valuedNames.substr(valuedNames.empty() ? 0 : 1) + "\"\n";
  for (CLI::App const* s : subcommandsOf(app))
    completionTables(*s, path + "/" + s->get_name(), subs, opts, valued);
}

}  // namespace

std::string bashCompletion(CLI::App const& app, std::string const& program) {
  std::string id = program;
  std::replace(id.begin(), id.end(), '-', '_');
  std::string subs, opts, valued;
  completionTables(app, "@", subs, opts, valued);
  std::string out = "# bash completion for " + program + " (written by " + program + " --write-docs)\n";
  out += "declare -gA _" + id + "_subs=(\n" + subs + ")\n";
  out += "declare -gA _" + id + "_opts=(\n" + opts + ")\n";
  out += "declare -gA _" + id + "_valued=(\n" + valued + ")\n";
  out += "_" + id + "() {\n"
         "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} path=@ w i\n"
         "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
         "    w=${COMP_WORDS[i]}\n"
         "    [[ \" ${_" + id + "_subs[$path]} \" == *\" $w \"* ]] && path=$path/$w\n"
         "  done\n"
         "  if [[ \" ${_" + id + "_valued[$path]} \" == *\" $prev \"* ]]; then\n"
         "    compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -f -- \"$cur\")); return\n"
         "  fi\n"
         "  if [[ $cur == -* ]]; then\n"
         "    COMPREPLY=($(compgen -W \"${_" + id + "_opts[$path]}\" -- \"$cur\")); return\n"
         "  fi\n"
         "  if [[ -n ${_" + id + "_subs[$path]} ]]; then\n"
         "    COMPREPLY=($(compgen -W \"${_" + id + "_subs[$path]}\" -- \"$cur\")); return\n"
         "  fi\n"
         "  compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -f -- \"$cur\"))\n"
         "}\n"
         "complete -F _" + id + " " + program + "\n";
  return out;
}

namespace {

bool writeFile(std::string const& path, std::string const& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (out) return true;
  std::fprintf(stderr, "%s: cannot write\n", path.c_str());
  return false;
}

bool writePages(CLI::App const& app, ManPageInfo const& info, std::string const& dir) {
  if (!writeFile(dir + "/" + info.name + "." + std::to_string(info.section), manPage(app, info))) return false;
  for (CLI::App const* s : subcommandsOf(app)) {
    ManPageInfo sub;
    sub.name = info.name + "-" + s->get_name();
    sub.section = info.section;
    sub.summary = s->get_description();
    sub.seeAlso = {info.name + "(" + std::to_string(info.section) + ")"};
    if (!writePages(*s, sub, dir)) return false;
  }
  return true;
}

}  // namespace

std::optional<int> writeDocsIfAsked(CLI::App const& app, ManPageInfo const& info,
                                    std::vector<std::pair<std::string, std::string>> const& extraPages, int argc,
                                    char const* const* argv) {
  if (argc != 3 || std::string(argv[1]) != "--write-docs") return std::nullopt;
  std::string dir = argv[2];
  bool ok = writePages(app, info, dir) && writeFile(dir + "/" + info.name + ".bash", bashCompletion(app, info.name));
  for (auto const& [name, text] : extraPages) ok = ok && writeFile(dir + "/" + name, text);
  return ok ? kExitOk : kExitError;
}

}  // namespace gxpolicy
