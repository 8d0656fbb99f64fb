#include "LoopQueue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace tavrin_py {

namespace {

// The backlog past which a repeated report of a device takes the place of its report waiting.
constexpr size_t kReportBacklog = 64;

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
        waiting_.clear();
    }
    // Reports are freed without the GIL, which the library's threads may be waiting for.
    py::gil_scoped_release released;
    dropped.clear();
}

void LoopQueue::push(uint64_t key, Item item, bool latest) {
    const void* device = nullptr;
    if (auto* peripheral = std::get_if<Tavrin::Peripheral>(&item); latest && peripheral != nullptr) {
        device = peripheral->underlying();
    }
    // `item` (or the report it replaced) is freed with this call, once the lock is given back.
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ < 0) {
        return;  // the loop closed
    }
    if (device != nullptr) {
        const auto [place, added] = waiting_.try_emplace({key, device}, taken_ + values_.size());
        if (!added && values_.size() >= kReportBacklog) {
            std::swap(values_[static_cast<size_t>(place->second - taken_)].second, item);
            return;  // the loop is already due
        }
        place->second = taken_ + values_.size();
    }
    values_.emplace_back(key, std::move(item));
    if (!due_) {
        due_ = true;
        const uint64_t one = 1;
        // Cannot fail short of a full counter, which one write per empty queue never reaches.
        [[maybe_unused]] const ssize_t written = ::write(fd_, &one, sizeof one);
    }
}

py::list LoopQueue::take(size_t limit) {
    std::deque<std::pair<uint64_t, Item>> taken;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd_ < 0) {
            return py::list();
        }
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = ::read(fd_, &count, sizeof count);
        if (values_.size() <= limit) {
            taken.swap(values_);
        } else {
            const auto end = values_.begin() + static_cast<std::ptrdiff_t>(limit);
            taken.assign(std::make_move_iterator(values_.begin()), std::make_move_iterator(end));
            values_.erase(values_.begin(), end);
        }
        if (!waiting_.empty()) {
            for (size_t i = 0; i < taken.size(); ++i) {
                if (auto* peripheral = std::get_if<Tavrin::Peripheral>(&taken[i].second)) {
                    const auto place = waiting_.find({taken[i].first, peripheral->underlying()});
                    if (place != waiting_.end() && place->second == taken_ + i) {
                        waiting_.erase(place);
                    }
                }
            }
        }
        taken_ += taken.size();
        due_ = !taken.empty();
    }
    py::list result(taken.size());
    size_t i = 0;
    for (auto& [key, item] : taken) {
        py::object argument;
        if (auto* value = std::get_if<std::string>(&item)) {
            argument = py::bytes(*value);
        } else if (auto* peripheral = std::get_if<Tavrin::Peripheral>(&item)) {
            argument = py::cast(std::move(*peripheral));
        } else {
            argument = py::none();
        }
        result[i++] = py::make_tuple(key, std::move(argument));
    }
    return result;
}

void bindLoopQueue(py::module_& m) {
    py::class_<LoopQueue, std::shared_ptr<LoopQueue>>(m, "_LoopQueue")
        .def(py::init<>())
        .def("fileno", &LoopQueue::fileno)
        .def("take", &LoopQueue::take, py::arg("limit"))
        .def("close", &LoopQueue::close)
        .def(
            "end", [](LoopQueue& queue, uint64_t key) { queue.push(key, std::monostate{}); }, py::arg("key"))
        .def("__len__", &LoopQueue::size)
        .def(
            "sink",
            [](const std::shared_ptr<LoopQueue>& queue, uint64_t key, bool latest) {
                return LoopSink{queue, key, latest};
            },
            py::arg("key"), py::arg("latest") = false);
    py::class_<LoopSink>(m, "_LoopSink");
}

}  // namespace tavrin_py
