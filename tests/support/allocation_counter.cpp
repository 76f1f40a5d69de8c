#include "support/allocation_counter.h"

#include <cstdlib>
#include <new>

namespace allocation_counter {
bool counting = false;
int count = 0;
std::size_t limit = 0;
}  // namespace allocation_counter

void* operator new(std::size_t size) {
  if (allocation_counter::counting) ++allocation_counter::count;
  if (allocation_counter::limit != 0 && size > allocation_counter::limit) throw std::bad_alloc();
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
