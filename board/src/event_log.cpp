#include "board/event_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <mutex>

#include "board/board.h"
#include "board/clock.h"

namespace board {

namespace {
std::mutex g_programMutex;
std::string g_program = "host";
}  // namespace

EventLog::EventLog(std::filesystem::path file, Clock &clock) : file_(std::move(file)), clock_(clock) {}

void EventLog::setProgram(std::string name) {
    std::lock_guard<std::mutex> lock(g_programMutex);
    g_program = std::move(name);
}

void EventLog::append(nlohmann::json event) {
    nlohmann::json line = nlohmann::json::object();
    line["t_ms"] = clock_.tickMs();
    line["pid"] = ::getpid();
    {
        std::lock_guard<std::mutex> lock(g_programMutex);
        line["program"] = g_program;
    }
    line.update(event);
    // One write() of a whole line to an O_APPEND file keeps lines of
    // concurrent processes from mixing.
    const std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    const int fd = ::open(file_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) throw BoardError("cannot write the event log " + file_.string());
    const ssize_t n = ::write(fd, text.data(), text.size());
    ::close(fd);
    if (n != static_cast<ssize_t>(text.size())) throw BoardError("cannot write the event log " + file_.string());
}

std::vector<nlohmann::json> EventLog::read() const {
    std::vector<nlohmann::json> events;
    std::ifstream in(file_);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        events.push_back(nlohmann::json::parse(line, nullptr, false));
    }
    return events;
}

}  // namespace board
