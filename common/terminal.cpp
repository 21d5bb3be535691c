#include "common/terminal.hpp"

#include "common/failure.hpp"
#include "common/file_names.hpp"

#include <cstdio>
#include <cstdlib>

namespace common {

void say(const FreeLine& line) {
    const std::string& text = line.str();
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

void say(std::string_view text) { say(FreeLine().text(text)); }

namespace {

std::string answerTo(std::string_view prompt, std::string_view what, bool endIsBlank) {
    say(prompt);
    std::fflush(stdout);
    std::string answer;
    // Blanks are held back as a count until something follows them: trailing
    // blanks are no part of a name, so they do not count against its length,
    // and blanks inside a name stay where they were.
    size_t blanks = 0;
    int c = 0;
    bool any = false;
    while ((c = std::getchar()) != EOF) {
        any = true;
        if (c == '\r') {
            // A carriage return just before the line feed is the line end's.
            const int next = std::getchar();
            if (next == '\n') c = next;
            else if (next != EOF) std::ungetc(next, stdin);
        }
        if (c == '\n') break;
        if (c == ' ') {
            ++blanks;
            continue;
        }
        if (answer.size() + blanks + 1 > kLongestName) {
            answer.append(std::min<size_t>(blanks, 80), ' ');
            fail("the " + std::string(what) + " is longer than " + std::to_string(kLongestName) +
                 " bytes: \"" + answer.substr(0, 80) + "...\"");
        }
        answer.append(blanks, ' ');
        blanks = 0;
        answer.push_back(static_cast<char>(c));
    }
    if (!any) {
        if (std::ferror(stdin)) fail("cannot read standard input: the " + std::string(what) + " was not given");
        if (endIsBlank) return {};
        fail("end of standard input: the " + std::string(what) + " was not given");
    }
    return answer;
}

}  // namespace

std::string ask(std::string_view prompt, std::string_view what) { return answerTo(prompt, what, false); }

std::string askOrBlank(std::string_view prompt, std::string_view what) { return answerTo(prompt, what, true); }

std::string askFileName(std::string_view prompt, std::string_view what) {
    const std::string name = fileNameFrom(ask(prompt, what));
    if (const std::string fault = faultOfFileName(name); !fault.empty()) {
        fail("the " + std::string(what) + " names no file: " + fault);
    }
    return name;
}

}  // namespace common
