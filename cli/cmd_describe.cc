// `vqflow completion bash|zsh` and `vqflow man`: both are written from the
// command tree itself, so they follow every option that is added.
#include <iostream>
#include <set>
#include <sstream>

#include "commands.h"

namespace vqflow::cli {

namespace {

// One command of the tree: its path ("db init") and the app behind it.
struct Command {
  std::string path;
  const CLI::App* app;
};

std::vector<const CLI::App*> children(const CLI::App& app) {
  return app.get_subcommands([](const CLI::App*) { return true; });
}

void collect(const CLI::App& app, const std::string& path, std::vector<Command>& out) {
  out.push_back({path, &app});
  for (const CLI::App* child : children(app)) {
    collect(*child, path.empty() ? child->get_name() : path + " " + child->get_name(), out);
  }
}

std::vector<Command> command_tree(const CLI::App& root) {
  std::vector<Command> out;
  collect(root, "", out);
  return out;
}

// The words an option answers to: "--db", "-n", "--count".
std::vector<std::string> option_words(const CLI::Option& option) {
  std::vector<std::string> words;
  for (const std::string& name : option.get_lnames()) words.push_back("--" + name);
  for (const std::string& name : option.get_snames()) words.push_back("-" + name);
  return words;
}

bool takes_value(const CLI::Option& option) { return option.get_expected_max() > 0; }

// Subcommand names and option words that may follow the command.
std::string next_words(const CLI::App& app) {
  std::string words;
  auto add = [&words](const std::string& word) { words += (words.empty() ? "" : " ") + word; };
  for (const CLI::App* child : children(app)) add(child->get_name());
  for (const CLI::Option* option : app.get_options()) {
    for (const std::string& word : option_words(*option)) add(word);
  }
  return words;
}

std::string slashed(const std::string& path) {
  std::string out = path.empty() ? "" : "/" + path;
  for (char& c : out) c = c == ' ' ? '/' : c;
  return out;
}

// Option words that take a value, over the whole tree: a case pattern "--db|--kv|...".
std::string value_options(const std::vector<Command>& tree) {
  std::set<std::string> seen;
  std::string out;
  for (const Command& command : tree) {
    for (const CLI::Option* option : command.app->get_options()) {
      if (!takes_value(*option) || !option->nonpositional()) continue;
      for (const std::string& word : option_words(*option)) {
        if (seen.insert(word).second) out += (out.empty() ? "" : "|") + word;
      }
    }
  }
  return out;
}

// A case pattern of every subcommand path: "/db"|"/db/init"|...
std::string subcommand_paths(const std::vector<Command>& tree) {
  std::string out;
  for (const Command& command : tree) {
    if (!command.path.empty()) out += (out.empty() ? "\"" : "|\"") + slashed(command.path) + "\"";
  }
  return out;
}

// What differs between the shells; the rest of the script is the same walk:
// skip a value option's value, find the subcommand path from the words typed,
// offer what may follow it.
struct ShellForm {
  std::string head;      // up to and with the function's locals
  std::string previous;  // the word before the one completed
  std::string on_value;  // after an option that takes a value
  std::string loop;      // over the words typed before the one completed
  std::string word;      // the word at i
  std::string offer;     // "{}" stands for the words that may follow
  std::string tail;
};

std::string shell_script(const CLI::App& root, const ShellForm& form) {
  const std::vector<Command> tree = command_tree(root);
  std::ostringstream out;
  out << form.head << "  case \"" << form.previous << "\" in\n"
      << "    " << value_options(tree) << ") " << form.on_value << "\n"
      << "  esac\n"
      << "  " << form.loop << "\n"
      << "    word=\"" << form.word << "\"\n"
      << "    case \"$cmdpath/$word\" in\n"
      << "      " << subcommand_paths(tree) << ") cmdpath=\"$cmdpath/$word\" ;;\n"
      << "    esac\n"
      << "  done\n"
      << "  case \"$cmdpath\" in\n";
  for (const Command& command : tree) {
    std::string offer = form.offer;
    offer.replace(offer.find("{}"), 2, next_words(*command.app));
    out << "    \"" << slashed(command.path) << "\") " << offer << " ;;\n";
  }
  out << "  esac\n" << form.tail;
  return out.str();
}

std::string bash_script(const CLI::App& root) {
  return shell_script(
      root, {"# bash completion for vqflow (vqflow completion bash)\n"
             "_vqflow() {\n"
             "  local cur=\"${COMP_WORDS[COMP_CWORD]}\" prev=\"${COMP_WORDS[COMP_CWORD-1]}\"\n"
             "  local cmdpath=\"\" word i words\n",
             "$prev", "COMPREPLY=($(compgen -f -- \"$cur\")); return ;;",
             "for ((i = 1; i < COMP_CWORD; i++)); do", "${COMP_WORDS[i]}", "words=\"{}\"",
             "  COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
             "  if [[ \"$cur\" != -* ]]; then COMPREPLY+=($(compgen -f -- \"$cur\")); fi\n"
             "}\n"
             "complete -F _vqflow vqflow\n"});
}

std::string zsh_script(const CLI::App& root) {
  return shell_script(root, {"#compdef vqflow\n"
                             "# zsh completion for vqflow (vqflow completion zsh)\n"
                             "_vqflow() {\n"
                             "  local cmdpath=\"\" word i\n",
                             "${words[CURRENT-1]}", "_files; return ;;",
                             "for ((i = 2; i < CURRENT; i++)); do", "${words[i]}", "compadd -- {}",
                             "  _files\n"
                             "}\n"
                             "_vqflow \"$@\"\n"});
}

// Text for roff: backslashes escaped, a leading dot or quote defused.
std::string roff(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
  }
  if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out = "\\&" + out;
  return out;
}

void man_options(std::ostream& out, const CLI::App& app) {
  for (const CLI::Option* option : app.get_options()) {
    out << ".TP\n";
    if (option->get_positional() && !option->nonpositional()) {
      out << ".I " << roff(option->get_name(true)) << "\n";
    } else {
      std::string words;
      for (const std::string& word : option_words(*option)) {
        words += (words.empty() ? "" : ", ") + std::string("\\fB") + roff(word) + "\\fR";
      }
      if (takes_value(*option)) words += " \\fIVALUE\\fR";
      out << words << "\n";
    }
    out << roff(option->get_description()) << "\n";
  }
}

std::string man_page(const CLI::App& root) {
  const std::vector<Command> tree = command_tree(root);
  std::ostringstream out;
  out << ".TH VQFLOW 1 \"\" \"vqflow " << VQFLOW_VERSION << "\" \"User Commands\"\n"
      << ".SH NAME\n"
      << "vqflow \\- " << roff(root.get_description().substr(root.get_description().find(':') + 2))
      << "\n"
      << ".SH SYNOPSIS\n"
      << ".B vqflow\n"
      << "[\\fIGLOBAL OPTIONS\\fR] \\fICOMMAND\\fR [\\fIOPTIONS\\fR] [\\fIARGUMENTS\\fR]\n"
      << ".SH GLOBAL OPTIONS\n"
      << "Each falls back on its VQFLOW_* environment variable where one is named.\n";
  man_options(out, root);
  out << ".SH COMMANDS\n";
  for (const Command& command : tree) {
    if (command.path.empty()) continue;
    out << ".SS \"vqflow " << roff(command.path) << "\"\n"
        << roff(command.app->get_description()) << "\n";
    man_options(out, *command.app);
  }
  out << ".SH EXIT STATUS\n"
      << "0 on success; 1 when a command fails or \\fBvalidate\\fR finds errors; 2 and more "
         "for command-line mistakes.\n"
      << ".SH SEE ALSO\n"
      << "The playbook language: docs/playbooks.md (installed under share/doc/vqflow).\n";
  return out.str();
}

}  // namespace

void add_describe_commands(CLI::App& app) {
  auto shell = std::make_shared<std::string>();
  auto* completion = app.add_subcommand("completion", "Print a shell completion script");
  completion->add_option("SHELL", *shell, "bash or zsh")
      ->required()
      ->check(CLI::IsMember({"bash", "zsh"}));
  completion->callback(
      [&app, shell] { std::cout << (*shell == "bash" ? bash_script(app) : zsh_script(app)); });
  auto* man = app.add_subcommand("man", "Print the manual page (roff)");
  man->callback([&app] { std::cout << man_page(app); });
}

}  // namespace vqflow::cli
