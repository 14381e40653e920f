// brelk-driverhost: the framework's driver host process. brelk-sim update hands its runs to
// this program, which lives in a folder without modules (see HostRunner.h).
//
// A driver host has no console: what the driver prints to standard output lands in
// <machine>/driverhost-console.log, and the host's own story goes to the caller's terminal.
#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <ostream>
#include <streambuf>

#include "HostRunner.h"

namespace {

#ifdef _WIN32
// The C runtime's descriptors translate line ends unless told otherwise; the story and
// the console log are read on Linux too.
constexpr int kBinary = O_BINARY;
void KeepBytes(int fd) {
    _setmode(fd, O_BINARY);
}
#else
constexpr int kBinary = 0;
void KeepBytes(int) {}
#endif

class FdBuf : public std::streambuf {
public:
    explicit FdBuf(int fd) : m_Fd(fd) {}

protected:
    int_type overflow(int_type c) override {
        if (c != traits_type::eof()) {
            const char ch = static_cast<char>(c);
            return write(m_Fd, &ch, 1) == 1 ? c : traits_type::eof();
        }
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        std::streamsize done = 0;
        while (done < n) {
            const ssize_t w = write(m_Fd, s + done, static_cast<size_t>(n - done));
            if (w <= 0) {
                break;
            }
            done += w;
        }
        return done;
    }

private:
    int m_Fd;
};

}  // namespace

int main(int argc, char** argv) {
    driverhost::HostOptions options;
    std::string error;
    if (!driverhost::ParseHostArgs(std::vector<std::string>(argv + 1, argv + argc), &options,
                                   &error)) {
        std::cerr << "brelk-driverhost: " << error << "\n" << driverhost::HostOptionsHelp();
        return 2;
    }
    const int storyFd = dup(1);
    std::error_code ec;
    std::filesystem::create_directories(options.MachineFolder, ec);
    const std::string console = options.MachineFolder + "/driverhost-console.log";
    const int consoleFd = open(console.c_str(), O_WRONLY | O_CREAT | O_TRUNC | kBinary, 0644);
    if (storyFd >= 0 && consoleFd >= 0) {
        std::fflush(stdout);
        dup2(consoleFd, 1);
        close(consoleFd);
    }
    KeepBytes(1);
    KeepBytes(storyFd >= 0 ? storyFd : 1);
    FdBuf buffer(storyFd >= 0 ? storyFd : 1);
    std::ostream story(&buffer);
    options.Terminal = isatty(storyFd >= 0 ? storyFd : 1) == 1;
    return driverhost::RunHost(options, story);
}
