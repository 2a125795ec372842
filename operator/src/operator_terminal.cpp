// The terminal operator: a person at the keyboard. It draws the window in
// front (caption, buttons with a key each, texts, progress bars) and takes
// the choice from the keyboard: a key presses its button, Esc or q closes the
// dialog, Enter dismisses a message box, and the file-open dialog asks for a
// path. On a terminal it redraws in place, a few times a second at most; to
// a file or pipe it writes plain lines, only for what changed.
//
// Lines in parentheses are the operator's own, never texts of the program:
// a button pressed, a dialog that waits with nothing shown yet, a dialog
// closed (drawn once more as it was at the end) and how long it was open.
#include "operator_terminal.h"

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "wince/host.h"
#include "operator/operators.h"

namespace wince {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);
constexpr auto kPlainProgressEvery = std::chrono::seconds(1);
constexpr int kBarWidth = 30;
constexpr char kEsc = 0x1b;
// With the terminal's input at its end: a dialog another thread changes is
// waited for until it has stood still this long (the scripted operator's
// default wait); a dialog just come to front, this long for a first change.
constexpr auto kWorkerQuiet = std::chrono::seconds(30);
constexpr auto kFirstChangeGrace = std::chrono::seconds(1);

// --- The terminal's mode ------------------------------------------------------
// Raw mode must not outlive the program, however it ends: normally, by a
// fatal stop, by a signal or by a reboot of the board.
struct termios g_saved;
std::atomic<bool> g_raw{false};
int g_rawFd = -1;

void restoreTerminal() {
    if (g_raw.exchange(false)) ::tcsetattr(g_rawFd, TCSANOW, &g_saved);
}

void restoreOnFatal(const std::string &) { restoreTerminal(); }
void restoreOnReboot(board::Board &) { restoreTerminal(); }

void restoreOnSignal(int sig) {
    restoreTerminal();
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

void enterRawMode(int fd) {
    if (g_raw || ::tcgetattr(fd, &g_saved) != 0) return;
    struct termios raw = g_saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &raw) != 0) return;
    g_rawFd = fd;
    g_raw = true;
    setFatalHandler(restoreOnFatal);
    powerUpHooks().push_back(restoreOnReboot);
    ::signal(SIGINT, restoreOnSignal);
    ::signal(SIGTERM, restoreOnSignal);
    ::signal(SIGHUP, restoreOnSignal);
}

std::string u8(const std::u16string &s) { return toUtf8(s); }

bool isButton(const ControlView &c) {
    std::string cls = u8(c.className);
    for (auto &ch : cls) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return cls == "BUTTON";
}
bool isProgress(const ControlView &c) {
    std::string cls = u8(c.className);
    for (auto &ch : cls) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return cls == "msctls_progress32";
}

// The key of the n-th button: 1..9, then letters (q is kept for closing).
char buttonKey(size_t n) {
    static const char keys[] = "123456789abcdefghijklmnoprstuvwxyz";
    return n < sizeof keys - 1 ? keys[n] : 0;
}

// The programs' progress bars count kilobytes.
constexpr const char *kBarUnit = "KB";

// Bars are named by their place in the dialog, from the top: "bar 1", ...
std::map<int, int> barNumbers(const DialogView &view) {
    std::vector<const ControlView *> bars;
    for (const auto &c : view.controls)
        if (isProgress(c)) bars.push_back(&c);
    std::stable_sort(bars.begin(), bars.end(), [](const ControlView *a, const ControlView *b) {
        return a->y != b->y ? a->y < b->y : a->x < b->x;
    });
    std::map<int, int> numbers;
    for (size_t i = 0; i < bars.size(); ++i) numbers[bars[i]->id] = static_cast<int>(i) + 1;
    return numbers;
}

std::string boardSeconds(uint64_t ns) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ns) / 1e9);
    return text;
}

uint64_t boardNowNs() { return booted() ? currentBoard().clock().nowNs() : 0; }

// A dialog that shows no text and no progress yet (waiting for the flash,
// say) would look blank: say so.
bool waitsBlank(const DialogView &view) {
    bool anyBar = false;
    for (const auto &c : view.controls) {
        if (isButton(c)) continue;
        if (isProgress(c)) {
            anyBar = true;
            if (c.pos != c.rangeMin) return false;
        } else if (!c.text.empty()) {
            return false;
        }
    }
    return anyBar;
}

std::string bar(const ControlView &c, int number) {
    const double span = static_cast<double>(c.rangeMax) - c.rangeMin;
    double fraction = span > 0 ? (static_cast<double>(c.pos) - c.rangeMin) / span : 0;
    fraction = std::clamp(fraction, 0.0, 1.0);
    const auto filled = static_cast<size_t>(fraction * kBarWidth + 0.5);
    // Appended piece by piece: GCC 12 at -O3 sees a false overlap in
    // "[" + std::string(...) and warns (-Wrestrict).
    std::string s = "bar ";
    s += std::to_string(number);
    s += " [";
    s.append(filled, '#');
    s.append(kBarWidth - filled, '.');
    s += "] ";
    s += std::to_string(c.pos);
    s += '/';
    s += std::to_string(c.rangeMax);
    s += ' ';
    s += kBarUnit;
    return s;
}

class ShowingOperator;

class TerminalOperator : public Operator {
    friend class ShowingOperator;  // draws with this one's painting code

  public:
    TerminalOperator(int in, int out) : in_(in), out_(out), ttyIn_(::isatty(in) == 1), ttyOut_(::isatty(out) == 1) {}
    ~TerminalOperator() override { restoreTerminal(); }

    Action onDialog(const DialogView &front) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ttyIn_) enterRawMode(in_);
        draw(front);
        track(front);
        for (;;) {
            auto input = take(false);
            if (!input) return {};
            if (input->end) {
                // The person has gone, not the power: a dialog another thread
                // keeps changing (an update under way) is left to finish, as
                // a scripted operator waits at its script's end.
                const auto now = Clock::now();
                if (frontChanged_ && now - lastChange_ < kWorkerQuiet) return {};
                if (!frontChanged_ && now - frontSince_ < kFirstChangeGrace) return {};
                fatal("the terminal's input ended while the program shows dialog \"" + u8(front.caption) + "\"" +
                      (frontChanged_ ? " (nothing changed for " + std::to_string(kWorkerQuiet.count()) + " s)" : ""));
            }
            if (auto action = choose(front, *input)) {
                notePress(front, *action);
                return *action;
            }
        }
    }

    void onDialogOpened(const DialogView &view) override {
        std::lock_guard<std::mutex> lock(mutex_);
        openedNs_[view.hwnd] = boardNowNs();
    }

    // The board came up for this program: what its boot loader said.
    void onBoardStart(const std::string &bootLine) override {
        std::lock_guard<std::mutex> lock(mutex_);
        write("boot: " + bootLine + "\n");
    }

    void onDialogClosed(const DialogView &last) override {
        std::lock_guard<std::mutex> lock(mutex_);
        drawClosed(last);
    }

    void onMessageBox(const MessageBoxView &box) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ttyIn_) enterRawMode(in_);
        drawBox(box);
        for (;;) {
            auto input = take(true);
            if (input->end)
                fatal("the terminal's input ended while the program shows message box \"" + u8(box.text) + "\"");
            // By lines, any line is an Enter; by keys, Enter, space or Esc.
            if (!ttyIn_ || input->enter || input->key == ' ' || input->key == kEsc) break;
        }
        shown_.clear();
        write(ttyOut_ ? "" : "  (dismissed)\n");
    }

    std::optional<std::u16string> onFileOpen(const FileOpenView &request) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ttyIn_) enterRawMode(in_);
        shown_.clear();
        std::string text = ttyOut_ ? "\x1b[H\x1b[2J" : "\n";
        text += "== Open";
        for (auto &[name, pattern] : request.filters) text += " | " + u8(name) + " " + u8(pattern);
        text += " ==\n";
        if (!request.initialDir.empty()) text += "Folder: " + u8(request.initialDir) + "\n";
        text += listing(request);
        if (!request.refusal.empty()) text += "Cannot take " + u8(request.refusedPath) + ": " + request.refusal + "\n";
        text += "Enter a path on the board; Enter alone takes the name shown, - or Esc cancels.\n";
        text += "File name [" + u8(request.initialFile) + "]: ";
        write(text);
        auto line = readLine();
        if (!line) fatal("the terminal's input ended while the program shows the file-open dialog");
        if (*line == "\x1b" || *line == "-") return std::nullopt;
        if (line->empty()) return request.initialFile;
        return toUtf16(*line);
    }

    void onProgramEnd() override {
        std::lock_guard<std::mutex> lock(mutex_);
        restoreTerminal();
    }

  private:
    struct Input {
        bool end = false;    // no more input
        bool enter = false;  // Enter, or an empty line
        char key = 0;        // a key, or the first character of a line
        std::string line;
    };

    // Whether the dialog in front changes while it stays in front (another
    // thread updates it), and when it last did.
    void track(const DialogView &front) {
        const auto now = Clock::now();
        std::string s = screen(front);
        if (front.hwnd != trackedHwnd_) {
            trackedHwnd_ = front.hwnd;
            frontSince_ = lastChange_ = now;
            frontChanged_ = false;
        } else if (s != trackedScreen_) {
            frontChanged_ = true;
            lastChange_ = now;
        }
        trackedScreen_ = std::move(s);
    }

    // Returns the next key or line, waiting for one when `wait` is set.
    std::optional<Input> take(bool wait) {
        for (;;) {
            if (auto input = parse()) return input;
            if (ended_) return Input{true, false, 0, {}};
            if (!fill(wait ? -1 : 0)) return std::nullopt;
        }
    }

    // Reads what has arrived; false when nothing came within `timeoutMs`.
    bool fill(int timeoutMs) {
        struct pollfd p = {in_, POLLIN, 0};
        const int ready = ::poll(&p, 1, timeoutMs);
        if (ready <= 0) return false;
        char chunk[256];
        const ssize_t n = ::read(in_, chunk, sizeof chunk);
        if (n <= 0) {
            ended_ = true;
            return true;
        }
        pending_.append(chunk, static_cast<size_t>(n));
        return true;
    }

    std::optional<Input> parse() {
        if (pending_.empty()) return std::nullopt;
        Input input;
        if (ttyIn_) {
            const char c = pending_[0];
            size_t used = 1;
            // An escape sequence (an arrow key, say) is not an Esc press.
            if (c == kEsc && pending_.size() > 1 && pending_[1] == '[') {
                used = 2;
                while (used < pending_.size() && !(pending_[used] >= 0x40 && pending_[used] <= 0x7e)) ++used;
                pending_.erase(0, std::min(used + 1, pending_.size()));
                return parse();
            }
            pending_.erase(0, used);
            input.enter = c == '\r' || c == '\n';
            input.key = c;
            return input;
        }
        const size_t nl = pending_.find('\n');
        if (nl == std::string::npos) {
            if (!ended_) return std::nullopt;
            pending_ += '\n';  // a last line without its end
            return parse();
        }
        input.line = pending_.substr(0, nl);
        if (!input.line.empty() && input.line.back() == '\r') input.line.pop_back();
        pending_.erase(0, nl + 1);
        input.enter = input.line.empty();
        input.key = input.line.empty() ? 0 : input.line[0];
        if (input.line == "esc") input.key = kEsc;
        return input;
    }

    // A line for the file-open dialog: echoed and editable on a terminal.
    std::optional<std::string> readLine() {
        if (!ttyIn_) {
            auto input = take(true);
            if (input->end) return std::nullopt;
            write("\n");  // the answer was not echoed: end the prompt's line
            return input->line;
        }
        std::string line;
        for (;;) {
            auto input = take(true);
            if (input->end) return std::nullopt;
            const char c = input->key;
            if (input->enter) {
                write("\n");
                return line;
            }
            if (c == kEsc) {
                write("\n");
                return std::string("\x1b");
            }
            if (c == 0x7f || c == 0x08) {
                if (!line.empty()) {
                    do line.pop_back();
                    while (!line.empty() && (static_cast<unsigned char>(line.back()) & 0xC0) == 0x80);
                    write("\b \b");
                }
                continue;
            }
            if (static_cast<unsigned char>(c) < 0x20) continue;
            line += c;
            write(std::string(1, c));
        }
    }

    // The files of the dialog's folder that its filters let through, as the
    // dialog's list would show them.
    static std::string listing(const FileOpenView &request) {
        if (!booted()) return {};
        std::u16string folder = request.initialDir.empty() ? std::u16string(u"\\") : request.initialDir;
        if (folder.back() != u'\\') folder += u'\\';
        std::vector<std::u16string> patterns;
        for (const auto &[name, list] : request.filters) {
            size_t start = 0;
            while (start <= list.size()) {
                const size_t end = std::min(list.find(u';', start), list.size());
                if (end > start) patterns.push_back(list.substr(start, end - start));
                start = end + 1;
            }
        }
        if (patterns.empty()) patterns.push_back(u"*.*");
        const DWORD savedError = GetLastError();  // the program reads its own
        std::vector<std::string> names;
        for (const auto &pattern : patterns) {
            const std::u16string query = folder + pattern;
            WIN32_FIND_DATAW found;
            HANDLE h = FindFirstFileW(reinterpret_cast<LPCWSTR>(query.c_str()), &found);
            if (h == INVALID_HANDLE_VALUE) continue;
            do {
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
                const std::string name = u8(folder + reinterpret_cast<const char16_t *>(found.cFileName));
                if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
            } while (FindNextFileW(h, &found));
            FindClose(h);
        }
        SetLastError(savedError);
        std::sort(names.begin(), names.end());
        if (names.empty()) return "(no files here match the filter)\n";
        std::string s = "Files:";
        for (const auto &n : names) s += "  " + n;
        return s + "\n";
    }

    // Shows at once that a press was taken, before the program answers it
    // (an Abort during a block erase is taken when the erase ends).
    void notePress(const DialogView &front, const Action &action) {
        if (action.kind != Action::Press) return;
        const ControlView *c = front.find(action.controlId);
        if (c == nullptr) return;
        pressNote_ = "  (pressed \"" + u8(c->text) + "\")\n";
        write(pressNote_);
        if (!ttyOut_) pressNote_.clear();  // on a terminal, kept under the redrawn dialog
    }

    // The dialog as it was when it closed, and one line: which and how long
    // it was open on the board clock.
    void drawClosed(const DialogView &last) {
        const auto now = Clock::now();
        std::string line = "  (closed \"" + u8(last.caption) + "\"";
        if (auto it = openedNs_.find(last.hwnd); it != openedNs_.end()) {
            const uint64_t nowNs = boardNowNs();
            line += " after " + boardSeconds(nowNs >= it->second ? nowNs - it->second : 0) + " of board time";
            openedNs_.erase(it);
        }
        line += ")\n";
        // A bar short of its end at the close reads as cut off; it is the
        // program's own last count (an update's: the terminating record's
        // range of 1, the data written against the image's whole length).
        for (const auto &c : last.controls) {
            if (isProgress(c) && c.pos < c.rangeMax) {
                line += "  (the bars stand where the program left them: exact counts, not cut off)\n";
                break;
            }
        }
        if (ttyOut_) {
            // The next window's screen keeps this one's end below it.
            std::string s = screen(last, false);
            closedNote_ = "\n-- last closed --\n" + s + line;
            write("\x1b[H\x1b[2J" + s + line);
        } else if (last.hwnd == shownHwnd_ && !shown_.empty()) {
            writeChanges(last, now, true);
            write(line);
        } else {
            write("\n" + screen(last, false) + line);
        }
        pressNote_.clear();
        shown_.clear();
        shownHwnd_ = nullptr;
    }

    std::optional<Action> choose(const DialogView &front, const Input &input) {
        if (input.key == kEsc || input.key == 'q') {
            Action a;
            a.kind = Action::Close;
            return a;
        }
        size_t n = 0;
        for (const auto &c : front.controls) {
            if (!isButton(c)) continue;
            if (buttonKey(n++) == input.key && input.key != 0) {
                Action a;
                a.kind = Action::Press;
                a.controlId = c.id;
                return a;
            }
        }
        return std::nullopt;
    }

    void write(const std::string &text) {
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(out_, text.data() + done, text.size() - done);
            if (n <= 0) return;  // the terminal has gone; the program goes on
            done += static_cast<size_t>(n);
        }
    }

    std::string screen(const DialogView &front, bool withKeys = true) const {
        const auto numbers = barNumbers(front);
        std::string s = "== " + u8(front.caption) + " ==\n";
        std::vector<const ControlView *> order;
        for (const auto &c : front.controls) order.push_back(&c);
        std::stable_sort(order.begin(), order.end(), [](const ControlView *a, const ControlView *b) {
            return a->y != b->y ? a->y < b->y : a->x < b->x;
        });
        for (const ControlView *c : order) {
            if (isButton(*c)) continue;
            s += "  " + (isProgress(*c) ? bar(*c, numbers.at(c->id)) : u8(c->text)) + "\n";
        }
        if (waitsBlank(front)) s += "  (the dialog waits: no text yet, bars at zero)\n";
        if (!withKeys) return s;
        size_t n = 0;
        std::string keys;
        for (const auto &c : front.controls)
            if (isButton(c)) keys += "  [" + std::string(1, buttonKey(n++)) + "] " + u8(c.text) + "\n";
        s += keys + "  [Esc/q] close\n";
        return s;
    }

    void draw(const DialogView &front) {
        const std::string s = screen(front);
        if (s == shown_) return;
        const auto now = Clock::now();
        const bool otherWindow = front.hwnd != shownHwnd_ || front.caption != shownCaption_;
        if (ttyOut_) {
            if (!otherWindow && now - lastDraw_ < kRedrawEvery) return;
            if (otherWindow) pressNote_.clear();
            write("\x1b[H\x1b[2J" + s + pressNote_ + closedNote_);
        } else if (otherWindow || shown_.empty()) {
            write("\n" + s);
            lastValues_.clear();
            for (const auto &c : front.controls) lastValues_[c.id] = c;
            lastProgress_ = now;
        } else {
            writeChanges(front, now);
        }
        shown_ = s;
        shownHwnd_ = front.hwnd;
        shownCaption_ = front.caption;
        lastDraw_ = now;
    }

    // Plain output: a line per changed text; progress at most once a second,
    // or all of it (`final`) as the dialog closes.
    void writeChanges(const DialogView &front, Clock::time_point now, bool final = false) {
        const bool progressDue = final || now - lastProgress_ >= kPlainProgressEvery;
        const auto numbers = barNumbers(front);
        std::string s;
        for (const auto &c : front.controls) {
            auto &last = lastValues_[c.id];
            const bool moved = isProgress(c) && (c.pos != last.pos || c.rangeMax != last.rangeMax);
            if (c.text != last.text && !isProgress(c)) {
                s += "  " + u8(c.text) + "\n";
                last = c;
            } else if (moved && progressDue) {
                s += "  " + bar(c, numbers.at(c.id)) + "\n";
                last = c;
                lastProgress_ = now;
            }
        }
        write(s);
    }

    void drawBox(const MessageBoxView &box) {
        std::string s = ttyOut_ ? "\x1b[H\x1b[2J" : "\n";
        s += "== " + u8(box.caption) + " ==\n  " + u8(box.text) + "\n  [Enter] OK\n";
        write(s);
        shown_.clear();
        shownHwnd_ = nullptr;
    }

    std::mutex mutex_;
    int in_, out_;
    bool ttyIn_, ttyOut_;
    bool ended_ = false;
    HWND trackedHwnd_ = nullptr;
    std::string trackedScreen_;
    bool frontChanged_ = false;
    Clock::time_point frontSince_{}, lastChange_{};
    std::string pending_;
    std::string shown_;
    HWND shownHwnd_ = nullptr;
    std::u16string shownCaption_;
    Clock::time_point lastDraw_{};
    Clock::time_point lastProgress_{};
    std::map<int, ControlView> lastValues_;
    std::map<HWND, uint64_t> openedNs_;  // board time each dialog opened
    std::string pressNote_;              // shown until the dialog changes window
    std::string closedNote_;             // the last closed dialog's end (terminal)
};

// Another operator makes the choices (a script, say); this one only draws
// what the person at the board would see, live.
class ShowingOperator : public Operator {
  public:
    ShowingOperator(std::shared_ptr<Operator> inner, int out) : inner_(std::move(inner)), painter_(-1, out) {}

    Action onDialog(const DialogView &front) override {
        {
            std::lock_guard<std::mutex> lock(painter_.mutex_);
            painter_.draw(front);
        }
        const Action action = inner_->onDialog(front);
        std::lock_guard<std::mutex> lock(painter_.mutex_);
        painter_.notePress(front, action);
        return action;
    }
    void onDialogOpened(const DialogView &view) override {
        {
            std::lock_guard<std::mutex> lock(painter_.mutex_);
            painter_.openedNs_[view.hwnd] = boardNowNs();
        }
        inner_->onDialogOpened(view);
    }
    void onDialogClosed(const DialogView &view) override {
        {
            std::lock_guard<std::mutex> lock(painter_.mutex_);
            painter_.drawClosed(view);
        }
        inner_->onDialogClosed(view);
    }
    void onMessageBox(const MessageBoxView &box) override {
        {
            std::lock_guard<std::mutex> lock(painter_.mutex_);
            painter_.drawBox(box);
        }
        inner_->onMessageBox(box);
    }
    std::optional<std::u16string> onFileOpen(const FileOpenView &request) override {
        auto choice = inner_->onFileOpen(request);
        std::lock_guard<std::mutex> lock(painter_.mutex_);
        painter_.write("\n== Open: " + (choice ? u8(*choice) : std::string("(cancelled)")) + "\n");
        return choice;
    }
    void onBoardStart(const std::string &bootLine) override {
        painter_.onBoardStart(bootLine);
        inner_->onBoardStart(bootLine);
    }
    void onProgramEnd() override { inner_->onProgramEnd(); }

  private:
    std::shared_ptr<Operator> inner_;
    TerminalOperator painter_;
};

}  // namespace

std::shared_ptr<Operator> makeShowingOperator(std::shared_ptr<Operator> inner) {
    return std::make_shared<ShowingOperator>(std::move(inner), STDOUT_FILENO);
}

std::shared_ptr<Operator> makeTerminalOperatorOn(int in, int out) {
    return std::make_shared<TerminalOperator>(in, out);
}

std::shared_ptr<Operator> makeTerminalOperator() { return makeTerminalOperatorOn(STDIN_FILENO, STDOUT_FILENO); }

}  // namespace wince
