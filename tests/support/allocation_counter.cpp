#include "support/allocation_counter.h"

#include <cstddef>
#include <cstdlib>
#include <new>

namespace allocation_counter {
bool counting = false;
int count = 0;
std::size_t limit = 0;
std::size_t held = 0;
std::size_t peakHeld = 0;
}  // namespace allocation_counter

namespace {

// Each allocation carries its size in front of it, so that its release knows what it gives back.
constexpr std::size_t Header = alignof(std::max_align_t);

}  // namespace

void* operator new(std::size_t size) {
  if (allocation_counter::counting) ++allocation_counter::count;
  if (allocation_counter::limit != 0 && size > allocation_counter::limit) throw std::bad_alloc();
  if (size > static_cast<std::size_t>(-1) - Header) throw std::bad_alloc();
  auto* memory = static_cast<unsigned char*>(std::malloc(Header + size));
  if (memory == nullptr) throw std::bad_alloc();
  *reinterpret_cast<std::size_t*>(memory) = size;
  allocation_counter::held += size;
  if (allocation_counter::held > allocation_counter::peakHeld) {
    allocation_counter::peakHeld = allocation_counter::held;
  }
  return memory + Header;
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* memory) noexcept {
  if (memory == nullptr) return;
  auto* start = static_cast<unsigned char*>(memory) - Header;
  allocation_counter::held -= *reinterpret_cast<std::size_t*>(start);
  std::free(start);
}
void operator delete[](void* memory) noexcept { operator delete(memory); }
void operator delete(void* memory, std::size_t) noexcept { operator delete(memory); }
void operator delete[](void* memory, std::size_t) noexcept { operator delete(memory); }
