#include "board/event_log.h"

#include <fstream>
#include <mutex>

#include "board/board.h"
#include "board/clock.h"
#include "os.h"

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
    line["pid"] = os::processId();
    {
        std::lock_guard<std::mutex> lock(g_programMutex);
        line["program"] = g_program;
    }
    line.update(event);
    // One append of a whole line keeps lines of concurrent processes apart.
    os::appendAll(file_, line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
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
