// The library's handles as Python classes with the C++ names. Every call that reaches the library runs
// with the GIL released; payloads are bytes both ways; callbacks run Python through runPython().
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/functional.h>
#include <pybind11/operators.h>
#include <pybind11/stl.h>

#include <tavrin/Tavrin.h>

#include "Bindings.h"
#include "Conversions.h"
#include "Gil.h"
#include "Interrupt.h"
#include "LoopQueue.h"
#include "Pairing.h"

namespace tavrin_py {

namespace {

using Tavrin::Adapter;
using Tavrin::Characteristic;
using Tavrin::Descriptor;
using Tavrin::Peripheral;
using Tavrin::ScanOptions;
using Tavrin::Service;
using Tavrin::TimeLimits;

using AdapterHolder = std::unique_ptr<Adapter, ReleasingDelete<Adapter>>;
using PeripheralHolder = std::unique_ptr<Peripheral, ReleasingDelete<Peripheral>>;

const auto kNoGil = py::call_guard<py::gil_scoped_release>();

/// A payload from Python: any bytes-like object (bytes, bytearray, memoryview), never text. The bytes are taken
/// in C order whatever the buffer's shape and strides (a sliced or reversed view, several dimensions, items
/// wider than a byte), so a view is sent as it reads, not as the memory under it lies.
std::string payload(const py::object& data) {
    if (py::isinstance<py::str>(data)) {
        throw py::type_error("payloads are bytes-like objects, not str: encode the text first");
    }
    Py_buffer view;
    if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_FULL_RO) != 0) {
        throw py::error_already_set();
    }
    struct Release {
        Py_buffer* view;
        ~Release() { PyBuffer_Release(view); }
    } release{&view};
    std::string bytes(static_cast<size_t>(view.len), '\0');
    if (PyBuffer_IsContiguous(&view, 'C')) {
        std::copy_n(static_cast<const char*>(view.buf), bytes.size(), bytes.begin());
    } else if (PyBuffer_ToContiguous(bytes.data(), &view, view.len, 'C') != 0) {
        throw py::error_already_set();
    }
    return bytes;
}

py::dict bytesMap(const std::map<uint16_t, std::string>& values) {
    py::dict result;
    for (const auto& [key, value] : values) {
        result[py::int_(key)] = py::bytes(value);
    }
    return result;
}

// The callables handed to the library, checked here: one that is not callable would only fail later, on the
// library's queue. None clears the callback, as an empty std::function does.
std::function<void()> plainCallback(const py::object& fn, const char* what) {
    requireCallable(fn, what, true);
    if (fn.is_none()) {
        return nullptr;
    }
    auto ref = std::make_shared<PyRef>(fn);
    return [ref] { runPython([&ref] { callNone(ref->get()); }); };
}

// A scan report callback's state. Making and freeing a Python handle costs more than all the rest of a
// report's delivery, so the handle of one report is kept for the next when the callback kept no reference
// to it, and given the next peripheral.
class ReportHandles {
  public:
    explicit ReportHandles(const py::object& fn) : fn_(fn) {}
    ReportHandles(const ReportHandles&) = delete;
    ReportHandles& operator=(const ReportHandles&) = delete;
    ~ReportHandles() {
        if (spare_ != nullptr && Gate::enter()) {
            {
                Acquire gil;
                Py_DECREF(spare_);
            }
            Gate::leave();
        }
    }

    /// Under the GIL: calls the callback with a handle of `peripheral`. A kept handle holds no peripheral:
    /// what it held is left in `released`, to be freed by the caller once the GIL is given back.
    void deliver(Peripheral& peripheral, Peripheral& released) {
        // A plain reference, dropped only once the callback has returned (see ThreadEnd).
        PyObject* handle = nullptr;
        Peripheral* value = nullptr;
        if (spare_ != nullptr) {
            handle = std::exchange(spare_, nullptr);
            value = std::exchange(spareValue_, nullptr);
            std::swap(*value, peripheral);
        } else {
            py::object made = py::cast(std::move(peripheral));
            value = &made.cast<Peripheral&>();
            handle = made.release().ptr();
        }
        // The callback may give the GIL up (a sleep, a call of the library), so another report may run
        // meanwhile and keep its own handle first.
        PyObject* result = PyObject_CallOneArg(fn_.get().ptr(), handle);
        if (result == nullptr) {
            py::error_already_set raised;
            Py_DECREF(handle);
            throw raised;
        }
        Py_DECREF(result);
        // Kept by nobody, not even weakly: a weak reference would otherwise see the next report's peripheral.
        if (spare_ == nullptr && Py_REFCNT(handle) == 1 &&
            reinterpret_cast<py::detail::instance*>(handle)->weakrefs == nullptr) {
            std::swap(*value, released);
            spare_ = handle;
            spareValue_ = value;
        } else {
            Py_DECREF(handle);
        }
    }

  private:
    PyRef fn_;
    PyObject* spare_ = nullptr;         // guarded by the GIL: the kept handle, or null
    Peripheral* spareValue_ = nullptr;  // guarded by the GIL: the peripheral the kept handle holds
};

std::function<void(Peripheral)> peripheralCallback(const py::object& fn, const char* what) {
    if (fn.is_none()) {
        return nullptr;
    }
    if (py::isinstance<LoopSink>(fn)) {
        // Reports for an event loop: queued without the GIL (see LoopQueue.h).
        LoopSink sink = fn.cast<LoopSink>();
        return [sink](Peripheral peripheral) { sink.queue->push(sink.key, std::move(peripheral), sink.latest); };
    }
    requireCallable(fn, what, true);
    auto reports = std::make_shared<ReportHandles>(fn);
    return [reports](Peripheral peripheral) {
        Peripheral released;  // freed without the GIL on return, as `peripheral` is
        runPython([&reports, &peripheral, &released] { reports->deliver(peripheral, released); });
    };
}

std::function<void(std::string)> valueCallback(const py::object& fn) {
    if (fn.is_none()) {
        throw py::type_error("a value callback is required");
    }
    if (py::isinstance<LoopSink>(fn)) {
        // Values for an event loop: queued without the GIL (see LoopQueue.h).
        LoopSink sink = fn.cast<LoopSink>();
        return [sink](std::string value) { sink.queue->push(sink.key, std::move(value)); };
    }
    requireCallable(fn, "the value callback", false);
    auto ref = std::make_shared<PyRef>(fn);
    return [ref](std::string value) {
        runPython([&ref, &value] {
            callOne(ref->get(), PyBytes_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
        });
    };
}

// Setters: the callable is wrapped with the GIL held, then handed over with it released, since replacing a
// callback waits for the old one's running calls, which may be waiting for the GIL.
template <typename Handle, typename Wrapped>
void setCallback(Handle& handle, void (Handle::*setter)(Wrapped), Wrapped wrapped) {
    py::gil_scoped_release release;
    (handle.*setter)(std::move(wrapped));
}

void bindAttributes(py::module_& m) {
    py::class_<Descriptor>(m, "Descriptor").def("uuid", &Descriptor::uuid);
    py::class_<Characteristic>(m, "Characteristic")
        .def("uuid", &Characteristic::uuid)
        .def("descriptors", &Characteristic::descriptors)
        .def("can_read", &Characteristic::can_read)
        .def("can_write_request", &Characteristic::can_write_request)
        .def("can_write_command", &Characteristic::can_write_command)
        .def("can_notify", &Characteristic::can_notify)
        .def("can_indicate", &Characteristic::can_indicate)
        .def("capabilities", &Characteristic::capabilities);
    py::class_<Service>(m, "Service")
        .def("uuid", &Service::uuid)
        .def("data", [](Service& s) { return py::bytes(s.data()); })
        .def("characteristics", &Service::characteristics);
}

// A time limit for Python: a datetime.timedelta, timedelta.max for any limit longer than that.
py::object limitToPython(std::chrono::milliseconds limit) {
    const py::object timedelta = py::module_::import("datetime").attr("timedelta");
    const int64_t longest = 999999999LL * 86400000 + 86399999;  // timedelta.max, in whole milliseconds
    if (limit.count() > longest) {
        return timedelta.attr("max");
    }
    if (limit.count() < -longest) {
        return timedelta.attr("min");
    }
    return timedelta(py::arg("milliseconds") = limit.count());
}

void bindSettings(py::module_& m) {
    using std::chrono::milliseconds;
    using Field = milliseconds TimeLimits::*;
    static const std::pair<const char*, Field> kLimits[] = {
        {"connection", &TimeLimits::connection},
        {"service_discovery", &TimeLimits::service_discovery},
        {"characteristic_discovery", &TimeLimits::characteristic_discovery},
        {"descriptor_discovery", &TimeLimits::descriptor_discovery},
        {"request", &TimeLimits::request},
        {"disconnection", &TimeLimits::disconnection},
        {"pairing", &TimeLimits::pairing},
    };
    // Durations are seconds (int or float) or datetime.timedelta (see durationFromPython); a limit not given keeps its
    // default.
    py::class_<TimeLimits> limits(m, "TimeLimits");
    limits.def(py::init([](const py::object& connection, const py::object& service_discovery,
                           const py::object& characteristic_discovery, const py::object& descriptor_discovery,
                           const py::object& request, const py::object& disconnection, const py::object& pairing) {
                   const py::object* given[] = {&connection,
                                                &service_discovery,
                                                &characteristic_discovery,
                                                &descriptor_discovery,
                                                &request,
                                                &disconnection,
                                                &pairing};  // in the order of kLimits
                   TimeLimits made;
                   for (size_t i = 0; i < std::size(kLimits); ++i) {
                       if (!given[i]->is_none()) {
                           made.*kLimits[i].second =
                               durationFromPython(*given[i], std::string("TimeLimits.") + kLimits[i].first);
                       }
                   }
                   return made;
               }),
               py::arg("connection") = py::none(), py::arg("service_discovery") = py::none(),
               py::arg("characteristic_discovery") = py::none(), py::arg("descriptor_discovery") = py::none(),
               py::arg("request") = py::none(), py::arg("disconnection") = py::none(), py::arg("pairing") = py::none());
    for (const auto& [name, field] : kLimits) {
        limits.def_property(
            name, [field = field](const TimeLimits& l) { return limitToPython(l.*field); },
            [name = name, field = field](TimeLimits& l, const py::handle& value) {
                l.*field = durationFromPython(value, std::string("TimeLimits.") + name);
            });
    }
    limits.def("validate", &TimeLimits::validate).def(py::self == py::self).def(py::self != py::self);
    py::class_<ScanOptions>(m, "ScanOptions")
        .def(py::init([](std::vector<std::string> service_uuids, std::optional<int16_t> rssi_floor,
                         bool first_report_only, bool passive) {
                 return ScanOptions{std::move(service_uuids), rssi_floor, first_report_only, passive};
             }),
             py::arg("service_uuids") = std::vector<std::string>{}, py::arg("rssi_floor") = py::none(),
             py::arg("first_report_only") = false, py::arg("passive") = false)
        // A copy each way; the package makes `service_uuids` of it a list whose changes reach the options.
        .def_readwrite("_service_uuids", &ScanOptions::service_uuids)
        .def_readwrite("rssi_floor", &ScanOptions::rssi_floor)
        .def_readwrite("first_report_only", &ScanOptions::first_report_only)
        .def_readwrite("passive", &ScanOptions::passive)
        .def("validate", &ScanOptions::validate);
}

// notify() or indicate(), interruptible: a subscription made all the same after the interruption is ended.
using Subscribe =
    std::function<void(Peripheral&, const std::string&, const std::string&, std::function<void(std::string)>)>;
void subscribe(Subscribe how, Peripheral& p, const std::string& service, const std::string& characteristic,
               const py::object& fn) {
    Peripheral h = p;
    interruptible([how = std::move(how), h, service, characteristic,
                   callback = valueCallback(fn)]() mutable { how(h, service, characteristic, std::move(callback)); },
                  Cancel{nullptr, [h, service, characteristic]() mutable { h.unsubscribe(service, characteristic); }});
}

void bindPeripheral(py::module_& m) {
    py::enum_<Tavrin::AddressType>(m, "AddressType")
        .value("PUBLIC", Tavrin::AddressType::Public)
        .value("RANDOM", Tavrin::AddressType::Random)
        .value("UNSPECIFIED", Tavrin::AddressType::Unspecified);
    py::enum_<Tavrin::Delivery>(m, "Delivery")
        .value("SHARED", Tavrin::Delivery::Shared)
        .value("EXCLUSIVE", Tavrin::Delivery::Exclusive);

    py::class_<Peripheral, PeripheralHolder>(m, "Peripheral")
        .def(py::init<>())
        .def("initialized", &Peripheral::initialized)
        .def("identifier", &Peripheral::identifier, kNoGil)
        .def("address", &Peripheral::address, kNoGil)
        .def("address_type", &Peripheral::address_type, kNoGil)
        .def("rssi", &Peripheral::rssi, kNoGil)
        .def("tx_power", &Peripheral::tx_power, kNoGil)
        .def("mtu", &Peripheral::mtu, kNoGil)
        .def("time_limits", &Peripheral::time_limits, kNoGil)
        .def("set_time_limits", &Peripheral::set_time_limits, py::arg("limits"), kNoGil)
        .def("connect",
             [](Peripheral& p) {
                 // Interrupted, the connect is withdrawn, and one that succeeds all the same is disconnected.
                 Peripheral h = p;
                 const auto disconnect = [h]() mutable { h.disconnect(); };
                 interruptible([h]() mutable { h.connect(); }, Cancel{disconnect, disconnect});
             })
        .def("disconnect", [](Peripheral& p) { interruptible([h = Peripheral(p)]() mutable { h.disconnect(); }); })
        .def("is_connected", &Peripheral::is_connected, kNoGil)
        .def("is_connectable", &Peripheral::is_connectable, kNoGil)
        .def("pair",
             [](Peripheral& p) {
                 Peripheral h = p;
                 interruptible([h]() mutable { h.pair(); }, Cancel{[h]() mutable { h.cancel_pairing(); }, nullptr});
             })
        .def("cancel_pairing",
             [](Peripheral& p) {
                 py::gil_scoped_release release;
                 p.cancel_pairing();
             })
        .def("is_paired", &Peripheral::is_paired, kNoGil)
        .def("unpair", [](Peripheral& p) { interruptible([h = Peripheral(p)]() mutable { h.unpair(); }); })
        .def("services", &Peripheral::services, kNoGil)
        .def("manufacturer_data",
             [](Peripheral& p) {
                 std::map<uint16_t, std::string> data;
                 {
                     py::gil_scoped_release release;
                     data = p.manufacturer_data();
                 }
                 return bytesMap(data);
             })
        .def(
            "read",
            [](Peripheral& p, const std::string& service, const std::string& characteristic) {
                return py::bytes(interruptible([h = Peripheral(p), service, characteristic]() mutable {
                    return h.read(service, characteristic);
                }));
            },
            py::arg("service"), py::arg("characteristic"))
        .def(
            "read",
            [](Peripheral& p, const std::string& service, const std::string& characteristic,
               const std::string& descriptor) {
                return py::bytes(interruptible([h = Peripheral(p), service, characteristic, descriptor]() mutable {
                    return h.read(service, characteristic, descriptor);
                }));
            },
            py::arg("service"), py::arg("characteristic"), py::arg("descriptor"))
        .def(
            "write_request",
            [](Peripheral& p, const std::string& service, const std::string& characteristic, const py::object& data) {
                interruptible([h = Peripheral(p), service, characteristic, bytes = payload(data)]() mutable {
                    h.write_request(service, characteristic, bytes);
                });
            },
            py::arg("service"), py::arg("characteristic"), py::arg("data"))
        .def(
            "write_command",
            [](Peripheral& p, const std::string& service, const std::string& characteristic, const py::object& data) {
                interruptible([h = Peripheral(p), service, characteristic, bytes = payload(data)]() mutable {
                    h.write_command(service, characteristic, bytes);
                });
            },
            py::arg("service"), py::arg("characteristic"), py::arg("data"))
        .def(
            "write",
            [](Peripheral& p, const std::string& service, const std::string& characteristic,
               const std::string& descriptor, const py::object& data) {
                interruptible(
                    [h = Peripheral(p), service, characteristic, descriptor, bytes = payload(data)]() mutable {
                        h.write(service, characteristic, descriptor, bytes);
                    });
            },
            py::arg("service"), py::arg("characteristic"), py::arg("descriptor"), py::arg("data"))
        .def(
            "notify",
            [](Peripheral& p, const std::string& service, const std::string& characteristic, const py::object& fn,
               Tavrin::Delivery delivery) {
                subscribe(
                    [delivery](Peripheral& h, const std::string& s, const std::string& c,
                               std::function<void(std::string)> callback) {
                        h.notify(s, c, std::move(callback), delivery);
                    },
                    p, service, characteristic, fn);
            },
            py::arg("service"), py::arg("characteristic"), py::arg("callback"), py::kw_only(),
            py::arg("delivery") = Tavrin::Delivery::Shared)
        .def(
            "indicate",
            [](Peripheral& p, const std::string& service, const std::string& characteristic, const py::object& fn) {
                subscribe([](Peripheral& h, const std::string& s, const std::string& c,
                             std::function<void(std::string)> callback) { h.indicate(s, c, std::move(callback)); },
                          p, service, characteristic, fn);
            },
            py::arg("service"), py::arg("characteristic"), py::arg("callback"))
        .def(
            "unsubscribe",
            [](Peripheral& p, const std::string& service, const std::string& characteristic) {
                interruptible(
                    [h = Peripheral(p), service, characteristic]() mutable { h.unsubscribe(service, characteristic); });
            },
            py::arg("service"), py::arg("characteristic"))
        .def(
            "set_callback_on_connected",
            [](Peripheral& p, const py::object& fn) {
                setCallback(p, &Peripheral::set_callback_on_connected,
                            plainCallback(fn, "set_callback_on_connected's callback"));
            },
            py::arg("callback").none(true))
        .def(
            "set_callback_on_disconnected",
            [](Peripheral& p, const py::object& fn) {
                setCallback(p, &Peripheral::set_callback_on_disconnected,
                            plainCallback(fn, "set_callback_on_disconnected's callback"));
            },
            py::arg("callback").none(true))
        .def("__repr__", [](Peripheral& p) {
            std::string text;
            {
                py::gil_scoped_release release;
                text = p.initialized() ? p.identifier() + " [" + p.address() + "]" : "unbound";
            }
            return "<tavrin.Peripheral " + text + ">";
        });
}

// A scan started; interrupted, one that starts all the same is stopped.
void scanStart(Adapter& a, const std::optional<ScanOptions>& options) {
    Adapter h = a;
    interruptible([h, options]() mutable { options ? h.scan_start(*options) : h.scan_start(); },
                  Cancel{nullptr, [h]() mutable { h.scan_stop(); }});
}

// The library's scan_for(), with a wait that a signal ends on the main thread (the scan then stops).
void scanFor(Adapter& a, int timeout_ms, const std::optional<ScanOptions>& options) {
    scanStart(a, options);
    Adapter h = a;
    if (!sleepInterruptibly(std::chrono::milliseconds(timeout_ms))) {
        runUnsettled([h]() mutable { h.scan_stop(); });
        throw py::error_already_set();
    }
    interruptible([h]() mutable { h.scan_stop(); });
}

void bindAdapter(py::module_& m) {
    py::class_<Adapter, AdapterHolder>(m, "Adapter")
        .def(py::init<>())
        .def_static("bluetooth_enabled", &Adapter::bluetooth_enabled, kNoGil)
        .def_static("get_adapters",
                    [] {
                        std::vector<Adapter> adapters;
                        {
                            py::gil_scoped_release release;
                            adapters = Adapter::get_adapters();
                        }
                        py::list result;
                        for (Adapter& adapter : adapters) {
                            result.append(py::cast(adapter));
                        }
                        // The vector's handles are copies: dropping them here joins nothing.
                        return result;
                    })
        .def("initialized", &Adapter::initialized)
        .def("identifier", &Adapter::identifier, kNoGil)
        .def("address", &Adapter::address, kNoGil)
        .def("is_enabled", &Adapter::is_enabled, kNoGil)
        .def("time_limits", &Adapter::time_limits, kNoGil)
        .def("set_time_limits", &Adapter::set_time_limits, py::arg("limits"), kNoGil)
        .def("scan_start", [](Adapter& a) { scanStart(a, std::nullopt); })
        .def(
            "scan_start", [](Adapter& a, const ScanOptions& options) { scanStart(a, options); }, py::arg("options"))
        .def("scan_stop", [](Adapter& a) { interruptible([h = Adapter(a)]() mutable { h.scan_stop(); }); })
        .def(
            "scan_for", [](Adapter& a, int timeout_ms) { scanFor(a, timeout_ms, std::nullopt); }, py::arg("timeout_ms"))
        .def(
            "scan_for", [](Adapter& a, int timeout_ms, const ScanOptions& options) { scanFor(a, timeout_ms, options); },
            py::arg("timeout_ms"), py::arg("options"))
        .def("scan_is_active", &Adapter::scan_is_active, kNoGil)
        .def("scan_get_results", &Adapter::scan_get_results, kNoGil)
        .def(
            "get_paired_peripherals",
            [](Adapter& a) { return interruptible([h = Adapter(a)]() mutable { return h.get_paired_peripherals(); }); })
        .def(
            "set_pairing_agent",
            [](Adapter& a, const PyPairingAgent& agent) {
                // The callables are taken as they are now. The agent replaced may be freed inside, its callables with
                // the GIL.
                Tavrin::PairingAgent installed = libraryAgent(agent);
                py::gil_scoped_release release;
                a.set_pairing_agent(std::move(installed));
            },
            py::arg("agent"))
        .def("remove_pairing_agent", &Adapter::remove_pairing_agent, kNoGil)
        .def(
            "set_callback_on_scan_start",
            [](Adapter& a, const py::object& fn) {
                setCallback(a, &Adapter::set_callback_on_scan_start,
                            plainCallback(fn, "set_callback_on_scan_start's callback"));
            },
            py::arg("callback").none(true))
        .def(
            "set_callback_on_scan_stop",
            [](Adapter& a, const py::object& fn) {
                setCallback(a, &Adapter::set_callback_on_scan_stop,
                            plainCallback(fn, "set_callback_on_scan_stop's callback"));
            },
            py::arg("callback").none(true))
        .def(
            "set_callback_on_scan_found",
            [](Adapter& a, const py::object& fn) {
                setCallback(a, &Adapter::set_callback_on_scan_found,
                            peripheralCallback(fn, "set_callback_on_scan_found's callback"));
            },
            py::arg("callback").none(true))
        .def(
            "set_callback_on_scan_updated",
            [](Adapter& a, const py::object& fn) {
                setCallback(a, &Adapter::set_callback_on_scan_updated,
                            peripheralCallback(fn, "set_callback_on_scan_updated's callback"));
            },
            py::arg("callback").none(true))
        .def("__repr__", [](Adapter& a) {
            std::string text;
            {
                py::gil_scoped_release release;
                text = a.initialized() ? a.identifier() : "unbound";
            }
            return "<tavrin.Adapter " + text + ">";
        });
}

}  // namespace

void bindHandles(py::module_& m) {
    bindSettings(m);
    bindAttributes(m);
    bindPeripheral(m);
    bindAdapter(m);
}

}  // namespace tavrin_py
