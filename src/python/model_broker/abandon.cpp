// Cutting blocking calls short: a worker of an interrupted thread-pool batch may sit in a
// socket read for the whole request time-out, and Python delivers neither signals nor
// asynchronous exceptions to a thread blocked in C. Shutting the connection down ends the
// read at once; the KeyboardInterrupt set on the thread beforehand then fires as soon as
// it runs Python again, before the client could catch the read error and retry.
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "model_broker/operations.hpp"

namespace tovrane::model_broker {

namespace {

/// The calls of the blocking call in progress on this thread, if any.
thread_local BlockingCalls* t_calls = nullptr;

bool identify(int fd, unsigned long long& device, unsigned long long& inode) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode)) return false;
    device = info.st_dev;
    inode = info.st_ino;
    return true;
}

// Every socket.connect of the process passes here; only threads inside a blocking call
// get past the first test.
int on_audit_event(const char* event, PyObject* args, void*) {
    if (t_calls == nullptr || std::strcmp(event, "socket.connect") != 0) return 0;
    PyObject* sock = PyTuple_Check(args) && PyTuple_GET_SIZE(args) > 0 ? PyTuple_GET_ITEM(args, 0) : nullptr;
    const int fd = sock != nullptr ? PyObject_AsFileDescriptor(sock) : -1;
    if (fd < 0) {
        PyErr_Clear();  // a connection we cannot see is only waited for
        return 0;
    }
    t_calls->remember(fd);
    return 0;
}

}  // namespace

void watch_connections() {
    static const bool added = [] {
        // An audit hook of the host may veto ours; calls are then waited for as before.
        if (PySys_AddAuditHook(on_audit_event, nullptr) != 0) {
            PyErr_Clear();
            return false;
        }
        return true;
    }();
    (void)added;
}

BrokerState* state_of(py::handle self) {
    try {
        return &self.cast<BrokerState&>();
    } catch (const py::cast_error&) {
        return nullptr;
    }
}

BlockingCalls::Scope::Scope(BlockingCalls* calls)
    : calls_(calls), outer_(t_calls), thread_(PyThread_get_thread_ident()) {
    if (calls_ == nullptr) return;
    t_calls = calls_;
    const std::lock_guard lock(calls_->mutex_);
    calls_->threads_.push_back(thread_);
}

BlockingCalls::Scope::~Scope() {
    if (calls_ == nullptr) return;
    t_calls = outer_;
    const std::lock_guard lock(calls_->mutex_);
    auto& threads = calls_->threads_;
    if (auto it = std::find(threads.begin(), threads.end(), thread_); it != threads.end()) threads.erase(it);
}

void BlockingCalls::remember(int fd) {
    Connection connection{fd, 0, 0};
    if (!identify(fd, connection.device, connection.inode)) return;
    const std::lock_guard lock(mutex_);
    // Forget the connections closed since: their descriptors are gone or hold another file.
    std::erase_if(connections_, [](const Connection& c) {
        unsigned long long device = 0;
        unsigned long long inode = 0;
        return !identify(c.fd, device, inode) || device != c.device || inode != c.inode;
    });
    connections_.push_back(connection);
}

void BlockingCalls::abandon(const std::vector<unsigned long>& threads) {
    const std::lock_guard lock(mutex_);
    bool any = false;
    for (unsigned long thread : threads) {
        if (thread == 0 || std::find(threads_.begin(), threads_.end(), thread) == threads_.end()) continue;
        PyThreadState_SetAsyncExc(thread, PyExc_KeyboardInterrupt);
        any = true;
    }
    // Only when one of them waits on the service: other users of the broker's client would
    // lose their connections too (the client reconnects for them).
    if (!any) return;
    for (const Connection& c : connections_) {
        unsigned long long device = 0;
        unsigned long long inode = 0;
        if (identify(c.fd, device, inode) && device == c.device && inode == c.inode) ::shutdown(c.fd, SHUT_RDWR);
    }
}

}  // namespace tovrane::model_broker
