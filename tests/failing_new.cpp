// A replacement for operator new that throws std::bad_alloc for one size,
// the number in CURVEDUMP_FAILING_NEW_SIZE, and allocates every other one.
// The Python module's tests preload it in a child interpreter, so that the
// module's C++ code meets an allocation that fails where the tests choose.
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

std::size_t failing_size()
{
    static const std::size_t size = [] {
        const char* text = std::getenv("CURVEDUMP_FAILING_NEW_SIZE");
        return text == nullptr ? std::size_t{0} : std::strtoull(text, nullptr, 10);
    }();
    return size;
}

} // namespace

void* operator new(std::size_t size)
{
    void* memory = size == failing_size() ? nullptr : std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr)
        throw std::bad_alloc();
    return memory;
}

void operator delete(void* memory) noexcept { std::free(memory); }

void operator delete(void* memory, std::size_t /*size*/) noexcept { std::free(memory); }
