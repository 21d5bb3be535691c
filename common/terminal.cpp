#include "common/terminal.hpp"

#include "common/failure.hpp"
#include "common/files.hpp"

#include <cstdio>
#include <cstdlib>

namespace common {

void say(const FreeLine& line) {
    const std::string& text = line.str();
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

void say(std::string_view text) { say(FreeLine().text(text)); }

std::string ask(std::string_view prompt, std::string_view what) {
    say(prompt);
    std::fflush(stdout);
    std::string answer;
    int c = 0;
    bool any = false;
    while ((c = std::getchar()) != EOF) {
        any = true;
        if (c == '\n') break;
        answer.push_back(static_cast<char>(c));
    }
    if (!any) {
        if (std::ferror(stdin)) fail("cannot read standard input: the " + std::string(what) + " was not given");
        fail("end of standard input: the " + std::string(what) + " was not given");
    }
    if (c == '\n' && !answer.empty() && answer.back() == '\r') answer.pop_back();
    return answer;
}

std::string askFileName(std::string_view prompt, std::string_view what, size_t width) {
    const std::string answer = ask(prompt, what);
    return fileNameFrom(std::string_view(answer).substr(0, std::min(answer.size(), width)));
}

}  // namespace common
