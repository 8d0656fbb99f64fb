#include "LoopQueue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace tavrin_py {

namespace {

int makeEventFd() {
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
    }
    return fd;
}

}  // namespace

LoopQueue::LoopQueue() : fd_(makeEventFd()) {}

LoopQueue::~LoopQueue() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    if (PyGILState_Check()) {
        // Reports never taken are freed without the GIL, which the library's threads may be waiting for.
        py::gil_scoped_release released;
        values_.clear();
    }
}

int LoopQueue::fileno() {
    std::lock_guard<std::mutex> lock(mutex_);
    return fd_;
}

size_t LoopQueue::size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return values_.size();
}

void LoopQueue::close() {
    std::deque<std::pair<uint64_t, Item>> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd_ < 0) {
            return;
        }
        ::close(fd_);
        fd_ = -1;
        dropped.swap(values_);
    }
    // Reports are freed without the GIL, which the library's threads may be waiting for.
    py::gil_scoped_release released;
    dropped.clear();
}

void LoopQueue::push(uint64_t key, Item item) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ < 0) {
        return;  // the loop closed: `item` goes with this call, on the library's thread
    }
    values_.emplace_back(key, std::move(item));
    if (!due_) {
        due_ = true;
        const uint64_t one = 1;
        // Cannot fail short of a full counter, which one write per empty queue never reaches.
        [[maybe_unused]] const ssize_t written = ::write(fd_, &one, sizeof one);
    }
}

py::list LoopQueue::take() {
    std::deque<std::pair<uint64_t, Item>> taken;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = ::read(fd_, &count, sizeof count);
        taken.swap(values_);
        due_ = !taken.empty();
    }
    py::list result(taken.size());
    size_t i = 0;
    for (auto& [key, item] : taken) {
        py::object argument;
        if (auto* value = std::get_if<std::string>(&item)) {
            argument = py::bytes(*value);
        } else {
            argument = py::cast(std::move(std::get<Tavrin::Peripheral>(item)));
        }
        result[i++] = py::make_tuple(key, std::move(argument));
    }
    return result;
}

void bindLoopQueue(py::module_& m) {
    py::class_<LoopQueue, std::shared_ptr<LoopQueue>>(m, "_LoopQueue")
        .def(py::init<>())
        .def("fileno", &LoopQueue::fileno)
        .def("take", &LoopQueue::take)
        .def("close", &LoopQueue::close)
        .def("__len__", &LoopQueue::size)
        .def("sink", [](const std::shared_ptr<LoopQueue>& queue, uint64_t key) {
            return LoopSink{queue, key};
        });
    py::class_<LoopSink>(m, "_LoopSink");
}

}  // namespace tavrin_py
