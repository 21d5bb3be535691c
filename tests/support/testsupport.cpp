#include "testsupport.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

std::string program(const std::string& name) { return std::string(SUITE_BIN_DIR) + "/" + name; }

RunResult run(const std::string& exe, const std::string& input, const std::filesystem::path& workdir,
              const std::vector<std::string>& args) {
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe");
    signal(SIGPIPE, SIG_IGN);
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(in[0]); close(in[1]); close(out[0]); close(out[1]); close(err[0]); close(err[1]);
        if (chdir(workdir.c_str()) != 0) _exit(127);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(exe.c_str()));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]); close(out[1]); close(err[1]);
    RunResult result;
    size_t written = 0;
    bool inOpen = true;
    if (input.empty()) { close(in[1]); inOpen = false; }
    bool outOpen = true, errOpen = true;
    char buffer[65536];
    while (outOpen || errOpen) {
        pollfd fds[3];
        int n = 0;
        int outIndex = -1, errIndex = -1, inIndex = -1;
        if (outOpen) { fds[n] = {out[0], POLLIN, 0}; outIndex = n++; }
        if (errOpen) { fds[n] = {err[0], POLLIN, 0}; errIndex = n++; }
        if (inOpen) { fds[n] = {in[1], POLLOUT, 0}; inIndex = n++; }
        if (poll(fds, static_cast<nfds_t>(n), -1) < 0) { if (errno == EINTR) continue; break; }
        auto drain = [&](int index, int fd, std::string& sink, bool& open) {
            if (index < 0 || !(fds[index].revents & (POLLIN | POLLHUP | POLLERR))) return;
            const ssize_t got = read(fd, buffer, sizeof buffer);
            if (got <= 0) { open = false; close(fd); } else sink.append(buffer, static_cast<size_t>(got));
        };
        drain(outIndex, out[0], result.out, outOpen);
        drain(errIndex, err[0], result.err, errOpen);
        if (inIndex >= 0 && (fds[inIndex].revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t put = write(in[1], input.data() + written, input.size() - written);
            if (put <= 0) { inOpen = false; close(in[1]); }
            else {
                written += static_cast<size_t>(put);
                if (written == input.size()) { inOpen = false; close(in[1]); }
            }
        }
    }
    if (inOpen) close(in[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

ScratchDir::ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "suite-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::ofstream o(path, std::ios::binary);
    o << content;
    if (!o) throw std::runtime_error("cannot write " + path.string());
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

std::filesystem::path realDataDir() {
    const std::filesystem::path dir = std::filesystem::path(SUITE_SOURCE_DIR) / ".." / "shared" / "realdata";
    std::error_code ignored;
    if (std::filesystem::is_directory(dir, ignored)) return std::filesystem::canonical(dir);
    return {};
}

}  // namespace testsupport
