#include "board/event_log.h"

#include <fstream>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>

#include "board/board.h"
#include "board/clock.h"
#include "os.h"

namespace board {

namespace {
std::mutex g_programMutex;
std::string g_program = "host";

// Text that a JSON string holds as it stands: printable ASCII but the quote
// and the backslash.
bool plainText(std::string_view text) {
    for (unsigned char c : text)
        if (c < 0x20 || c > 0x7E || c == '"' || c == '\\') return false;
    return true;
}

// Appends a value of a flat entry as the JSON library would write it, if it
// is one of the simple kinds entries are made of; false for anything else.
bool appendSimple(std::string &out, const nlohmann::json &value) {
    switch (value.type()) {
    case nlohmann::json::value_t::string: {
        const auto &text = value.get_ref<const std::string &>();
        if (!plainText(text)) return false;
        ((out += '"') += text) += '"';
        return true;
    }
    case nlohmann::json::value_t::number_integer:
        out += std::to_string(value.get<int64_t>());
        return true;
    case nlohmann::json::value_t::number_unsigned:
        out += std::to_string(value.get<uint64_t>());
        return true;
    case nlohmann::json::value_t::boolean:
        out += value.get<bool>() ? "true" : "false";
        return true;
    case nlohmann::json::value_t::null:
        out += "null";
        return true;
    default:
        return false;
    }
}

// The line for an entry of simple values with the added fields among its
// own in key order, byte for byte as the JSON library writes the merged
// object; nullopt for any other entry. Entries are written all the time:
// this spares the merge's copies and the library's general writer.
std::optional<std::string> simpleLine(const nlohmann::json &event,
                                      const std::vector<std::pair<std::string_view, nlohmann::json>> &added) {
    std::string out = "{";
    auto extra = added.begin();
    bool first = true;
    auto field = [&](std::string_view key, const nlohmann::json &value) {
        if (!plainText(key)) return false;
        if (!first) out += ',';
        first = false;
        ((out += '"') += key) += "\":";
        return appendSimple(out, value);
    };
    for (auto it = event.begin(); it != event.end(); ++it) {
        for (; extra != added.end() && extra->first < it.key(); ++extra)
            if (!field(extra->first, extra->second)) return std::nullopt;
        if (!field(it.key(), it.value())) return std::nullopt;
    }
    for (; extra != added.end(); ++extra)
        if (!field(extra->first, extra->second)) return std::nullopt;
    out += "}\n";
    return out;
}
}  // namespace

EventLog::EventLog(std::filesystem::path file, Clock &clock)
    : file_(std::move(file)), clock_(clock), out_(std::make_unique<os::AppendFile>(file_)) {
    // A process that died in the middle of a line left it without its end:
    // this process's first entry starts on a line of its own, not glued on.
    std::ifstream in(file_, std::ios::binary | std::ios::ate);
    if (in && in.tellg() > 0) {
        in.seekg(-1, std::ios::end);
        char last = '\n';
        if (in.get(last) && last != '\n') startOnNewLine_ = true;
    }
}

EventLog::~EventLog() = default;

void EventLog::setProgram(std::string name) {
    std::lock_guard<std::mutex> lock(g_programMutex);
    g_program = std::move(name);
}

void EventLog::append(nlohmann::json event) {
    if (!event.is_object()) nlohmann::json::object().update(event);  // throws: an entry is an object
    // The entry's own fields win over the ones added here (kept in key order).
    std::vector<std::pair<std::string_view, nlohmann::json>> added;
    if (!event.contains("pid")) added.emplace_back("pid", os::processId());
    if (!event.contains("program")) {
        std::lock_guard<std::mutex> lock(g_programMutex);
        added.emplace_back("program", g_program);
    }
    if (!event.contains("t_ms")) added.emplace_back("t_ms", clock_.tickMs());
    std::optional<std::string> line = simpleLine(event, added);
    if (!line) {
        for (auto &[key, value] : added) event[std::string(key)] = std::move(value);
        line = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    }
    if (startOnNewLine_.exchange(false)) {
        std::string own(1, '\n');
        own += *line;
        line = std::move(own);
    }
    // One append of a whole line keeps lines of concurrent processes apart.
    out_->append(*line);
}

std::vector<nlohmann::json> EventLog::read() const {
    std::vector<nlohmann::json> events;
    std::error_code ec;
    const auto type = std::filesystem::status(file_, ec).type();
    if (type != std::filesystem::file_type::not_found && type != std::filesystem::file_type::regular)
        throw BoardError(file_.string() + " is not a file: the board's event log cannot be read");
    std::ifstream in(file_);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        events.push_back(nlohmann::json::parse(line, nullptr, false));
    }
    return events;
}

}  // namespace board
