#include "desktop.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>

namespace desktop {

namespace fs = std::filesystem;

void fail(const std::string &message) {
    std::fprintf(stderr, "vboard: %s\n", message.c_str());
    std::fflush(stderr);
    ExitProcess(2);
}

std::string toUtf8(const std::wstring &text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                      nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring toWide(const std::string &text) {
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::wstring windowsPath(const std::string &hostPath) {
    if (hostPath.empty() || hostPath[0] != '/') return toWide(hostPath);
    // Wine exports the conversion from kernel32; Windows itself has no Unix
    // paths, so there the name is kept as it is.
    using Convert = WCHAR *(CDECL *)(const char *);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    FARPROC proc = kernel != nullptr ? GetProcAddress(kernel, "wine_get_dos_file_name") : nullptr;
    if (proc == nullptr) return toWide(hostPath);
    Convert convert;
    static_assert(sizeof convert == sizeof proc);
    std::memcpy(&convert, &proc, sizeof proc);
    WCHAR *dos = convert(hostPath.c_str());
    if (dos == nullptr) return toWide(hostPath);
    std::wstring out(dos);
    HeapFree(GetProcessHeap(), 0, dos);
    return out;
}

BoardFolder &BoardFolder::get() {
    static BoardFolder folder;
    return folder;
}

BoardFolder::BoardFolder() {
    WCHAR name[MAX_PATH];
    const DWORD n = GetEnvironmentVariableW(L"VBOARD_DIR", name, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) fail("VBOARD_DIR does not name a board folder");
    dir_ = fs::path(std::wstring(name, n));
    std::ifstream in(dir_ / "board.json");
    if (!in) fail("no virtual board at " + toUtf8(dir_.wstring()) + " (missing board.json)");
    settings_ = nlohmann::json::parse(in, nullptr, false);
    if (settings_.is_discarded() || !settings_.is_object())
        fail("the board settings " + toUtf8((dir_ / "board.json").wstring()) + " are not valid JSON");
}

void BoardFolder::log(nlohmann::json event) const {
    static std::mutex lock;
    WCHAR module[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, module, MAX_PATH);
    nlohmann::json line = nlohmann::json::object();
    line["t_ms"] = GetTickCount();
    line["pid"] = GetCurrentProcessId();
    line["program"] = toUtf8(fs::path(std::wstring(module, n)).stem().wstring());
    line.update(event);
    const std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    // One append-only write per line keeps lines of concurrent processes whole.
    std::lock_guard<std::mutex> guard(lock);
    HANDLE file = CreateFileW((dir_ / "events.jsonl").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) fail("cannot write the event log in " + toUtf8(dir_.wstring()));
    DWORD written = 0;
    const BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    if (!ok || written != text.size()) fail("cannot write the event log in " + toUtf8(dir_.wstring()));
}

}  // namespace desktop
