// The dialogues as README.md and each program's help give them, held to the
// programs. The answers of README's "What reads and writes what" table run
// the example through every program in the table's order; each program's
// prompts are read off the programs themselves (answered one line short, a
// program stops at the prompt it waits on). README's dialogue of each
// program and its --help must list those prompts in the order asked.
#include <gtest/gtest.h>

#include <filesystem>
#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport.hpp"

namespace {

namespace fs = std::filesystem;

const fs::path kSource = SUITE_SOURCE_DIR;

struct Row {
    std::string program;
    std::vector<std::string> answers;
};

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The answers column: `name`, "blank (...)", "N blank lines", and "the same,
// with `name`" for the row before with its last answer changed.
std::vector<std::string> answersOf(const std::string& cell, const std::vector<Row>& before) {
    std::vector<std::string> answers;
    const std::string same = "the same, with `";
    if (cell.rfind(same, 0) == 0) {
        answers = before.back().answers;
        answers.back() = cell.substr(same.size(), cell.find('`', same.size()) - same.size());
        return answers;
    }
    size_t start = 0;
    while (start < cell.size()) {
        size_t end = cell.find(", ", start);
        if (end == std::string::npos) end = cell.size();
        const std::string item = cell.substr(start, end - start);
        start = end + 2;
        if (item.front() == '`') {
            answers.push_back(item.substr(1, item.find('`', 1) - 1));
        } else if (item.rfind("blank", 0) == 0) {
            answers.emplace_back();
        } else if (const size_t n = item.find(" blank lines"); n != std::string::npos) {
            answers.insert(answers.end(), std::stoul(item.substr(0, n)), "");
        } else {
            ADD_FAILURE() << "an answer that is not a name nor blank: " << item;
        }
    }
    return answers;
}

// The rows of the table whose first column names a program.
std::vector<Row> readmeTable(const std::vector<std::string>& readme) {
    std::vector<Row> rows;
    size_t i = 0;
    while (i < readme.size() && readme[i].rfind("| Program | Answers it is given", 0) != 0) ++i;
    for (i += 2; i < readme.size() && readme[i].rfind("|", 0) == 0; ++i) {
        const std::string& line = readme[i];
        const size_t second = line.find('|', 1), third = line.find('|', second + 1);
        const std::string program = trimmed(line.substr(1, second - 1));
        if (program.front() != '`') continue;  // the steps outside the suite
        std::vector<std::string> answers = answersOf(trimmed(line.substr(second + 1, third - second - 1)), rows);
        rows.push_back({program.substr(1, program.size() - 2), answers});
    }
    return rows;
}

// The lines of the first ``` block in the README section whose heading names
// the program.
std::vector<std::string> readmeDialogue(const std::vector<std::string>& readme, const std::string& program) {
    size_t i = 0;
    for (; i < readme.size(); ++i) {
        const std::string& line = readme[i];
        if (line.rfind("## ", 0) != 0) continue;
        const size_t at = line.find(program.substr(0, program.find('-')));
        if (at == 3) break;
    }
    while (i < readme.size() && readme[i].rfind("```", 0) != 0) ++i;
    std::vector<std::string> block;
    for (++i; i < readme.size() && readme[i].rfind("```", 0) != 0; ++i) block.push_back(readme[i]);
    return block;
}

// The prompts, in order, that the lines give: a line that is a prompt, after
// its leading blanks, alone or followed by blanks (and a comment).
std::vector<std::string> promptsIn(const std::vector<std::string>& lines, const std::vector<std::string>& prompts) {
    std::vector<std::string> found;
    for (const std::string& line : lines) {
        const size_t first = line.find_first_not_of(' ');
        if (first == std::string::npos || first > 2) continue;
        const std::string text = line.substr(first);
        std::string longest;
        for (const std::string& prompt : prompts) {
            if (text.rfind(prompt, 0) == 0 && (text.size() == prompt.size() || text[prompt.size()] == ' ') &&
                prompt.size() > longest.size()) {
                longest = prompt;
            }
        }
        if (!longest.empty()) found.push_back(longest);
    }
    return found;
}

// finjoin asks the same three questions for each of the four stages; its
// help and README give those of the first stage (and README the file of the
// second) and say that the others follow.
const std::map<std::string, std::pair<size_t, size_t>> kMayBeLeftOut = {{"finjoin", {3, 12}}};

// ovofit's last two questions take the end of the input as a blank answer
// (a driver that gives the first five runs as before): answered short there,
// it runs to the end instead of stopping, and the question it was asked is
// the line after the one before.
// ovoreport's last question (ovostats's table) likewise.
const std::map<std::string, size_t> kEndIsBlankFrom = {{"ovofit", 5}, {"ovoreport", 13}};

// `listed` in the order of `asked`, leaving out only what the program's
// documentation may leave out.
void expectListedInOrder(const std::string& where, const std::vector<std::string>& listed,
                         const std::vector<std::string>& asked, const std::string& program) {
    SCOPED_TRACE(where);
    const auto range = kMayBeLeftOut.count(program) ? kMayBeLeftOut.at(program) : std::pair<size_t, size_t>{0, 0};
    size_t next = 0;
    for (const std::string& prompt : listed) {
        size_t j = next;
        while (j < asked.size() && asked[j] != prompt) ++j;
        ASSERT_LT(j, asked.size()) << "\"" << prompt << "\" is listed out of order";
        for (size_t left = next; left < j; ++left) {
            EXPECT_TRUE(left >= range.first && left < range.second) << "\"" << asked[left] << "\" is not listed";
        }
        next = j + 1;
    }
    for (size_t left = next; left < asked.size(); ++left) {
        EXPECT_TRUE(left >= range.first && left < range.second) << "\"" << asked[left] << "\" is not listed";
    }
}

// The line after the first of `lines` that is `prompt`, trimmed (empty when
// there is none).
std::string lineAfter(const std::vector<std::string>& lines, const std::string& prompt) {
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        if (trimmed(lines[i]) == prompt) return trimmed(lines[i + 1]);
    }
    return "";
}

std::string joined(const std::vector<std::string>& answers, size_t n) {
    std::string text;
    for (size_t i = 0; i < n; ++i) text += answers[i] + "\n";
    return text;
}

// The numbers of a text: every word that reads wholly as a number, the
// minus sign U+2212 read as '-'.
std::vector<double> numbersIn(std::string text) {
    for (size_t at = text.find("\u2212"); at != std::string::npos; at = text.find("\u2212", at)) text.replace(at, 3, "-");
    for (char& c : text) {
        if (c == ',' || c == '/' || c == '`' || c == ';' || c == ':' || c == '(' || c == ')') c = ' ';
    }
    std::vector<double> found;
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        char* end = nullptr;
        const double v = std::strtod(word.c_str(), &end);
        if (end != word.c_str() && *end == '\0') found.push_back(v);
    }
    return found;
}

// README's table "The example in numbers" against the files of a fresh run
// in `run`: each quoted text starts a line of the file, and the value's numbers
// stand in the file in that order. The prose that repeats them (ovofit's
// limits, the B of honer's CAD script and of bapply's dialogue) agrees.
void expectExampleNumbers(const std::vector<std::string>& readme, const fs::path& run) {
    size_t i = 0;
    while (i < readme.size() && readme[i].rfind("| quantity | value | file | its line there |", 0) != 0) ++i;
    ASSERT_LT(i, readme.size()) << "README has no table of the example's numbers";
    std::map<std::string, std::vector<double>> values;
    int rows = 0;
    for (i += 2; i < readme.size() && readme[i].rfind("|", 0) == 0; ++i) {
        std::vector<std::string> cells;
        for (size_t at = 1, next; (next = readme[i].find('|', at)) != std::string::npos; at = next + 1) {
            cells.push_back(trimmed(readme[i].substr(at, next - at)));
        }
        ASSERT_EQ(cells.size(), 4u) << readme[i];
        SCOPED_TRACE(cells[0]);
        ++rows;
        const std::string file = cells[2].substr(1, cells[2].size() - 2);
        const std::vector<std::string> lines = testsupport::lines(testsupport::readFile(run / file));
        for (size_t at = cells[3].find('`'); at != std::string::npos; at = cells[3].find('`', cells[3].find('`', at + 1) + 1)) {
            const std::string quoted = cells[3].substr(at + 1, cells[3].find('`', at + 1) - at - 1);
            EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(quoted, 0) == 0; }))
                << "no line of " << file << " starts \"" << quoted << "\"";
        }
        const std::vector<double> want = numbersIn(cells[1]);
        const std::vector<double> have = numbersIn(testsupport::readFile(run / file));
        size_t next = 0;
        for (const double v : want) {
            while (next < have.size() && have[next] != v) ++next;
            EXPECT_LT(next, have.size()) << v << " is not in " << file << " (in the order of the table)";
            ++next;
        }
        values[cells[0]] = want;
    }
    EXPECT_EQ(rows, 7);
    std::string prose;
    for (const std::string& line : readme) prose += line + " ";
    const auto after = [&prose](const std::string& start, const std::string& end) {
        const size_t at = prose.find(start);
        if (at == std::string::npos) return std::vector<double>{};
        return numbersIn(prose.substr(at + start.size(), prose.find(end, at + start.size()) - at - start.size()));
    };
    std::vector<double> limits = after("`ovofit` gives fitted limits of", "(shell edges");
    std::erase_if(limits, [](double v) { return v == 0; });
    EXPECT_EQ(limits, values["`ovofit`'s fitted I/σ limits along a*, b*, c* (Å)"]);
    EXPECT_EQ(after("for the example's B =", "Å"), values["B applied, taken by `honer` (Å²)"]);
    EXPECT_EQ(after(" scale 1.00 and B", "for FP_ISO"), values["B applied, taken by `honer` (Å²)"]);
}

TEST(Dialogue, ReadmeAndHelpListThePromptsInTheOrderTheProgramsAsk) {
    const std::vector<std::string> readme = testsupport::lines(testsupport::readFile(kSource / "README.md"));
    const std::vector<Row> rows = readmeTable(readme);
    ASSERT_EQ(rows.size(), 12u);

    // The example's inputs; the fin file is finjoin's to make.
    testsupport::ScratchDir run;
    for (const auto& entry : fs::directory_iterator(kSource / "examples")) {
        const std::string name = entry.path().filename().string();
        if (name != "stages.fin" && name != "generate.py") fs::copy_file(entry.path(), run / name);
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(row.program);
        const std::string exe = testsupport::program(row.program);
        std::vector<std::string> asked;
        for (size_t k = 0; k < row.answers.size(); ++k) {
            testsupport::ScratchDir shortRun;  // beside what the programs before this one wrote
            for (const auto& entry : fs::directory_iterator(run.path())) {
                fs::create_symlink(entry.path(), shortRun / entry.path().filename().string());
            }
            const auto result = testsupport::run(exe, joined(row.answers, k), shortRun.path());
            const std::vector<std::string> out = testsupport::lines(result.out);
            ASSERT_FALSE(out.empty());
            if (kEndIsBlankFrom.count(row.program) && k >= kEndIsBlankFrom.at(row.program)) {
                ASSERT_EQ(result.status, 0) << "answered " << k << " of " << row.answers.size() << ": " << result.err;
                ASSERT_FALSE(asked.empty());
                const std::string next = lineAfter(out, asked.back());
                ASSERT_FALSE(next.empty()) << "\"" << asked.back() << "\" is not followed by a question";
                asked.push_back(next);
                continue;
            }
            ASSERT_EQ(result.status, 2) << "answered " << k << " of " << row.answers.size() << ": " << result.err;
            ASSERT_NE(result.err.find("end of standard input"), std::string::npos) << result.err;
            asked.push_back(trimmed(out.back()));
        }
        const auto whole = testsupport::run(exe, joined(row.answers, row.answers.size()), run.path());
        ASSERT_EQ(whole.status, 0) << whole.err;
        if (row.program == "ovofit") testsupport::writeFile(run / "ovofit.terminal", whole.out);

        const auto help = testsupport::run(exe, "", run.path(), {"--help"});
        if (kEndIsBlankFrom.count(row.program) && !asked.empty()) {
            // The table answers those questions too: after its last answer
            // the program asks nothing that its help lists.
            const std::string next = lineAfter(testsupport::lines(whole.out), asked.back());
            EXPECT_TRUE(next.empty() || promptsIn(testsupport::lines(help.out), {next}).empty())
                << "\"" << next << "\" is asked but README's table does not answer it";
        }
        expectListedInOrder("--help", promptsIn(testsupport::lines(help.out), asked), asked, row.program);
        expectListedInOrder("README.md", promptsIn(readmeDialogue(readme, row.program), asked), asked, row.program);
    }
    // The example's numbers as README gives them, against this fresh run.
    expectExampleNumbers(readme, run.path());
}

}  // namespace
