#include "variablecatalogue.h"

#include <set>
#include <sstream>

namespace zormon {

std::vector<std::string> splitConfigLine(const std::string& line)
{
    std::istringstream in(line.substr(0, line.find('#')));
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

void forEachConfigLine(const std::string& text,
                       const std::function<void(int lineNumber, const std::vector<std::string>& words)>& visit)
{
    std::istringstream in(text);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        const std::vector<std::string> words = splitConfigLine(line);
        if (!words.empty()) {
            visit(number, words);
        }
    }
}

std::vector<VariableDeclaration> parseVariablesConf(const std::string& confText, std::vector<std::string>* problems)
{
    std::vector<VariableDeclaration> found;
    std::set<std::string> names; // of found: thousands of variables load in n log n
    forEachConfigLine(confText, [&](int number, const std::vector<std::string>& words) {
        const auto problem = [&](const std::string& why) {
            problems->push_back("variables.conf line " + std::to_string(number) + ": " + why);
        };
        const std::string& name = words[0];
        const std::string kind = words.size() > 1 ? words[1] : "";
        if (names.count(name) != 0) {
            problem(name + " is already defined");
            return;
        }
        if (words.size() < 3 || words[2].empty() || words[2][0] != '/') {
            problem("expected NAME program|file|free-space /ABSOLUTE-PATH");
            return;
        }
        if (kind == "program") {
            found.push_back({name, VariableDeclaration::Kind::program, {words.begin() + 2, words.end()},
                             "defined: first line of the output of " + words[2]});
        } else if (kind == "file" && words.size() == 3) {
            found.push_back({name, VariableDeclaration::Kind::file, {words[2]}, "defined: first line of " + words[2]});
        } else if (kind == "free-space" && words.size() == 3) {
            found.push_back({name, VariableDeclaration::Kind::freeSpace, {words[2]},
                             "number, MiB: space free to users on the file system of " + words[2]});
        } else {
            problem("unknown kind \"" + kind + "\" (program, file or free-space)");
            return;
        }
        names.insert(name);
    });
    return found;
}

} // namespace zormon
