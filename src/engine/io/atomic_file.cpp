// Atomic file replacement: write beside the target, flush, rename over it.
#include "engine/io/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace tovrane::io {
namespace {

[[noreturn]] void fail(int err, const std::string& what) {
    throw std::system_error(err, std::generic_category(), what);
}

std::string parent_dir(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { if (fd_ >= 0) ::close(fd_); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() { int fd = fd_; fd_ = -1; return fd; }
private:
    int fd_;
};

}  // namespace

void write_file_atomic(const std::string& path, std::string_view contents) {
    std::string tmp = path + ".XXXXXX";
    Fd fd(::mkstemp(tmp.data()));
    if (fd.get() < 0) fail(errno, path);

    auto discard = [&](int err) {
        ::unlink(tmp.c_str());
        fail(err, path);
    };

    // mkstemp creates 0600; give the file the permissions a plain open would.
    mode_t mask = ::umask(0);
    ::umask(mask);
    struct stat st {};
    mode_t mode = (::stat(path.c_str(), &st) == 0) ? (st.st_mode & 07777) : (0666 & ~mask);
    if (::fchmod(fd.get(), mode) != 0) discard(errno);

    const char* p = contents.data();
    std::size_t left = contents.size();
    while (left > 0) {
        ssize_t n = ::write(fd.get(), p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            discard(errno);
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0) discard(errno);
    if (::close(fd.release()) != 0) discard(errno);
    if (::rename(tmp.c_str(), path.c_str()) != 0) discard(errno);

    // Make the rename itself durable; a failure here loses nothing already written.
    Fd dir(::open(parent_dir(path).c_str(), O_RDONLY | O_DIRECTORY));
    if (dir.get() >= 0) ::fsync(dir.get());
}

}  // namespace tovrane::io
