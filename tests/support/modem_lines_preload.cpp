// Modem-control lines for pseudo-terminals, loaded with LD_PRELOAD into a
// process under test. A pseudo-terminal refuses TIOCMGET and TIOCMSET; with
// this library each slave device (/dev/pts/N) keeps a line word of its own,
// starting at 0: TIOCMGET reads it, TIOCMSET, TIOCMBIS and TIOCMBIC change it,
// and every change appends one line "/dev/pts/N 0x<word>" to the file named
// by QUILLMAR_MODEM_LINES_LOG. Every other call goes to the real ioctl.
//
// Under AddressSanitizer the library comes before the sanitizer's runtime,
// which the process must be told to accept: ASAN_OPTIONS=verify_asan_link_order=0.

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

namespace {

using IoctlFn = int (*)(int, unsigned long, ...);

// UNIX98 pseudo-terminal slaves: majors 136 to 143.
bool pty_slave_number(int fd, unsigned* number) {
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const unsigned major_number = major(st.st_rdev);
    if (major_number < 136 || major_number > 143) return false;
    *number = (major_number - 136) * 256 + minor(st.st_rdev);
    return true;
}

std::mutex& lines_lock() {
    static std::mutex lock;
    return lock;
}

std::map<unsigned, int>& line_words() {
    static std::map<unsigned, int> words;
    return words;
}

void log_word(unsigned number, int word) {
    const char* path = std::getenv("QUILLMAR_MODEM_LINES_LOG");
    if (path == nullptr) return;
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    char line[64];
    const int n = std::snprintf(line, sizeof line, "/dev/pts/%u 0x%x\n", number, word);
    if (n > 0) {
        [[maybe_unused]] ssize_t written = ::write(fd, line, static_cast<size_t>(n));
    }
    ::close(fd);
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);

    unsigned number = 0;
    const bool lines_request = request == TIOCMGET || request == TIOCMSET ||
                               request == TIOCMBIS || request == TIOCMBIC;
    if (lines_request && pty_slave_number(fd, &number)) {
        int* word = static_cast<int*>(arg);
        if (word == nullptr) {
            errno = EFAULT;
            return -1;
        }
        std::lock_guard<std::mutex> hold(lines_lock());
        int& current = line_words()[number];
        if (request == TIOCMGET) {
            *word = current;
            return 0;
        }
        if (request == TIOCMSET) current = *word;
        if (request == TIOCMBIS) current |= *word;
        if (request == TIOCMBIC) current &= ~*word;
        log_word(number, current);
        return 0;
    }
    static const IoctlFn real = reinterpret_cast<IoctlFn>(::dlsym(RTLD_NEXT, "ioctl"));
    if (real == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    return real(fd, request, arg);
}
