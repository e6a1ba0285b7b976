// A process-wide mutex that static constructors and destructors of any file may take,
// in any order: built on first use and never destroyed. std::mutex cannot be constinit
// with every thread library (MinGW's winpthread initialises it at run time).
#pragma once

#include <mutex>
#include <new>

namespace Vemi {

// One mutex per Tag type.
template <class Tag>
std::mutex& LastingMutex() noexcept {
    alignas(std::mutex) static unsigned char storage[sizeof(std::mutex)];
    static std::mutex* const mutex = ::new (storage) std::mutex();
    return *mutex;
}

}  // namespace Vemi
