// Internals of the host's window manager: windows and their table, the
// message queue of each thread that owns windows, and the order of the
// modal windows in front (dialogs, message boxes, the file-open dialog).
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "wince/dialog_template.h"
#include "wince/operator.h"

namespace wince::ui {

constexpr DWORD kErrorInvalidWindowHandle = 1400;
constexpr DWORD kErrorControlIdNotFound = 1421;
constexpr WORD kButtonClicked = 0;  // BN_CLICKED

class ThreadQueue;

// Window texts and control values change on the owning thread but are read
// from others (a message box's owner caption, a view for the operator); this
// one lock keeps each read whole.
std::mutex &stateMutex();

class Window {
  public:
    virtual ~Window() = default;

    // Carries out a message; runs on the thread that made the window.
    virtual LRESULT handle(UINT msg, WPARAM wParam, LPARAM lParam);
    // Fills what an operator sees of it; the caller holds stateMutex().
    virtual void describe(ControlView &view) const;
    std::u16string text() const;

    HWND hwnd = nullptr;
    int id = 0;
    std::u16string className;
    uint32_t style = 0;
    uint32_t exStyle = 0;
    int x = 0, y = 0, cx = 0, cy = 0;
    HWND parent = nullptr;               // the dialog of a control
    std::shared_ptr<ThreadQueue> queue;  // of the thread that made it
    bool alive = true;                   // guarded by the queue's lock

  protected:
    std::u16string text_;  // guarded by stateMutex()
};

class Dialog : public Window {
  public:
    LRESULT handle(UINT msg, WPARAM wParam, LPARAM lParam) override;
    std::shared_ptr<Window> child(int id) const;
    DialogView view() const;
    std::u16string caption() const { return text(); }
    void setCaption(std::u16string caption);

    DLGPROC proc = nullptr;
    HWND owner = nullptr;                           // the owning dialog, if any
    std::vector<std::shared_ptr<Window>> children;  // fixed once the dialog is made
    std::atomic<bool> ended{false};
    std::atomic<int> result{0};
};

// A control of a template's class, or null with `whyNot` set when the class
// is not one the platform knows (or not yet registered).
std::shared_ptr<Window> makeControl(const DialogItemTemplate &item, std::string &whyNot);
bool commonControlsReady();

// --- The window table ---------------------------------------------------
HWND addWindow(std::shared_ptr<Window> window);
void removeWindow(HWND hwnd);
std::shared_ptr<Window> findWindow(HWND hwnd);
// The dialog itself, or the dialog of a control.
std::shared_ptr<Dialog> dialogOf(HWND hwnd);

// --- Message queues -------------------------------------------------------
struct Reply {
    bool done = false;  // guarded by the sender's queue lock
    LRESULT result = 0;
};

struct QueueItem {
    std::shared_ptr<Window> target;
    UINT msg = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    // Set for a message sent by another thread, which waits for the reply.
    std::shared_ptr<Reply> reply;
    std::shared_ptr<ThreadQueue> replyTo;
};

class ThreadQueue {
  public:
    // Queues a message for a window of this thread; false when it is gone.
    bool push(QueueItem item);
    // Waits until `done()` holds, a message is there (only sent ones when
    // sentOnly), wake() is called or `timeout` passes. Returns the message
    // taken, if any; sent messages go first.
    std::optional<QueueItem> next(bool sentOnly, std::chrono::milliseconds timeout, const std::function<bool()> &done);
    void wake();
    // Runs `change` under the queue's lock and wakes the waiter, so that a
    // `done` condition it makes true cannot be missed.
    void signal(const std::function<void()> &change);
    // The windows are destroyed: they take no more messages and whoever
    // waits on a reply from them gets 0.
    void retire(const std::vector<std::shared_ptr<Window>> &windows);
    // Evaluates `condition` under the queue's lock (see signal()).
    bool holds(const std::function<bool()> &condition) const;
    void adopt(size_t windows);
    size_t windowCount() const;

  private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<QueueItem> items_;
    uint64_t wakeups_ = 0;
    size_t windows_ = 0;
};

// The queue of the calling thread, made when first needed.
std::shared_ptr<ThreadQueue> currentQueue();
// Completes a sent message's reply.
void complete(const QueueItem &item, LRESULT result);
// Carries out one message on this thread. `beforeRelease` runs after the
// window has handled it and before a waiting sender is let go.
void carryOut(const QueueItem &item, const std::function<void()> &beforeRelease = {});
// SendMessageW to a known window.
LRESULT send(const std::shared_ptr<Window> &window, UINT msg, WPARAM wParam, LPARAM lParam);

// Runs `call` (an operator's answer to a modal window) while this thread
// keeps carrying out the messages for its windows, as a modal loop does.
void runModal(const std::function<void()> &call);

// --- The modal windows in front --------------------------------------------
enum class FrontKind { Dialog, MessageBox, FileOpen };
// Held while an operator is asked about the dialog in front, so that no
// message box can come in front in the middle of the question.
std::mutex &frontMutex();
// Puts a modal window in front. A dialog that shows up after windows it
// owns (a message box its worker opened early) goes beneath them.
uint64_t bringToFront(FrontKind kind, HWND self, HWND owner);
void leaveFront(uint64_t token);
// Whether `dialog` is the window in front; the caller holds frontMutex().
bool isFront(HWND dialog);

// Caption of the dialog that owns `hwnd` (or of `hwnd` itself), for logs.
std::optional<std::u16string> ownerCaption(HWND hwnd);

}  // namespace wince::ui
