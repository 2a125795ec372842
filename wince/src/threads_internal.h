// Host threads behind the program's threads. Starting a host thread costs
// far more than most of the program threads it carries live (a worker that
// checks an image and ends, a helper that waits for an operator's answer),
// so a host thread that has finished one stays a while for the next. Every
// piece of per-thread state of the platform is cleared between two of them:
// a program thread never sees what an earlier one left.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace wince {

// The end of a task given to runOnHostThread: the task has returned, what it
// held is destroyed and its thread's state cleared.
class TaskEnd {
  public:
    void wait();
    void mark();

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool ended_ = false;
};

// Runs `task` on a host thread of its own: an idle one, or a new one when
// none is idle. Throws std::system_error when no thread can be started.
std::shared_ptr<TaskEnd> runOnHostThread(std::function<void()> task);

// Clears the platform's per-thread state of the calling thread (thread id,
// last error, message queue, file dialog error, bus binding), as a thread
// that ended and one newly started would differ.
void forgetThreadState();

// The parts of it kept by other areas.
void forgetLastError();
void forgetFileDialogError();
namespace ui {
void forgetThreadQueue();
}

}  // namespace wince
