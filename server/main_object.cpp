#include "server/main_object.h"

#include <atomic>

namespace tvl {

namespace {
std::atomic<MainObject*> g_main_object{nullptr};
}

MainObject* main_object() { return g_main_object.load(std::memory_order_acquire); }

void set_main_object(MainObject* object) {
  g_main_object.store(object, std::memory_order_release);
}

}  // namespace tvl
