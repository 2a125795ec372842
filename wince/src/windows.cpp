// Windows and messages. A window belongs to the thread that made it: a
// message sent from that thread is handled at once, one sent from another
// thread waits in the owner's queue until the owner's message loop carries it
// out, and the sender waits for the reply (still carrying out messages sent
// to its own windows, so two threads sending to each other do not lock up).
#include <windows.h>

#include <algorithm>
#include <exception>
#include <thread>
#include <unordered_map>

#include "threads_internal.h"
#include "ui.h"

namespace wince::ui {

namespace {

std::mutex g_windowsMutex;
std::unordered_map<uintptr_t, std::shared_ptr<Window>> g_windows;
uintptr_t g_nextWindow = 0x10000;

thread_local std::shared_ptr<ThreadQueue> t_queue;

struct FrontEntry {
    uint64_t token;
    FrontKind kind;
    HWND self;
    HWND owner;
};
std::mutex g_frontMutex;
std::mutex g_frontListMutex;  // guards g_front; taken alone, never around other locks
std::vector<FrontEntry> g_front;
uint64_t g_nextToken = 1;

}  // namespace

std::mutex &stateMutex() {
    static std::mutex m;
    return m;
}

// --- Windows ------------------------------------------------------------------

LRESULT Window::handle(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_SETTEXT: {
        const auto *s = reinterpret_cast<const WCHAR *>(lParam);
        std::lock_guard<std::mutex> lock(stateMutex());
        text_ = s != nullptr ? std::u16string(s) : std::u16string();
        return TRUE;
    }
    case WM_GETTEXT: {
        auto *buffer = reinterpret_cast<WCHAR *>(lParam);
        const size_t room = wParam;
        if (buffer == nullptr || room == 0) return 0;
        std::lock_guard<std::mutex> lock(stateMutex());
        const size_t n = std::min(text_.size(), room - 1);
        std::copy_n(text_.data(), n, buffer);
        buffer[n] = 0;
        return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH: {
        std::lock_guard<std::mutex> lock(stateMutex());
        return static_cast<LRESULT>(text_.size());
    }
    default:
        return 0;
    }
}

void Window::describe(ControlView &view) const {
    view.id = id;
    view.className = className;
    view.text = text_;
    view.style = style;
    view.x = x;
    view.y = y;
    view.cx = cx;
    view.cy = cy;
}

std::u16string Window::text() const {
    std::lock_guard<std::mutex> lock(stateMutex());
    return text_;
}

HWND addWindow(std::shared_ptr<Window> window) {
    std::lock_guard<std::mutex> lock(g_windowsMutex);
    g_nextWindow += 4;
    const HWND hwnd = reinterpret_cast<HWND>(g_nextWindow);
    window->hwnd = hwnd;
    g_windows.emplace(g_nextWindow, std::move(window));
    return hwnd;
}

void removeWindow(HWND hwnd) {
    std::lock_guard<std::mutex> lock(g_windowsMutex);
    g_windows.erase(reinterpret_cast<uintptr_t>(hwnd));
}

std::shared_ptr<Window> findWindow(HWND hwnd) {
    std::lock_guard<std::mutex> lock(g_windowsMutex);
    auto it = g_windows.find(reinterpret_cast<uintptr_t>(hwnd));
    return it == g_windows.end() ? nullptr : it->second;
}

std::shared_ptr<Dialog> dialogOf(HWND hwnd) {
    auto window = findWindow(hwnd);
    if (!window) return nullptr;
    if (auto dialog = std::dynamic_pointer_cast<Dialog>(window)) return dialog;
    return std::dynamic_pointer_cast<Dialog>(findWindow(window->parent));
}

std::optional<std::u16string> ownerCaption(HWND hwnd) {
    auto dialog = dialogOf(hwnd);
    if (!dialog) return std::nullopt;
    return dialog->caption();
}

// --- Queues -------------------------------------------------------------------

bool ThreadQueue::push(QueueItem item) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!item.target->alive) return false;
        items_.push_back(std::move(item));
    }
    cv_.notify_all();
    return true;
}

std::optional<QueueItem> ThreadQueue::next(bool sentOnly, std::chrono::milliseconds timeout,
                                           const std::function<bool()> &done) {
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t wakeups = wakeups_;
    auto ready = [&] {
        return std::find_if(items_.begin(), items_.end(),
                            [&](const QueueItem &i) { return !sentOnly || i.reply != nullptr; });
    };
    // Sent messages go before posted ones, as on the platform.
    auto pick = [&]() -> std::optional<QueueItem> {
        auto sent = std::find_if(items_.begin(), items_.end(), [](const QueueItem &i) { return i.reply != nullptr; });
        auto it = sent != items_.end() ? sent : ready();
        if (it == items_.end()) return std::nullopt;
        QueueItem item = std::move(*it);
        items_.erase(it);
        return item;
    };
    cv_.wait_for(lock, timeout, [&] { return ready() != items_.end() || wakeups_ != wakeups || (done && done()); });
    if (done && done()) return std::nullopt;
    return pick();
}

void ThreadQueue::wake() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++wakeups_;
    }
    cv_.notify_all();
}

void ThreadQueue::signal(const std::function<void()> &change) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        change();
        ++wakeups_;
    }
    cv_.notify_all();
}

void ThreadQueue::retire(const std::vector<std::shared_ptr<Window>> &windows) {
    std::vector<QueueItem> orphans;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto &w : windows) w->alive = false;
        for (auto it = items_.begin(); it != items_.end();) {
            if (!it->target->alive) {
                orphans.push_back(std::move(*it));
                it = items_.erase(it);
            } else {
                ++it;
            }
        }
        windows_ -= std::min(windows_, windows.size());
    }
    for (auto &item : orphans) complete(item, 0);
}

bool ThreadQueue::holds(const std::function<bool()> &condition) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return condition();
}

void ThreadQueue::adopt(size_t windows) {
    std::lock_guard<std::mutex> lock(mutex_);
    windows_ += windows;
}

size_t ThreadQueue::windowCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return windows_;
}

void forgetThreadQueue() { t_queue.reset(); }

std::shared_ptr<ThreadQueue> currentQueue() {
    if (!t_queue) t_queue = std::make_shared<ThreadQueue>();
    return t_queue;
}

void complete(const QueueItem &item, LRESULT result) {
    if (!item.reply) return;
    item.replyTo->signal([&] {
        item.reply->result = result;
        item.reply->done = true;
    });
}

void carryOut(const QueueItem &item, const std::function<void()> &beforeRelease) {
    // The sender is let go on every path, also when a handler throws.
    struct Release {
        const QueueItem &item;
        LRESULT result = 0;
        ~Release() { complete(item, result); }
    } release{item};
    release.result = item.target->handle(item.msg, item.wParam, item.lParam);
    if (beforeRelease) beforeRelease();
}

LRESULT send(const std::shared_ptr<Window> &window, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto me = currentQueue();
    if (window->queue == me) return window->handle(msg, wParam, lParam);
    QueueItem item{window, msg, wParam, lParam, std::make_shared<Reply>(), me};
    auto reply = item.reply;
    if (!window->queue->push(std::move(item))) return 0;  // destroyed meanwhile
    for (;;) {
        auto incoming = me->next(true, std::chrono::hours(1), [&] { return reply->done; });
        if (incoming) {
            carryOut(*incoming);
            continue;
        }
        LRESULT result = 0;
        if (me->holds([&] {
                result = reply->result;
                return reply->done;
            }))
            return result;
    }
}

void runModal(const std::function<void()> &call) {
    auto me = t_queue;
    if (!me || me->windowCount() == 0) {
        call();
        return;
    }
    // The answer comes on a helper thread while this one goes on carrying
    // out messages for its windows.
    struct State {
        bool finished = false;
        std::exception_ptr error;
    };
    auto state = std::make_shared<State>();
    auto helper = runOnHostThread([state, me, call] {
        std::exception_ptr error;
        try {
            call();
        } catch (...) {
            error = std::current_exception();
        }
        me->signal([&] {
            state->error = error;
            state->finished = true;
        });
    });
    // (If this thread's loop fails, the helper goes on alone: the state it
    // touches is shared, not on this stack.)
    for (;;) {
        auto item = me->next(false, std::chrono::hours(1), [&] { return state->finished; });
        if (item) carryOut(*item);
        else if (me->holds([&] { return state->finished; })) break;
    }
    helper->wait();
    if (state->error) std::rethrow_exception(state->error);
}

// --- Front ----------------------------------------------------------------------

std::mutex &frontMutex() { return g_frontMutex; }

namespace {

// Whether a window owned by `owner` belongs (through any chain of owners) to `dialog`.
bool ownedBy(HWND owner, HWND dialog) {
    for (int depth = 0; owner != nullptr && depth < 64; ++depth) {
        auto d = dialogOf(owner);
        if (!d) return false;
        if (d->hwnd == dialog) return true;
        owner = d->owner;
    }
    return false;
}

}  // namespace

uint64_t bringToFront(FrontKind kind, HWND self, HWND owner) {
    std::lock_guard<std::mutex> front(g_frontMutex);
    std::vector<FrontEntry> snapshot;
    {
        std::lock_guard<std::mutex> lock(g_frontListMutex);
        snapshot = g_front;
    }
    size_t at = snapshot.size();
    if (kind == FrontKind::Dialog) {
        for (size_t i = 0; i < snapshot.size(); ++i) {
            if (ownedBy(snapshot[i].owner, self)) {
                at = i;
                break;
            }
        }
    }
    std::lock_guard<std::mutex> lock(g_frontListMutex);
    const uint64_t token = g_nextToken++;
    at = std::min(at, g_front.size());
    g_front.insert(g_front.begin() + static_cast<std::ptrdiff_t>(at), FrontEntry{token, kind, self, owner});
    return token;
}

void leaveFront(uint64_t token) {
    if (token == 0) return;
    HWND top = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_frontListMutex);
        g_front.erase(
            std::remove_if(g_front.begin(), g_front.end(), [&](const FrontEntry &e) { return e.token == token; }),
            g_front.end());
        if (!g_front.empty() && g_front.back().kind == FrontKind::Dialog) top = g_front.back().self;
    }
    // The dialog now in front is asked at once rather than at its next idle turn.
    if (auto window = findWindow(top)) window->queue->wake();
}

bool isFront(HWND dialog) {
    std::lock_guard<std::mutex> lock(g_frontListMutex);
    return !g_front.empty() && g_front.back().kind == FrontKind::Dialog && g_front.back().self == dialog;
}

}  // namespace wince::ui

LRESULT WINAPI SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    auto window = wince::ui::findWindow(hWnd);
    if (!window) {
        SetLastError(wince::ui::kErrorInvalidWindowHandle);
        return 0;
    }
    return wince::ui::send(window, Msg, wParam, lParam);
}

BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    auto window = wince::ui::findWindow(hWnd);
    if (!window || !window->queue->push(wince::ui::QueueItem{window, Msg, wParam, lParam, nullptr, nullptr})) {
        SetLastError(wince::ui::kErrorInvalidWindowHandle);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI SetWindowTextW(HWND hWnd, LPCWSTR lpString) {
    auto window = wince::ui::findWindow(hWnd);
    if (!window) {
        SetLastError(wince::ui::kErrorInvalidWindowHandle);
        return FALSE;
    }
    return wince::ui::send(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString)) != 0 ? TRUE : FALSE;
}
