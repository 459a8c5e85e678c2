#include "platform/src/base/handles.h"

#include <atomic>
#include <mutex>
#include <unordered_map>

namespace platform::base::detail {
namespace {

struct Table {
  std::mutex lock;
  std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> objects;
  // Handle values are multiples of 4, as on the original, and never reused within a
  // process run, so a stale handle fails instead of reaching a newer object.
  std::uintptr_t next = 0x100;
};

Table& table() {
  static Table* t = new Table;  // outlives static destructors that still close handles
  return *t;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
  Table& t = table();
  std::lock_guard guard(t.lock);
  std::uintptr_t value = t.next;
  t.next += 4;
  t.objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  Table& t = table();
  std::lock_guard guard(t.lock);
  auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == t.objects.end() ? nullptr : it->second;
}

std::shared_ptr<KernelObject> TakeHandle(HANDLE handle) {
  Table& t = table();
  std::lock_guard guard(t.lock);
  auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == t.objects.end()) return nullptr;
  auto object = std::move(it->second);
  t.objects.erase(it);
  return object;
}

std::size_t HandleCount() {
  Table& t = table();
  std::lock_guard guard(t.lock);
  return t.objects.size();
}

bool RemoveHandle(HANDLE handle) {
  // The object is destroyed here, outside the table's lock.
  return TakeHandle(handle) != nullptr;
}

}  // namespace platform::base::detail
