#include "handles.h"

#include <mutex>
#include <unordered_map>

namespace wince {

namespace {
std::mutex g_mutex;
std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> g_table;
uintptr_t g_next = 0x100;
}  // namespace

HANDLE newHandle(std::shared_ptr<KernelObject> object) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_next += 4;  // never 0 nor INVALID_HANDLE_VALUE
    g_table.emplace(g_next, std::move(object));
    return reinterpret_cast<HANDLE>(g_next);
}

std::shared_ptr<KernelObject> objectOf(HANDLE handle) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_table.find(reinterpret_cast<uintptr_t>(handle));
    if (it == g_table.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return it->second;
}

bool closeHandle(HANDLE handle) {
    std::shared_ptr<KernelObject> object;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_table.find(reinterpret_cast<uintptr_t>(handle));
        if (it == g_table.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        object = std::move(it->second);
        g_table.erase(it);
    }
    if (object.use_count() == 1) object->closed();
    return true;
}

size_t openHandleCount() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_table.size();
}

}  // namespace wince

BOOL WINAPI CloseHandle(HANDLE hObject) { return wince::closeHandle(hObject) ? TRUE : FALSE; }

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    auto object = wince::objectOf(hHandle);
    if (!object) return WAIT_FAILED;
    return object->wait(dwMilliseconds);
}
