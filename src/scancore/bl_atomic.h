// Relaxed atomic access to the plain fields of bl_scan_result_t that one
// thread writes while another reads them (counters, node_count, nodes,
// the mutex pointer).
#pragma once

#include <atomic>

namespace bl {

template <typename T>
T loadRelaxed(const T &field)
{
    return std::atomic_ref<T>(const_cast<T &>(field)).load(std::memory_order_relaxed);
}

template <typename T>
void storeRelaxed(T &field, T value)
{
    std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}

template <typename T>
void addRelaxed(T &field, T value)
{
    std::atomic_ref<T>(field).fetch_add(value, std::memory_order_relaxed);
}

// For _scan_shared: whoever sees the pointer must also see the constructed mutex.
template <typename T>
T loadAcquire(const T &field)
{
    return std::atomic_ref<T>(const_cast<T &>(field)).load(std::memory_order_acquire);
}

template <typename T>
void storeRelease(T &field, T value)
{
    std::atomic_ref<T>(field).store(value, std::memory_order_release);
}

} // namespace bl
