// ReloadedSetting<T>: a process-wide setting that a properties reload writes
// on one thread while any thread reads it (the log thresholds, the hourly
// log switch). It reads and assigns like the plain value it stands for.
//
// Thread-safe. Loads and stores are relaxed: each setting is a value on its
// own, read to make one decision (write this message or not); nothing else is
// published through it, so no ordering with other memory is needed. A reader
// may see the new value a little after the reload stored it, which costs at
// most a message or two judged by the old threshold.
#ifndef DRV_COMMON_RELOADED_SETTING_H
#define DRV_COMMON_RELOADED_SETTING_H

#include <atomic>

template <class T>
class ReloadedSetting {
public:
    constexpr ReloadedSetting(T value) : _value(value) {}  // NOLINT: stands in for a plain T
    // Copies take the value, so that settings can be listed and saved.
    ReloadedSetting(const ReloadedSetting& other) : _value(other.get()) {}
    ReloadedSetting& operator=(const ReloadedSetting& other) {
        set(other.get());
        return *this;
    }
    ReloadedSetting& operator=(T value) {
        set(value);
        return *this;
    }

    operator T() const { return get(); }  // NOLINT: reads like the plain value
    T get() const { return _value.load(std::memory_order_relaxed); }
    void set(T value) { _value.store(value, std::memory_order_relaxed); }

private:
    std::atomic<T> _value;
};

#endif
